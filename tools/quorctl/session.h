// A session of quorctl: hosts the reader driver over a serial port (a tty or the in-process
// reader emulator), opens the reader and runs commands against it through device-control
// requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/host.h"

namespace quor::serial {
class SerialPort;
}
namespace quor::sim {
class Reader;
}

namespace quorctl {

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
    std::string params;              // verify-pin / change-pin: PIN-pad parameter bytes
    int length = 288;                // raw-read: bytes to ask for
    std::string keys;  // input, verify-pin, change-pin: keys the emulated keypad types
};

struct Result {
    Result() = default;
    explicit Result(std::string name) : cmd(std::move(name)) {}

    std::string cmd;
    NTSTATUS status = STATUS_SUCCESS;
    std::uintptr_t information = 0;
    std::vector<std::uint8_t> data;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    std::vector<std::string> lines;  // human-readable answer
    std::string usage;               // set for a usage error inside the shell

    bool Ok() const { return status == STATUS_SUCCESS && usage.empty(); }
    nlohmann::ordered_json ToJson() const;
    // "error: STATUS_X (0x...): sentence"
    std::string ErrorLine() const;
    // All of the answer on one line (for the shell).
    std::string OneLine() const;
};

std::string StatusHex(NTSTATUS status);
std::string ErrorText(NTSTATUS status);
const char* StateName(std::uint32_t state);
std::string ProtocolNames(std::uint32_t mask);

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
    // carries the first failing step's status.
    Result Start();

    // Runs a command; results go to `emit` as they come (watch yields one per event). Throws
    // UsageError for bad arguments. Returns the status of the last result.
    NTSTATUS Run(const Command& command, const Emit& emit);
    // Runs a command that yields one result (all of them but watch).
    Result RunOne(const Command& command);

    // The emulated reader, nullptr on a real port.
    quor::sim::Reader* SimReader() const { return reader_.get(); }
    const Options& GetOptions() const { return options_; }

    // Writes trace lines for what happened since the last call (called by the trace thread).
    void FlushTrace();

  private:
    struct Reply {
        NTSTATUS status = STATUS_SUCCESS;
        std::vector<std::uint8_t> data;
        std::uintptr_t information = 0;
    };
    Reply Ioctl(std::uint32_t code, const std::vector<std::uint8_t>& input,
                std::uint32_t outLength);
    Result Simple(const std::string& cmd, std::uint32_t code,
                  const std::vector<std::uint8_t>& input, std::uint32_t outLength);
    Reply GetAttribute(std::uint32_t tag);
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

    void Log(const std::string& line);
    void TraceLoop();

    Options options_;
    std::ostream& log_;
    std::mutex logMu_;

    std::shared_ptr<quor::sim::Reader> reader_;
    std::unique_ptr<quor::serial::SerialPort> port_;
    std::unique_ptr<khost::Host> host_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    bool added_ = false;
    khost::Handle handle_ = nullptr;

    // Trace bookkeeping.
    std::mutex traceMu_;
    std::int64_t simStart_ = 0;
    std::int64_t clockStart_ = 0;
    std::uint64_t framesSeen_ = 0;  // numbers of the next records to report
    std::uint64_t wireSeen_ = 0;
    std::uint64_t requestsSeen_ = 0;
    std::atomic<bool> traceStop_{false};
    std::thread traceThread_;
};

// Parses a card type name; nullopt for an unknown one.
bool ValidCardType(const std::string& name);

}  // namespace quorctl
