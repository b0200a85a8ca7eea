// A session of quorctl: opens the reader through the client library (on a tty or on the
// in-process reader emulator) and runs quorctl's commands against it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/reader.h"
#include "tools/quorctl/render.h"

namespace quor::sim {
class Reader;
}

namespace quorctl {

class Tracer;

// A command line or option the tool cannot make sense of (exit status 2).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Options {
    bool sim = false;
    std::string port;                   // tty path, when not sim
    std::string card = "t1";            // emulated card: t0, t1, dual, memory, none
    std::optional<std::uint8_t> model;  // emulated reader's model code
    double clockScale = 1.0;            // > 1 runs the kernel clock faster (tests)
    bool trace = false;
};

// One command as parsed from the command line or a shell line.
struct Command {
    std::string name;
    std::vector<std::string> words;  // positional arguments
    int count = 0;                   // watch: events to wait for (0: until interrupted)
    int max = 0;                     // input: key limit (0: until the confirm key)
    int timeout = -1;                // input: seconds for the first key (-1: reader default)
    int echo = 2;                    // input: echo mode (P2): 0 none, 1 digits, 2 '-'
    std::string params;              // verify-pin / change-pin: PIN-pad parameter bytes
    int length = 288;                // raw-read: bytes to ask for
    std::string keys;  // input, verify-pin, change-pin: keys the emulated keypad types
};

// Asks a running watch or wait to end (from a signal handler).
void RequestInterrupt();
void ClearInterrupt();
bool Interrupted();

class Session {
  public:
    using Emit = std::function<void(const Result&)>;

    // `log` receives progress and, with tracing, the trace lines.
    Session(Options options, std::ostream& log);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads the driver, adds the device over the port, starts and opens it. The result
    // carries the first failing step's status and, in its message, why in words a user can act
    // on (the port's path and the system's reason, or that no reader answers on it).
    Result Start();
    bool Started() const { return started_; }

    // Ends what is under way at once (an interrupt): waits are cancelled and the port fails
    // every request, so that the command returns and the device closes without waiting out
    // the reader's time-outs.
    void Abort() { reader_.AbortIo(); }

    // Runs a command; results go to `emit` as they come (watch yields one per event). Throws
    // UsageError for bad arguments. Returns the status of the last result.
    NTSTATUS Run(const Command& command, const Emit& emit);
    // Runs a command that yields one result (all of them but watch).
    Result RunOne(const Command& command);

    // The emulated reader, nullptr on a real port.
    quor::sim::Reader* SimReader() const { return emulator_.get(); }
    const Options& GetOptions() const { return options_; }

    // Writes trace lines for what happened since the last call (called by the trace thread).
    void FlushTrace();

  private:
    Result Simple(const std::string& cmd, const quor::client::Reply& reply);
    std::optional<std::uint32_t> AttributeUlong(std::uint32_t tag);
    std::optional<std::uint32_t> CardState(NTSTATUS* status = nullptr);

    Result Info();
    Result Status();
    Result Power(const Command& c);
    Result Protocol(const Command& c);
    std::optional<std::uint32_t> EnsureProtocol(Result& r);
    Result Transmit(const Command& c);
    NTSTATUS Watch(const Command& c, const Emit& emit);
    Result Wait(const Command& c);
    Result TerminalCommand(const std::string& cmd, const std::vector<std::uint8_t>& apdu);
    // Runs a keypad command while the emulated keypad types `keys`.
    Result WithKeys(const std::string& cmd, const std::vector<std::uint8_t>& apdu,
                    const std::string& keys, bool pinEntry);
    Result Display(const Command& c);
    Result Input(const Command& c);
    Result Pin(const Command& c, bool change);
    Result RawWrite(const Command& c);
    Result RawRead(const Command& c);
    Result AnyIoctl(const Command& c);
    Result Attr(const Command& c);
    Result State();
    Result SleepWake(bool sleep);
    Result Insert(const Command& c);
    Result Remove();
    Result Key(const Command& c);
    // Says what a failed card command means in the card's present state (no card, card not
    // powered, reader not answering) instead of the bare status.
    void Explain(Result& r);

    void Log(const std::string& line);

    Options options_;
    std::ostream& log_;
    std::mutex logMu_;

    std::shared_ptr<quor::sim::Reader> emulator_;
    std::unique_ptr<Tracer> tracer_;
    quor::client::Reader reader_;
    bool started_ = false;
    // The protocol this session's last transmit ran under, while nothing else ran since: the
    // next transmit uses it without asking the driver for the card state first.
    std::optional<std::uint32_t> protocol_;
};

// Parses a card type name; nullopt for an unknown one.
bool ValidCardType(const std::string& name);

}  // namespace quorctl
