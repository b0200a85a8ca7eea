// The quor-sim program as a child process: its pseudo-terminal, reached through a TermiosLine
// under a serial port, answers reader frames, and its standard input changes the card.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <optional>

#include "tests/serial_tty/tty_bench.h"

extern char** environ;

namespace quor::serial::test {
namespace {

#ifdef QUOR_SIM_PATH

// quor-sim running with the given options, its standard input and output on pipes.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args) {
        args.insert(args.begin(), QUOR_SIM_PATH);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~SimProcess() {
        Stop(SIGKILL);
        if (stdin_ >= 0) ::close(stdin_);
        if (stdout_ >= 0) ::close(stdout_);
    }

    bool Running() const { return pid_ > 0; }

    // The next line of its standard output, waiting up to `limit`.
    std::optional<std::string> Line(milliseconds limit = milliseconds(5000)) {
        const auto end = Clock::now() + limit;
        for (;;) {
            if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
                std::string line = buffered_.substr(0, nl);
                buffered_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(stdout_, buf, sizeof(buf));
            if (n <= 0) return std::nullopt;
            buffered_.append(buf, static_cast<std::size_t>(n));
        }
    }

    void CloseStdin() {
        ::close(stdin_);
        stdin_ = -1;
    }

    // Waits up to `limit` for it to end by itself; its exit status, or nullopt.
    std::optional<int> Exit(milliseconds limit) {
        const auto end = Clock::now() + limit;
        int status = 0;
        while (pid_ > 0 && Clock::now() < end) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                if (WIFEXITED(status)) return WEXITSTATUS(status);
                return std::nullopt;
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return std::nullopt;
    }

    bool Say(const std::string& command) {
        const std::string line = command + "\n";
        return ::write(stdin_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }

    // Sends `sig` and collects the exit status; nullopt when it had to be killed.
    std::optional<int> Stop(int sig) {
        if (pid_ <= 0) return std::nullopt;
        ::kill(pid_, sig);
        int status = 0;
        const auto end = Clock::now() + milliseconds(3000);
        pid_t r = 0;
        while ((r = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < end) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        if (r == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        if (r == 0 || !WIFEXITED(status)) return std::nullopt;
        return WEXITSTATUS(status);
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffered_;
};

class QuorSimTty : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        irps_ = IoTestLiveIrps();
    }
    void TearDown() override {
        port_.reset();
        EXPECT_EQ(IoTestLiveIrps(), irps_);
        kclock::ResetForTest();
    }

    NTSTATUS Control(ULONG code, const Bytes& in = {}) { return Control(*port_, code, in); }
    static NTSTATUS Control(SerialPort& port, ULONG code, const Bytes& in = {}) {
        return Send(port.Device(), kNoMajor, code, in, 0)->Wait();
    }

    // Writes a command frame and reads its reply: head, then the rest the head announces.
    Bytes Exchange(const Bytes& frame) { return Exchange(*port_, frame); }
    static Bytes Exchange(SerialPort& port, const Bytes& frame) {
        EXPECT_EQ(Send(port.Device(), IRP_MJ_WRITE, kWrite, frame, 0)->Wait(), STATUS_SUCCESS);
        auto head = Send(port.Device(), IRP_MJ_READ, kRead, {}, 2);
        if (head->Wait() != STATUS_SUCCESS) return {};
        Bytes reply = head->Delivered();
        const ULONG rest = reply[1] + ((reply[0] & 0x80) ? 256u : 0u) + 1;
        auto tail = Send(port.Device(), IRP_MJ_READ, kRead, {}, rest);
        EXPECT_EQ(tail->Wait(), STATUS_SUCCESS);
        const Bytes more = tail->Delivered();
        reply.insert(reply.end(), more.begin(), more.end());
        return reply;
    }

    static UCHAR Xor(const Bytes& b) {
        UCHAR x = 0;
        for (UCHAR v : b) x ^= v;
        return x;
    }

    // Opens the port on the program's tty, 9600 8N2, reads ending 2 s after they start.
    void Connect(const std::string& path) { Connect(path, port_); }
    static void Connect(const std::string& path, std::unique_ptr<SerialPort>& port) {
        port = OpenTtyPort(path);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(Send(port->Device(), IRP_MJ_CREATE, 0, {}, 0)->Wait(), STATUS_SUCCESS);
        ASSERT_EQ(Control(*port, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{9600})), STATUS_SUCCESS);
        ASSERT_EQ(Control(*port, IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, NO_PARITY, 8}),
                  STATUS_SUCCESS);
        ASSERT_EQ(
            Control(*port, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{200, 0, 2000, 0, 0})),
            STATUS_SUCCESS);
    }

