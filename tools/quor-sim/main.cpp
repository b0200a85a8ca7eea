// quor-sim: an emulated QUOR reader behind a pseudo-terminal, for running the driver stack (or
// any serial program) against it in real time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/fault.h"
#include "sim/frame.h"
#include "sim/keys.h"
#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "sim/reader.h"
#include "tools/quor-sim/control.h"

namespace {

using quor::sim::SimTime;
using quor::simtool::ControlServer;

int g_signalPipe[2] = {-1, -1};

constexpr int kMaxReaders = 16;

void OnSignal(int) {
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &b, 1);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A number in decimal or, with 0x, in hexadecimal; throws std::invalid_argument.
long long Number(const std::string& s, long long lo, long long hi, const char* what) {
    std::size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(s, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (s.empty() || used != s.size() || v < lo || v > hi) {
        throw std::invalid_argument(std::string("bad ") + what + " '" + s + "'");
    }
    return v;
}

std::shared_ptr<quor::sim::Card> MakeCard(const std::string& kind) {
    const std::string k = Lower(kind);
    if (k == "t0") return std::make_shared<quor::sim::T0Card>();
    if (k == "t1") return std::make_shared<quor::sim::T1Card>();
    if (k == "dual") return std::make_shared<quor::sim::DualCard>();
    if (k == "memory") return std::make_shared<quor::sim::MemoryCard>();
    if (k == "none") return nullptr;
    throw std::invalid_argument("unknown card '" + kind + "' (t0, t1, dual, memory, none)");
}

struct ArmedFault {
    std::uint8_t code;
    quor::sim::Fault fault;
};

// CODE:KIND[:VALUE][xN]; N may be "always".
ArmedFault ParseFault(const std::string& text) {
    std::string body = text;
    int count = 1;
    // The count is an "x" suffix of the last field; an "0x" that starts that field is a
    // hexadecimal prefix, not a count.
    const std::size_t lastField = body.rfind(':') == std::string::npos ? 0 : body.rfind(':') + 1;
    std::size_t from = lastField;
    if (body.compare(lastField, 2, "0x") == 0 || body.compare(lastField, 2, "0X") == 0) from += 2;
    const auto x = body.find_first_of("xX", from);
    if (lastField > 0 && x != std::string::npos) {
        const std::string n = Lower(body.substr(x + 1));
        count = n == "always" || n == "inf" ? quor::sim::Fault::kUntilCleared
                                            : static_cast<int>(Number(n, 1, 1'000'000, "count"));
        body.erase(x);
    }
    std::vector<std::string> parts;
    std::stringstream in(body);
    std::string part;
    while (std::getline(in, part, ':')) parts.push_back(part);
    if (parts.size() < 2 || parts.size() > 3) {
        throw std::invalid_argument("bad fault '" + text + "' (CODE:KIND[:VALUE][xN])");
    }
    const auto code = static_cast<std::uint8_t>(Number(parts[0], 0, 127, "frame code"));
    const std::string kind = Lower(parts[1]);
    auto value = [&](long long lo, long long hi) {
        if (parts.size() < 3) throw std::invalid_argument("fault '" + text + "' needs a VALUE");
        return Number(parts[2], lo, hi, "fault value");
    };
    auto noValue = [&] {
        if (parts.size() > 2) throw std::invalid_argument("fault '" + text + "' takes no VALUE");
    };
    quor::sim::Fault f;
    if (kind == "noreply") {
        noValue();
        f = quor::sim::Fault::NoReply();
    } else if (kind == "badsum") {
        noValue();
        f = quor::sim::Fault::BadChecksum();
    } else if (kind == "firstbyte") {
        f = quor::sim::Fault::FirstByte(static_cast<std::uint8_t>(value(0, 255)));
    } else if (kind == "truncate") {
        f = quor::sim::Fault::Truncate(static_cast<std::size_t>(value(0, 1024)));
    } else if (kind == "error") {
        f = quor::sim::Fault::ErrorStatus(
            static_cast<std::uint8_t>(parts.size() > 2 ? value(0, 255) : 0));
    } else if (kind == "delay") {
        f = quor::sim::Fault::Delay(value(0, 3'600'000) * 1000);
    } else {
        throw std::invalid_argument("unknown fault kind '" + parts[1] +
                                    "' (noreply, badsum, firstbyte, truncate, error, delay)");
    }
    return {code, f.Times(count)};
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// The settings of one emulated reader.
struct ReaderSettings {
    std::string model = "0x58";
    std::string card = "t1";
    std::string keys;
    long long keyGap = 300;
    std::vector<std::string> faults;
    long long byteTime = 0;
};

// "card=t0;keys=1,2,ok;model=0x61;fault=11:noreply;key-gap=0;byte-time=1146": the fields
// given replace those of `base`; a fault adds to the faults of `base`.
ReaderSettings ParseSettings(const std::string& text, ReaderSettings base) {
    std::stringstream in(text);
    std::string field;
    while (std::getline(in, field, ';')) {
        if (field.empty()) continue;
        const auto eq = field.find('=');
        if (eq == std::string::npos) {
            throw std::invalid_argument("bad reader field '" + field + "' (NAME=VALUE)");
        }
        const std::string name = Lower(field.substr(0, eq));
        const std::string value = field.substr(eq + 1);
        if (name == "card") {
            MakeCard(value);  // checks the name
            base.card = Lower(value);
        } else if (name == "keys") {
            base.keys = value;
        } else if (name == "key-gap") {
            base.keyGap = Number(value, 0, 3'600'000, "key gap");
        } else if (name == "model") {
            base.model = value;
        } else if (name == "fault") {
            base.faults.push_back(value);
        } else if (name == "byte-time") {
            base.byteTime = Number(value, 0, 1'000'000, "byte time");
        } else {
            throw std::invalid_argument("unknown reader field '" + name +
                                        "' (card, keys, key-gap, model, fault, byte-time)");
        }
    }
    return base;
}

// One emulated reader behind its own pseudo-terminal.
class Slot {
  public:
    explicit Slot(const ReaderSettings& s)
        : reader_(Config(s)), defaultCard_(s.card == "none" ? "t1" : s.card) {
        std::vector<ArmedFault> armed;
        for (const auto& f : s.faults) armed.push_back(ParseFault(f));
        const auto steps = s.keys.empty() ? std::vector<quor::sim::KeyStep>{}
                                          : quor::sim::ParseKeyScript(s.keys, s.keyGap);
        if (auto first = MakeCard(s.card)) reader_.InsertCard(std::move(first));
        for (auto& a : armed) reader_.InjectFault(a.code, a.fault);
        if (!steps.empty()) reader_.ScriptKeys(steps);
    }
    ~Slot() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    quor::sim::Reader& Reader() { return reader_; }
    // What was last told about the display and the PIN entry.
    std::vector<std::uint8_t> shown;
    bool entryShown = false;
    const std::string& DefaultCard() const { return defaultCard_; }
    int Master() const { return master_; }
    const std::string& Path() const { return path_; }
    bool HasOutput() const { return !out_.empty(); }

    // Creates the pseudo-terminal; returns the path of its slave side.
    std::string OpenPty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) throw std::runtime_error(std::string("posix_openpt: ") + strerror(errno));
        if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            throw std::runtime_error(std::string("grantpt/unlockpt: ") + strerror(errno));
        }
        const char* name = ::ptsname(master_);
        if (name == nullptr) throw std::runtime_error("ptsname failed");
        std::string path = name;
        path_ = path;
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        // Held open for the whole run: without it the master would see a hang-up between
        // clients. Raw, so that nothing the host sends is echoed or translated before a client
        // sets the tty up itself.
        slave_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) throw std::runtime_error("open " + path + ": " + strerror(errno));
        termios t{};
        if (::tcgetattr(slave_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(slave_, TCSANOW, &t);
        }
        return path;
    }

