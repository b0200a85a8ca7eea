// What a new user meets first, run as they would run it: a port where nothing answers, paths
// that are no serial port, an interrupted command, a reader that goes mute or away in the
// middle of a session, a reader without a serial number. Each fails clearly and fast.
#include <pty.h>
#include <sys/file.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/e2e/process.h"

namespace {

using quor::e2e::Clock;
using quor::e2e::Process;
using std::chrono::milliseconds;

nlohmann::json Answer(Process& ctl, const std::string& command, milliseconds limit) {
    ctl.Send(command);
    auto line = ctl.Line(limit);
    if (!line) return {{"missing", command}};
    return nlohmann::json::parse(*line, nullptr, false);
}

// A pseudo-terminal nobody answers on: the master side stays open and silent.
struct SilentPty {
    int master = -1, slave = -1;
    std::string path;
    SilentPty() {
        char name[256];
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    }
    ~SilentPty() {
        ::close(master);
        ::close(slave);
    }
};

// A pty served by quor-sim, with quorctl's JSON shell on it.
struct Session {
    Process sim;
    std::string pty;
    std::optional<Process> ctl;
    explicit Session(const char* card = "t1") : sim({QUOR_SIM_BINARY, "--pty", "--card", card}) {
        if (auto line = sim.Line(milliseconds(5000))) pty = *line;
        ctl.emplace(std::vector<std::string>{QUORCTL_BINARY, "--port", pty, "--json", "shell"});
    }
};

TEST(E2eFirstHour, NothingOnThePortFailsWithinTenSeconds) {
    SilentPty pty;
    ASSERT_FALSE(pty.path.empty());
    const auto start = Clock::now();
    Process ctl({QUORCTL_BINARY, "--port", pty.path, "info"});
    EXPECT_EQ(ctl.Exit(milliseconds(20000)), 1);
    EXPECT_LT(Clock::now() - start, milliseconds(10000));
    EXPECT_NE(ctl.Err().find("no reader answers on " + pty.path), std::string::npos) << ctl.Err();
    EXPECT_EQ(ctl.Err().find("Reader started"), std::string::npos) << ctl.Err();
}

TEST(E2eFirstHour, PortErrorsNameThePathAndTheReason) {
    const std::string file = ::testing::TempDir() + "quor-not-a-tty";
    std::ofstream(file) << "x";
    SilentPty locked;  // held by this test process, as another program would hold it
    ASSERT_EQ(::flock(locked.slave, LOCK_EX | LOCK_NB), 0);
    const struct {
        std::string path;
        std::string reason;
    } rows[] = {
        {"/dev/quor-no-such-tty", "No such file or directory"},
        {"/dev/null", "not a terminal"},
        {file, "not a terminal"},
        {"/tmp", "Is a directory"},
        {locked.path, "in use by " + std::to_string(::getpid())},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        Process ctl({QUORCTL_BINARY, "--port", row.path, "info"});
        EXPECT_EQ(ctl.Exit(milliseconds(5000)), 1);
        EXPECT_NE(ctl.Err().find(row.path + ": " + row.reason), std::string::npos) << ctl.Err();
    }
}

// Ctrl-C while a command waits on a reader that went mute: the command is cancelled, the device
// closed, and the tool ends with 130 within two seconds.
TEST(E2eFirstHour, InterruptEndsAHungCommandWithinTwoSeconds) {
    Session s;
    ASSERT_TRUE(s.ctl->Running());
    auto first = Answer(*s.ctl, "transmit 00 A4 00 0C 02 3F 00", milliseconds(20000));
    ASSERT_EQ(first["status"], "0x00000000") << first.dump();
    s.sim.Send("silent on");
    s.ctl->Send("transmit 00 A4 00 0C 02 3F 00");
    std::this_thread::sleep_for(milliseconds(300));  // the transmit waits for its answer
    const auto start = Clock::now();
    s.ctl->Signal(SIGINT);
    EXPECT_EQ(s.ctl->Exit(milliseconds(5000)), 130);
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
}

// A reader that goes mute in the middle of a session: the transmit fails with a time-out within
// 15 s, and quitting takes under 2 s.
TEST(E2eFirstHour, MuteReaderFailsFastAndQuitIsQuick) {
    Session s;
    auto first = Answer(*s.ctl, "transmit 00 A4 00 0C 02 3F 00", milliseconds(20000));
    ASSERT_EQ(first["status"], "0x00000000") << first.dump();
    s.sim.Send("silent on");
    const auto start = Clock::now();
    auto mute = Answer(*s.ctl, "transmit 00 A4 00 0C 02 3F 00", milliseconds(30000));
    EXPECT_LT(Clock::now() - start, milliseconds(15000));
    EXPECT_EQ(mute["status_name"], "STATUS_IO_TIMEOUT") << mute.dump();
    const auto quit = Clock::now();
    s.ctl->Send("quit");
    EXPECT_EQ(s.ctl->Exit(milliseconds(10000)), 1);
    EXPECT_LT(Clock::now() - quit, milliseconds(2000));
}

// Once the port is gone, every command says so, state and info included.
TEST(E2eFirstHour, AGonePortIsReportedByEveryCommand) {
    Session s;
    auto state = Answer(*s.ctl, "state", milliseconds(20000));
    ASSERT_EQ(state["status"], "0x00000000") << state.dump();
    s.sim.Send("quit");
    ASSERT_EQ(s.sim.Exit(milliseconds(20000)), 0);
    for (const char* command : {"state", "info", "power cold"}) {
        auto a = Answer(*s.ctl, command, milliseconds(20000));
        EXPECT_EQ(a["status_name"], "STATUS_DEVICE_NOT_CONNECTED") << command << ": " << a.dump();
        EXPECT_NE(a.value("error", "").find("is gone"), std::string::npos) << a.dump();
    }
}

// A reader that answers its information request with an error has no serial number: info
// still succeeds and says "unknown" for it.
TEST(E2eFirstHour, InfoWithoutASerialNumberSucceeds) {
    Process sim({QUOR_SIM_BINARY, "--pty", "--reader", "card=t1;fault=9:errorx10"});
    auto pty = sim.Line(milliseconds(5000));
    ASSERT_TRUE(pty);
    Process ctl({QUORCTL_BINARY, "--port", *pty, "--json", "info"});
    auto line = ctl.Line(milliseconds(20000));
    ASSERT_TRUE(line);
    auto info = nlohmann::json::parse(*line, nullptr, false);
    EXPECT_EQ(info["status"], "0x00000000") << *line;
    EXPECT_TRUE(info["serial"].is_null()) << *line;
    EXPECT_EQ(info["vendor"], "VESKA Systems") << *line;
    EXPECT_EQ(ctl.Exit(milliseconds(5000)), 0);
}

}  // namespace