    // Writes a frame and reads exactly `n` bytes back, whatever they are.
    Bytes Raw(const Bytes& frame, ULONG n) {
        EXPECT_EQ(Send(port_->Device(), IRP_MJ_WRITE, kWrite, frame, 0)->Wait(), STATUS_SUCCESS);
        auto r = Send(port_->Device(), IRP_MJ_READ, kRead, {}, n);
        EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
        return r->Delivered();
    }

    std::unique_ptr<SerialPort> port_;

  private:
    LONG irps_ = 0;
};

TEST_F(QuorSimTty, AnswersFramesOnItsPtyAndFollowsStdinCommands) {
    SimProcess sim({"--pty", "--model", "0x61", "--card", "t1"});
    ASSERT_TRUE(sim.Running());
    const auto path = sim.Line();
    ASSERT_TRUE(path.has_value());
    ASSERT_EQ(path->rfind("/dev/", 0), 0u) << *path;

    port_ = OpenTtyPort(*path);
    ASSERT_NE(port_, nullptr);
    ASSERT_EQ(Send(port_->Device(), IRP_MJ_CREATE, 0, {}, 0)->Wait(), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{9600})), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, NO_PARITY, 8}), STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{200, 0, 2000, 0, 0})),
              STATUS_SUCCESS);

    const Bytes status = Exchange({0x0B, 0x00, 0x0B});
    ASSERT_EQ(status.size(), 4u);
    EXPECT_EQ(status[0], 0x00);
    EXPECT_EQ(status[1], 0x01);
    EXPECT_EQ(status[2] & 0x40, 0x40) << "a card is in";
    EXPECT_EQ(Xor(status), 0);

    const Bytes info = Exchange({0x09, 0x00, 0x09});
    ASSERT_GE(info.size(), 8u);
    EXPECT_EQ(info[1], info.size() - 3);
    EXPECT_EQ(info[5], 0x61) << "model code";
    EXPECT_EQ(Xor(info), 0);

    ASSERT_TRUE(sim.Say("remove"));
    EXPECT_EQ(sim.Line(), "ok removed");
    const Bytes after = Exchange({0x0B, 0x00, 0x0B});
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[2] & 0x40, 0) << "the card is out";
    EXPECT_EQ(Xor(after), 0);

    ASSERT_TRUE(sim.Say("bogus"));
    EXPECT_EQ(sim.Line()->rfind("error:", 0), 0u);

    ASSERT_EQ(Send(port_->Device(), IRP_MJ_CLOSE, 0, {}, 0)->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST_F(QuorSimTty, FaultsAndScriptedKeysFromTheCommandLineShowOnTheLine) {
    SimProcess sim({"--pty", "--card", "none", "--fault", "11:firstbyte:0x10x2", "--keys", "4,ok",
                    "--key-gap", "0"});
    ASSERT_TRUE(sim.Running());
    const auto path = sim.Line();
    ASSERT_TRUE(path.has_value());
    Connect(*path);
    const Bytes kStatus{0x0B, 0x00, 0x0B};
    // The key script starts when the reader is asked for input: a display frame (a blank).
    EXPECT_EQ(Raw({0x0A, 0x01, 0x20, 0x2B}, 4).size(), 4u);
    EXPECT_EQ(sim.Line(), "display:  ");  // quor-sim shows what the display shows
    // Two replies with their first byte spoilt (the checksum left as it was), carrying the
    // two scripted keys; then a clean reply with no key and no card.
    EXPECT_EQ(Raw(kStatus, 4), (Bytes{0x10, 0x01, 0x04, 0x05}));
    EXPECT_EQ(Raw(kStatus, 4), (Bytes{0x10, 0x01, 0x0B, 0x0A}));
    EXPECT_EQ(Raw(kStatus, 4), (Bytes{0x00, 0x01, 0x0F, 0x0E}));

    ASSERT_TRUE(sim.Say("insert dual"));
    EXPECT_EQ(sim.Line(), "ok inserted");
    EXPECT_EQ(Raw(kStatus, 4), (Bytes{0x00, 0x01, 0x4F, 0x4E}));
    ASSERT_TRUE(sim.Say("silent on"));
    EXPECT_EQ(sim.Line(), "ok silent on");
    {
        ASSERT_EQ(Send(port_->Device(), IRP_MJ_WRITE, kWrite, kStatus, 0)->Wait(), STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{0, 0, 100, 0, 0})),
                  STATUS_SUCCESS);
        auto r = Send(port_->Device(), IRP_MJ_READ, kRead, {}, 4);
        EXPECT_EQ(r->Wait(), STATUS_TIMEOUT);
        EXPECT_EQ(r->Delivered(), Bytes{});
    }
    ASSERT_TRUE(sim.Say("status"));
    const auto status = sim.Line();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->rfind("card present", 0), 0u) << *status;
    ASSERT_TRUE(sim.Say("quit"));
    EXPECT_EQ(sim.Exit(milliseconds(3000)), 0);
}

