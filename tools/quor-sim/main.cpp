// quor-sim: an emulated QUOR reader behind a pseudo-terminal, for running the driver stack (or
// any serial program) against it in real time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/fault.h"
#include "sim/frame.h"
#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "sim/reader.h"

namespace {

using quor::sim::SimTime;

int g_signalPipe[2] = {-1, -1};

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

// Keys of one token: a run of digits, "ok" or "cancel".
std::vector<std::uint8_t> KeysOf(const std::string& token) {
    const std::string t = Lower(token);
    if (t == "ok" || t == "confirm" || t == "enter") return {quor::sim::kKeyConfirm};
    if (t == "cancel" || t == "c") return {quor::sim::kKeyCancel};
    std::vector<std::uint8_t> keys;
    for (char c : t) {
        if (c < '0' || c > '9') throw std::invalid_argument("bad key '" + token + "'");
        keys.push_back(static_cast<std::uint8_t>(c - '0'));
    }
    if (keys.empty()) throw std::invalid_argument("empty key");
    return keys;
}

// "1,2,3,4,ok" or "1234,ok", with "wait:MS" steps that only let time pass; each key follows the
// previous one after `gapMs`.
std::vector<quor::sim::KeyStep> KeyScript(const std::string& script, long long gapMs) {
    std::vector<quor::sim::KeyStep> steps;
    std::stringstream in(script);
    std::string token;
    SimTime extra = 0;
    while (std::getline(in, token, ',')) {
        if (token.empty()) continue;
        if (Lower(token).rfind("wait:", 0) == 0) {
            extra += Number(token.substr(5), 0, 3'600'000, "wait") * 1000;
            continue;
        }
        for (std::uint8_t k : KeysOf(token)) {
            steps.push_back({(steps.empty() ? 0 : gapMs * 1000) + extra, k});
            extra = 0;
        }
    }
    if (extra > 0) steps.push_back({extra, quor::sim::kKeySilence});
    return steps;
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

class Server {
  public:
    Server(quor::sim::ReaderConfig cfg, std::string defaultCard, bool verbose, bool exitOnEof)
        : reader_(std::move(cfg)),
          defaultCard_(std::move(defaultCard)),
          verbose_(verbose),
          exitOnEof_(exitOnEof),
          start_(std::chrono::steady_clock::now()) {}

    quor::sim::Reader& Reader() { return reader_; }

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

    int Run() {
        std::string in;
        bool stdinOpen = true;
        for (;;) {
            const SimTime now = Now();
            Flush(now);
            int timeout = -1;
            if (const auto next = reader_.NextOutputTime(now)) {
                timeout = static_cast<int>(std::max<SimTime>(0, (*next - now + 999) / 1000));
            }
            pollfd p[3] = {{master_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                           {g_signalPipe[0], POLLIN, 0},
                           {stdinOpen ? 0 : -1, POLLIN, 0}};
            if (!out_.empty() && timeout < 0) timeout = 100;
            if (::poll(p, 3, timeout) < 0) {
                if (errno == EINTR) continue;
                std::perror("poll");
                return 1;
            }
            if (p[1].revents != 0) return 0;
            if (p[0].revents & POLLIN) FromHost();
            if (p[2].revents != 0) {
                char buf[512];
                const ssize_t n = ::read(0, buf, sizeof(buf));
                if (n > 0) {
                    in.append(buf, static_cast<std::size_t>(n));
                    std::size_t nl;
                    while ((nl = in.find('\n')) != std::string::npos) {
                        const std::string line = in.substr(0, nl);
                        in.erase(0, nl + 1);
                        if (!Command(line)) return 0;
                    }
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    if (!in.empty() && !Command(in)) return 0;
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

    void FromHost() {
        std::uint8_t buf[1024];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof(buf));
            if (n <= 0) return;  // EAGAIN, or EIO while no client has the tty open
            if (verbose_) Log("host -> reader", buf, static_cast<std::size_t>(n));
            reader_.HostWrite(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)),
                              Now());
        }
    }

    // Puts the reply bytes that are due on the line.
    void Flush(SimTime now) {
        const std::size_t due = reader_.HostAvailable(now);
        if (due > 0) {
            const std::vector<std::uint8_t> bytes = reader_.HostRead(due, now);
            if (verbose_) Log("reader -> host", bytes.data(), bytes.size());
            out_.insert(out_.end(), bytes.begin(), bytes.end());
        }
        while (!out_.empty()) {
            const ssize_t n = ::write(master_, out_.data(), out_.size());
            if (n <= 0) break;  // the tty's queue is full: later
            out_.erase(out_.begin(), out_.begin() + n);
        }
    }

    void Log(const char* dir, const std::uint8_t* p, std::size_t n) {
        std::fprintf(stderr, "[%10.3f ms] %s: %s\n", static_cast<double>(Now()) / 1000.0, dir,
                     Hex(p, n).c_str());
    }

    static void Say(const std::string& s) {
        std::cout << s << std::endl;  // flushed: a controlling program waits for it
    }

    // Carries out one stdin command; false to stop.
    bool Command(const std::string& line) {
        std::stringstream in(line);
        std::string cmd, arg, extra;
        in >> cmd >> arg >> extra;
        cmd = Lower(cmd);
        if (cmd.empty() || cmd[0] == '#') return true;
        try {
            if (!extra.empty()) throw std::invalid_argument("too many arguments");
            if (cmd == "quit" || cmd == "exit") return false;
            if (cmd == "insert") {
                auto card = MakeCard(arg.empty() ? defaultCard_ : arg);
                if (!card) throw std::invalid_argument("insert needs a card: t0, t1, dual, memory");
                reader_.InsertCard(std::move(card));
                Say("ok inserted");
            } else if (cmd == "remove") {
                NoArg(arg);
                reader_.RemoveCard();
                Say("ok removed");
            } else if (cmd == "key") {
                if (arg.empty()) throw std::invalid_argument("key needs DIGITS, ok or cancel");
                for (std::uint8_t k : KeysOf(arg)) reader_.PressKey(k);
                Say("ok keys " + std::to_string(reader_.PendingKeys()));
            } else if (cmd == "display") {
                NoArg(arg);
                const auto text = reader_.Display();
                Say("display: " + std::string(text.begin(), text.end()));
            } else if (cmd == "silent") {
                const std::string a = Lower(arg);
                if (a != "on" && a != "off") throw std::invalid_argument("silent on|off");
                reader_.SetSilent(a == "on");
                Say("ok silent " + a);
            } else if (cmd == "status") {
                NoArg(arg);
                Status();
            } else if (cmd == "help") {
                Say(kCommands);
            } else {
                throw std::invalid_argument("unknown command '" + cmd + "' (try help)");
            }
        } catch (const std::exception& e) {
            Say(std::string("error: ") + e.what());
        }
        return true;
    }

    static void NoArg(const std::string& arg) {
        if (!arg.empty()) throw std::invalid_argument("no argument expected");
    }

    void Status() {
        std::ostringstream s;
        s << "card " << (reader_.CardPresent() ? "present" : "absent")
          << (reader_.CardPowered() ? " powered" : "") << "; keys waiting " << reader_.PendingKeys()
          << ", scripted " << reader_.ScriptedKeys() << "; protocol " << int{reader_.Protocol()}
          << "; frames " << reader_.FrameCount();
        Say(s.str());
    }

  public:
    static constexpr const char* kCommands =
        "Commands on standard input, one per line:\n"
        "  insert [t0|t1|dual|memory]  put a card in (default: the --card kind, or t1)\n"
        "  remove                      pull the card out\n"
        "  key DIGITS|ok|cancel        press keys on the keypad\n"
        "  display                     print the text the display shows\n"
        "  silent on|off               stop or resume answering frames\n"
        "  status                      print the card, keypad and frame state\n"
        "  help                        print this list\n"
        "  quit                        end the program";

  private:
    quor::sim::Reader reader_;
    std::string defaultCard_;
    bool verbose_;
    bool exitOnEof_;
    std::chrono::steady_clock::time_point start_;
    int master_ = -1;
    int slave_ = -1;
    std::vector<std::uint8_t> out_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Emulated QUOR smart card reader on a pseudo-terminal.\n"
        "Prints the terminal's path on the first line of standard output, then serves frames on "
        "it in real time until SIGINT, SIGTERM or the quit command."};
    app.footer(Server::kCommands +
               std::string("\nEnd of standard input keeps serving unless --exit-on-eof."));
    bool pty = false;
    std::string model = "0x58";
    std::string card = "t1";
    std::string keys;
    long long keyGap = 300;
    std::vector<std::string> faults;
    long long byteTime = 0;
    bool verbose = false;
    bool exitOnEof = false;
    app.add_flag("--pty", pty, "Serve the reader on a new pseudo-terminal (required)")->required();
    app.add_option("--model", model, "Model code: byte 3 of the get-info reply (default 0x58)");
    app.add_option("--card", card, "Card in the slot at start: t0, t1, dual, memory or none")
        ->check(CLI::IsMember({"t0", "t1", "dual", "memory", "none"}, CLI::ignore_case));
    app.add_option("--keys", keys,
                   "Keypad script, e.g. \"1,2,3,4,ok\": digits, ok, cancel and wait:MS steps; the "
                   "first key comes when the reader next looks at its keypad");
    app.add_option("--key-gap", keyGap, "Milliseconds between scripted keys (default 300)")
        ->check(CLI::Range(0, 3'600'000));
    app.add_option("--fault", faults,
                   "CODE:KIND[:VALUE][xN]: spoil the replies to frames of code CODE; KIND is "
                   "noreply, badsum, firstbyte:BYTE, truncate:LENGTH, error[:BITS] or delay:MS; "
                   "xN for N frames (default 1), xalways for every one. Repeatable");
    app.add_option("--byte-time", byteTime,
                   "Microseconds per reply byte on the line (0: whole replies at once; 1146 is "
                   "9600 baud 8N2)")
        ->check(CLI::Range(0, 1'000'000));
    app.add_flag("--verbose,-v", verbose, "Log the bytes on the line to standard error");
    app.add_flag("--exit-on-eof", exitOnEof, "End when standard input ends");
    CLI11_PARSE(app, argc, argv);

    try {
        auto cfg = quor::sim::ConfigForModelCode(
            static_cast<std::uint8_t>(Number(model, 0, 255, "model code")));
        cfg.byteTime = byteTime;
        std::vector<ArmedFault> armed;
        for (const auto& f : faults) armed.push_back(ParseFault(f));
        const auto steps =
            keys.empty() ? std::vector<quor::sim::KeyStep>{} : KeyScript(keys, keyGap);
        auto first = MakeCard(card);

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

        Server server(std::move(cfg), card == "none" ? "t1" : card, verbose, exitOnEof);
        if (first) server.Reader().InsertCard(std::move(first));
        for (auto& a : armed) server.Reader().InjectFault(a.code, a.fault);
        if (!steps.empty()) server.Reader().ScriptKeys(steps);
        const std::string path = server.OpenPty();
        std::cout << path << std::endl;
        return server.Run();
    } catch (const std::exception& e) {
        std::cerr << "quor-sim: " << e.what() << "\n";
        return 2;
    }
}