    // Hands what the host wrote to the emulator, each piece read also to `seen` (the log).
    template <typename Seen>
    void FromHost(SimTime now, Seen&& seen) {
        std::uint8_t buf[1024];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof(buf));
            if (n <= 0) return;  // EAGAIN, or EIO while no client has the tty open
            const std::span<const std::uint8_t> bytes(buf, static_cast<std::size_t>(n));
            seen(bytes);
            reader_.HostWrite(bytes, now);
        }
    }

    // Puts the reply bytes that are due on the line; returns the bytes that became due.
    std::vector<std::uint8_t> Flush(SimTime now) {
        std::vector<std::uint8_t> bytes;
        const std::size_t due = reader_.HostAvailable(now);
        if (due > 0) {
            bytes = reader_.HostRead(due, now);
            out_.insert(out_.end(), bytes.begin(), bytes.end());
        }
        while (!out_.empty()) {
            const ssize_t n = ::write(master_, out_.data(), out_.size());
            if (n <= 0) break;  // the tty's queue is full: later
            out_.erase(out_.begin(), out_.begin() + n);
        }
        return bytes;
    }

  private:
    static quor::sim::ReaderConfig Config(const ReaderSettings& s) {
        auto cfg = quor::sim::ConfigForModelCode(
            static_cast<std::uint8_t>(Number(s.model, 0, 255, "model code")));
        cfg.byteTime = s.byteTime;
        return cfg;
    }

    quor::sim::Reader reader_;
    std::string defaultCard_;
    std::string path_;
    int master_ = -1;
    int slave_ = -1;
    std::vector<std::uint8_t> out_;
};