TEST_F(QuorSimTty, EndOfInputEndsItOnlyWhenAskedTo) {
    struct Case {
        bool exitOnEof;
        bool ends;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        SCOPED_TRACE(c.exitOnEof);
        std::vector<std::string> args{"--pty"};
        if (c.exitOnEof) args.push_back("--exit-on-eof");
        SimProcess sim(args);
        ASSERT_TRUE(sim.Line().has_value());
        sim.CloseStdin();
        const auto code = sim.Exit(milliseconds(c.ends ? 3000 : 200));
        EXPECT_EQ(code.has_value(), c.ends);
        if (!c.ends) {
            EXPECT_EQ(sim.Stop(SIGINT), 0);
        }
    }
}

TEST_F(QuorSimTty, SeveralReadersEachOnAPtyOfItsOwn) {
    SimProcess sim({"--pty", "--card", "none", "--reader", "card=t1;model=0x61", "--reader",
                    "keys=5,ok;key-gap=0"});
    ASSERT_TRUE(sim.Running());
    std::vector<std::string> paths;
    for (int i = 0; i < 2; ++i) {
        const auto path = sim.Line();
        ASSERT_TRUE(path.has_value());
        ASSERT_EQ(path->rfind("/dev/", 0), 0u) << *path;
        paths.push_back(*path);
    }
    EXPECT_NE(paths[0], paths[1]);

    std::vector<std::unique_ptr<SerialPort>> ports(2);
    for (int i = 0; i < 2; ++i) Connect(paths[i], ports[i]);
    const Bytes kStatus{0x0B, 0x00, 0x0B};
    // Reader 1: its own card and model. Reader 2: the common settings (no card, model 0x58)
    // and its own key script, which starts at a display frame; its first key rides on the
    // next status reply.
    EXPECT_EQ(Exchange(*ports[0], kStatus)[2] & 0x40, 0x40);
    EXPECT_EQ(Exchange(*ports[1], {0x0A, 0x01, 0x20, 0x2B}).size(), 4u);
    EXPECT_EQ(sim.Line(), "2 display:  ");
    const Bytes second = Exchange(*ports[1], kStatus);
    ASSERT_EQ(second.size(), 4u);
    EXPECT_EQ(second[2] & 0x40, 0);
    EXPECT_EQ(second[2] & 0x0F, 0x05) << "the scripted key";
    EXPECT_EQ(Exchange(*ports[0], {0x09, 0x00, 0x09})[5], 0x61);
    EXPECT_EQ(Exchange(*ports[1], {0x09, 0x00, 0x09})[5], 0x58);

    // A leading number picks the reader a command is for; reader 1 by default.
    ASSERT_TRUE(sim.Say("2 insert t0"));
    EXPECT_EQ(sim.Line(), "ok inserted");
    EXPECT_EQ(Exchange(*ports[1], kStatus)[2] & 0x40, 0x40);
    ASSERT_TRUE(sim.Say("remove"));
    EXPECT_EQ(sim.Line(), "ok removed");
    EXPECT_EQ(Exchange(*ports[0], kStatus)[2] & 0x40, 0);
    EXPECT_EQ(Exchange(*ports[1], kStatus)[2] & 0x40, 0x40);
    for (const char* bad : {"3 status", "0 status", "2"}) {
        ASSERT_TRUE(sim.Say(bad));
        const auto answer = sim.Line();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->rfind("error:", 0), 0u) << bad << ": " << *answer;
    }
    for (auto& port : ports) {
        ASSERT_EQ(Send(port->Device(), IRP_MJ_CLOSE, 0, {}, 0)->Wait(), STATUS_SUCCESS);
    }
    EXPECT_EQ(sim.Stop(SIGTERM), 0);
}

TEST_F(QuorSimTty, BadReaderSettingsAreRefusedBeforeAnyPty) {
    const std::vector<std::vector<std::string>> cases{
        {"--pty", "--reader", "card=t9"},
        {"--pty", "--reader", "colour=blue"},
        {"--pty", "--reader", "keys=1,x"},
        {"--pty", "--readers", "1", "--reader", "card=t0", "--reader", "card=t1"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        SimProcess sim(args);
        ASSERT_TRUE(sim.Running());
        EXPECT_EQ(sim.Line(milliseconds(3000)), std::nullopt) << "no pty path";
        EXPECT_EQ(sim.Exit(milliseconds(3000)), 2);
    }
}

// Commands from another terminal: a stale socket file is replaced, a live one is not taken
// over, and ctl answers with the emulator's reply and an exit status that says whether it
// was an error.
TEST_F(QuorSimTty, ControlSocketTakesCommandsFromAnotherProcess) {
    const std::string path = ::testing::TempDir() + "quor-sim-ctl-" + std::to_string(::getpid());
    {  // left behind by a quor-sim that was killed
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        ::close(fd);
    }
    SimProcess sim({"--pty", "--card", "t1", "--control", path});
    const auto pty = sim.Line();
    ASSERT_TRUE(pty.has_value());

    const struct {
        std::vector<std::string> words;
        std::string answer;
        int exit;
    } rows[] = {
        {{"path"}, *pty, 0},
        {{"remove"}, "ok removed", 0},
        {{"insert", "t0"}, "ok inserted", 0},
        {{"status"}, "card present; keys waiting 0, scripted 0; protocol 0; frames 0", 0},
        {{"2", "path"}, "error: bad reader number '2'", 1},
        {{"frobnicate"}, "error: unknown command 'frobnicate' (try help)", 1},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args{"ctl", "--control", path};
        args.insert(args.end(), row.words.begin(), row.words.end());
        SCOPED_TRACE(row.words.front());
        SimProcess ctl(args);
        EXPECT_EQ(ctl.Line(), row.answer);
        EXPECT_EQ(ctl.Exit(milliseconds(5000)), row.exit);
    }

    // A second emulator does not take a socket another one answers on.
    SimProcess second({"--pty", "--control", path});
    EXPECT_EQ(second.Line(milliseconds(3000)), std::nullopt);
    EXPECT_EQ(second.Exit(milliseconds(3000)), 2);

    SimProcess quit({"ctl", "--control", path, "quit"});
    EXPECT_EQ(quit.Exit(milliseconds(5000)), 0);
    EXPECT_EQ(sim.Exit(milliseconds(5000)), 0);
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket is removed at the end";

    SimProcess nobody({"ctl", "--control", path, "status"});
    EXPECT_EQ(nobody.Exit(milliseconds(8000)), 1);
}

#endif  // QUOR_SIM_PATH

}  // namespace
}  // namespace quor::serial::test