class Server {
  public:
    Server(const std::vector<ReaderSettings>& settings, bool verbose, bool exitOnEof)
        : verbose_(verbose), exitOnEof_(exitOnEof), start_(std::chrono::steady_clock::now()) {
        for (const auto& one : settings) slots_.push_back(std::make_unique<Slot>(one));
    }

    // Creates the pseudo-terminals; returns their paths, in the readers' order.
    std::vector<std::string> OpenPtys() {
        std::vector<std::string> paths;
        for (auto& slot : slots_) paths.push_back(slot->OpenPty());
        return paths;
    }

    ControlServer& Control() { return control_; }

    int Run() {
        std::string in;
        bool stdinOpen = true;
        const std::size_t n = slots_.size();
        std::vector<pollfd> p;
        const auto toStdout = [](const std::string& s) { Say(s); };
        const auto command = [&](const std::string& line, const ControlServer::Reply& reply) {
            return Command(line, reply);
        };
        for (;;) {
            const SimTime now = Now();
            int timeout = -1;
            p.assign(n + 2, pollfd{-1, 0, 0});
            for (std::size_t i = 0; i < n; ++i) {
                Slot& slot = *slots_[i];
                const auto due = slot.Flush(now);
                if (verbose_ && !due.empty()) Log(i, "reader -> host", due);
                Show(i, slot);
                if (const auto next = slot.Reader().NextOutputTime(now)) {
                    const int ms =
                        static_cast<int>(std::max<SimTime>(0, (*next - now + 999) / 1000));
                    timeout = timeout < 0 ? ms : std::min(timeout, ms);
                }
                if (slot.HasOutput() && timeout < 0) timeout = 100;
                p[i] = {slot.Master(),
                        static_cast<short>(POLLIN | (slot.HasOutput() ? POLLOUT : 0)), 0};
            }
            p[n] = {g_signalPipe[0], POLLIN, 0};
            // Standard input is read only while it is ours: a terminal whose foreground is
            // another job (quor-sim started with '&') belongs to that job; look again later.
            const bool stdinMine = stdinOpen && StdinIsOurs();
            if (stdinOpen && !stdinMine) timeout = timeout < 0 ? 500 : std::min(timeout, 500);
            p[n + 1] = {stdinMine ? 0 : -1, POLLIN, 0};
            const auto controlFds = control_.Fds();
            for (int fd : controlFds) p.push_back({fd, POLLIN, 0});
            if (::poll(p.data(), p.size(), timeout) < 0) {
                if (errno == EINTR) continue;
                std::perror("poll");
                return 1;
            }
            if (p[n].revents != 0) return 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (!(p[i].revents & POLLIN)) continue;
                slots_[i]->FromHost(Now(), [&](std::span<const std::uint8_t> bytes) {
                    if (verbose_) Log(i, "host -> reader", bytes);
                });
            }
            for (std::size_t k = 0; k < controlFds.size(); ++k) {
                if (p[n + 2 + k].revents != 0 && !control_.Serve(controlFds[k], command)) return 0;
            }
            if (p[n + 1].revents != 0) {
                char buf[512];
                const ssize_t got = ::read(0, buf, sizeof(buf));
                if (got > 0) {
                    in.append(buf, static_cast<std::size_t>(got));
                    std::size_t nl;
                    while ((nl = in.find('\n')) != std::string::npos) {
                        const std::string line = in.substr(0, nl);
                        in.erase(0, nl + 1);
                        if (!Command(line, toStdout)) return 0;
                    }
                } else if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO)) {
                    // EIO: the terminal went to another job between the check and the read.
                } else {
                    if (!in.empty() && !Command(in, toStdout)) return 0;
                    in.clear();
                    stdinOpen = false;
                    if (exitOnEof_) return 0;
                }
            }
        }
    }

  private:
    SimTime Now() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

    // With several readers, each line names the reader it is about.
    void Log(std::size_t slot, const char* dir, std::span<const std::uint8_t> bytes) {
        const std::string who =
            slots_.size() > 1 ? "reader " + std::to_string(slot + 1) + " " : std::string();
        std::fprintf(stderr, "[%10.3f ms] %s%s: %s\n", static_cast<double>(Now()) / 1000.0,
                     who.c_str(), dir, Hex(bytes.data(), bytes.size()).c_str());
    }

    // Tells the person at the keypad what the reader shows and when it waits for a PIN.
    void Show(std::size_t i, Slot& slot) {
        const std::string who = slots_.size() > 1 ? std::to_string(i + 1) + " " : std::string();
        const auto text = slot.Reader().Display();
        if (text != slot.shown) {
            slot.shown = text;
            Say(who + "display: " + std::string(text.begin(), text.end()));
        }
        const bool waiting = slot.Reader().PinEntryWaiting();
        if (waiting != slot.entryShown) {
            slot.entryShown = waiting;
            Say(who + (waiting ? "pin entry: waiting for keys (" + who + "key 1234, " + who +
                                     "key ok; cancel gives up)"
                               : std::string("pin entry: over")));
        }
    }

    static void Say(const std::string& s) {
        std::cout << s << std::endl;  // flushed: a controlling program waits for it
    }

    // Carries out one command from standard input or the control socket, "[N] COMMAND [ARG]"
    // for reader N (default 1), answering through `reply`; false to stop.
    bool Command(const std::string& line, const ControlServer::Reply& reply) {
        std::stringstream in(line);
        std::string cmd, arg, extra;
        in >> cmd;
        std::size_t which = 0;
        const bool numbered =
            !cmd.empty() && std::all_of(cmd.begin(), cmd.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
        std::string number;
        if (numbered) {
            number = cmd;
            in >> cmd;
        }
        in >> arg >> extra;
        cmd = Lower(cmd);
        if (!numbered && (cmd.empty() || cmd[0] == '#')) return true;
        try {
            if (numbered) {
                which = static_cast<std::size_t>(
                    Number(number, 1, static_cast<long long>(slots_.size()), "reader number") - 1);
                if (cmd.empty()) throw std::invalid_argument("a reader number needs a command");
            }
            if (!extra.empty()) throw std::invalid_argument("too many arguments");
            Slot& slot = *slots_[which];
            quor::sim::Reader& reader = slot.Reader();
            if (cmd == "quit" || cmd == "exit") return false;
            if (cmd == "insert") {
                auto card = MakeCard(arg.empty() ? slot.DefaultCard() : arg);
                if (!card) throw std::invalid_argument("insert needs a card: t0, t1, dual, memory");
                reader.InsertCard(std::move(card));
                reply("ok inserted");
            } else if (cmd == "remove") {
                NoArg(arg);
                reader.RemoveCard();
                reply("ok removed");
            } else if (cmd == "key") {
                if (arg.empty()) throw std::invalid_argument("key needs DIGITS, ok or cancel");
                for (std::uint8_t k : quor::sim::ParseKeys(arg)) reader.PressKey(k);
                reply("ok keys " + std::to_string(reader.PendingKeys()));
            } else if (cmd == "display") {
                NoArg(arg);
                const auto text = reader.Display();
                reply("display: " + std::string(text.begin(), text.end()));
            } else if (cmd == "silent") {
                const std::string a = Lower(arg);
                if (a != "on" && a != "off") throw std::invalid_argument("silent on|off");
                reader.SetSilent(a == "on");
                reply("ok silent " + a);
            } else if (cmd == "status") {
                NoArg(arg);
                Status(reader, reply);
            } else if (cmd == "path") {
                NoArg(arg);
                reply(slot.Path());
            } else if (cmd == "help") {
                reply(kCommands);
            } else {
                throw std::invalid_argument("unknown command '" + cmd + "' (try help)");
            }
        } catch (const std::exception& e) {
            reply(std::string("error: ") + e.what());
        }
        return true;
    }

    static void NoArg(const std::string& arg) {
        if (!arg.empty()) throw std::invalid_argument("no argument expected");
    }

    static void Status(quor::sim::Reader& reader, const ControlServer::Reply& reply) {
        std::ostringstream s;
        s << "card " << (reader.CardPresent() ? "present" : "absent")
          << (reader.CardPowered() ? " powered" : "") << "; keys waiting " << reader.PendingKeys()
          << ", scripted " << reader.ScriptedKeys() << "; protocol " << int{reader.Protocol()}
          << "; frames " << reader.FrameCount();
        reply(s.str());
    }

  public:
    static constexpr const char* kCommands =
        "Commands, one per line, on standard input or through \"quor-sim ctl\":\n"
        "  insert [t0|t1|dual|memory]  put a card in (default: the --card kind, or t1)\n"
        "  remove                      pull the card out\n"
        "  key KEYS                    press keys on the keypad: digits, ok (or # E), cancel\n"
        "                              (or * C), e.g. \"key 1234\" then \"key ok\"\n"
        "  display                     print the text the display shows\n"
        "  silent on|off               stop or resume answering frames\n"
        "  status                      print the card, keypad and frame state\n"
        "  path                        print the reader's pseudo-terminal\n"
        "  help                        print this list\n"
        "  quit                        end the program\n"
        "With several readers, a command goes to reader N when N comes first (\"2 insert t0\");\n"
        "without a number it goes to reader 1. From another terminal, \"quor-sim ctl COMMAND\"\n"
        "sends a command through the control socket (quor-sim ctl --help).";

  private:
    static bool StdinIsOurs() { return ::isatty(0) == 0 || ::tcgetpgrp(0) == ::getpgrp(); }

    std::vector<std::unique_ptr<Slot>> slots_;
    ControlServer control_;
    bool verbose_;
    bool exitOnEof_;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "ctl") == 0)
        return quor::simtool::RunCtl(argc - 1, argv + 1);
    CLI::App app{
        "Emulated QUOR smart card reader on a pseudo-terminal.\n"
        "Prints the terminal's path on the first line of standard output (with several readers, "
        "one line per reader, in order), then serves frames on it in real time until SIGINT, "
        "SIGTERM or the quit command. It may run in the background: \"quor-sim ctl COMMAND\" "
        "sends commands from another terminal."};
    app.footer(Server::kCommands +
               std::string("\nEnd of standard input keeps serving unless --exit-on-eof."));
    std::string control;
    bool pty = false;
    ReaderSettings base;
    int readers = 0;
    std::vector<std::string> given;
    bool verbose = false;
    bool exitOnEof = false;
    app.add_flag("--pty", pty, "Serve the reader on a new pseudo-terminal (required)")->required();
    app.add_option("--model", base.model,
                   "Model code: byte 3 of the get-info reply (default 0x58)");
    app.add_option("--card", base.card, "Card in the slot at start: t0, t1, dual, memory or none")
        ->check(CLI::IsMember({"t0", "t1", "dual", "memory", "none"}, CLI::ignore_case));
    app.add_option("--keys", base.keys,
                   "Keypad script, e.g. \"1234,ok\" or \"1234#\": digits, ok (# E), cancel (* C) "
                   "and wait:MS steps; the first key comes when the reader is next asked for "
                   "input (a prompt on its display or a PIN entry)");
    app.add_option("--key-gap", base.keyGap, "Milliseconds between scripted keys (default 300)")
        ->check(CLI::Range(0, 3'600'000));
    app.add_option("--fault", base.faults,
                   "CODE:KIND[:VALUE][xN]: spoil the replies to frames of code CODE; KIND is "
                   "noreply, badsum, firstbyte:BYTE, truncate:LENGTH, error[:BITS] or delay:MS; "
                   "xN for N frames (default 1), xalways for every one. Repeatable");
    app.add_option("--byte-time", base.byteTime,
                   "Microseconds per reply byte on the line (0: whole replies at once; 1146 is "
                   "9600 baud 8N2)")
        ->check(CLI::Range(0, 1'000'000));
    app.add_option("--readers", readers,
                   "Number of emulated readers, each on a pseudo-terminal of its own (default 1, "
                   "or one per --reader)")
        ->check(CLI::Range(1, kMaxReaders));
    app.add_option("--reader", given,
                   "Settings of one reader, e.g. \"card=t0;keys=1234,ok\": "
                   "fields card, keys, key-gap, model, fault (repeatable) and byte-time, "
                   "separated by ';'; the options above give the rest. Repeatable: the first "
                   "--reader is reader 1, the next reader 2, and so on");
    app.add_option("--control", control,
                   "Control socket for \"quor-sim ctl\" (default " +
                       quor::simtool::DefaultControlPath() + "; \"none\" for no socket)");
    app.add_flag("--verbose,-v", verbose, "Log the bytes on the line to standard error");
    app.add_flag("--exit-on-eof", exitOnEof, "End when standard input ends");
    app.set_version_flag("--version", "quor-sim " QUOR_VERSION);
    CLI11_PARSE(app, argc, argv);

    try {
        base.card = Lower(base.card);
        if (given.size() > static_cast<std::size_t>(kMaxReaders)) {
            throw std::invalid_argument("at most " + std::to_string(kMaxReaders) + " readers");
        }
        if (readers == 0) readers = std::max(1, static_cast<int>(given.size()));
        if (static_cast<std::size_t>(readers) < given.size()) {
            throw std::invalid_argument("--readers " + std::to_string(readers) + " but " +
                                        std::to_string(given.size()) + " --reader settings");
        }
        std::vector<ReaderSettings> all;
        for (int i = 0; i < readers; ++i) {
            all.push_back(static_cast<std::size_t>(i) < given.size() ? ParseSettings(given[i], base)
                                                                     : base);
        }
        // Every setting is checked before anything is set up.
        Server server(all, verbose, exitOnEof);

        if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::perror("pipe2");
            return 1;
        }
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
        ::signal(SIGPIPE, SIG_IGN);

        ::signal(SIGTTIN, SIG_IGN);  // in the background, a read of the terminal fails instead
        ::signal(SIGTTOU, SIG_IGN);  // and what it prints still reaches the terminal

        const auto paths = server.OpenPtys();
        if (control != "none") {
            // A socket asked for by name must work; the default one may belong to another
            // quor-sim, and then this one takes commands on standard input only.
            std::string why;
            if (!server.Control().Listen(
                    control.empty() ? quor::simtool::DefaultControlPath() : control, &why)) {
                if (!control.empty()) throw std::runtime_error(why);
                std::cerr << "quor-sim: " << why
                          << "; this one takes commands on standard input only (give it "
                             "--control PATH for a socket of its own)\n";
            }
        }
        for (const auto& path : paths) std::cout << path << '\n';
        std::cout.flush();
        return server.Run();
    } catch (const std::exception& e) {
        std::cerr << "quor-sim: " << e.what() << "\n";
        return 2;
    }
}
