// The reader driver as applications see it: a Reader opens a QUOR reader on a serial port (or
// on an in-process emulated reader), hosts the driver for it and sends it requests.
//
// Every Reader in a process shares one host and one loaded driver; each is a device of its own
// with its own unit number. The first Open loads the driver, the last Close unloads it. A
// Reader may be used from several threads at once (a transmit on one, a wait for a card event
// on another, a cancel from a third); Readers do not disturb each other.
//
// Every request answers with the driver's status, an NTSTATUS value carried as a plain 32-bit
// integer, and the bytes the driver returned. The header stays free of the kernel's types, so
// that faces which bring their own smart card headers (an IFD handler, a CT-API library) can
// include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quor::sim {
class Reader;
}
namespace quor::serial {
class ByteLine;
class SerialPort;
}  // namespace quor::serial

namespace quor::client {

using NtStatus = std::int32_t;

// The statuses a face typically tells apart (the driver's values).
namespace status {
constexpr NtStatus kSuccess = 0;
constexpr NtStatus kTimeout = 0x00000102;  // a command the reader did not answer in time
constexpr NtStatus kBufferOverflow = static_cast<NtStatus>(0x80000005u);
constexpr NtStatus kDeviceBusy = static_cast<NtStatus>(0x80000011u);
constexpr NtStatus kUnsuccessful = static_cast<NtStatus>(0xC0000001u);
constexpr NtStatus kInvalidParameter = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus kNoSuchDevice = static_cast<NtStatus>(0xC000000Eu);
constexpr NtStatus kInvalidDeviceRequest = static_cast<NtStatus>(0xC0000010u);
constexpr NtStatus kUnrecognizedMedia = static_cast<NtStatus>(0xC0000014u);
constexpr NtStatus kBufferTooSmall = static_cast<NtStatus>(0xC0000023u);
constexpr NtStatus kDeviceNotConnected = static_cast<NtStatus>(0xC000009Du);
constexpr NtStatus kIoTimeout = static_cast<NtStatus>(0xC00000B5u);
constexpr NtStatus kNotSupported = static_cast<NtStatus>(0xC00000BBu);
constexpr NtStatus kCancelled = static_cast<NtStatus>(0xC0000120u);
constexpr NtStatus kNoMedia = static_cast<NtStatus>(0xC0000178u);
constexpr NtStatus kInvalidDeviceState = static_cast<NtStatus>(0xC0000184u);
constexpr NtStatus kIoDeviceError = static_cast<NtStatus>(0xC0000185u);
constexpr NtStatus kDeviceProtocolError = static_cast<NtStatus>(0xC0000186u);
}  // namespace status

// "STATUS_IO_TIMEOUT", or the value in hex ("0xC00000B5") for a code without a name.
std::string StatusName(NtStatus s);
// A sentence that says what the status means, or "Unknown status." for a code without one.
std::string StatusText(NtStatus s);

// Transmission protocols (masks), as the driver and PC/SC count them.
namespace protocol {
constexpr std::uint32_t kT0 = 0x00000001;
constexpr std::uint32_t kT1 = 0x00000002;
constexpr std::uint32_t kRaw = 0x00010000;
constexpr std::uint32_t kDefault = 0x80000000;
}  // namespace protocol

// Tags of CT-BCS terminal command data objects.
namespace ctbcs {
constexpr std::uint8_t kTagProtocol = 0x22;
constexpr std::uint8_t kTagDisplayText = 0x50;
constexpr std::uint8_t kTagCommandToPerform = 0x52;
constexpr std::uint8_t kTagTimeout = 0x80;
}  // namespace ctbcs

enum class PowerAction : std::uint32_t { Down = 0, ColdReset = 1, WarmReset = 2 };

// The card state as the driver reports it (IOCTL_SMARTCARD_GET_STATE).
enum class CardState : std::uint32_t {
    Unknown = 0,
    Absent = 1,
    Present = 2,
    Swallowed = 3,
    Powered = 4,
    Negotiable = 5,
    Specific = 6,
};

// What the driver answered to one request.
struct Reply {
    NtStatus status = status::kSuccess;
    std::vector<std::uint8_t> data;  // the bytes returned (information bytes of the output)
    std::uintptr_t information = 0;  // the request's information field

    bool Ok() const { return status == status::kSuccess; }
    // The first four data bytes as a little-endian number; nothing on failure or fewer bytes.
    std::optional<std::uint32_t> Ulong() const;
};

struct StateReply {
    NtStatus status = status::kSuccess;
    CardState state = CardState::Unknown;  // meaningful on success only

    bool Ok() const { return status == status::kSuccess; }
};

// The end of a wait for a card event.
struct WaitReply {
    NtStatus status = status::kSuccess;  // the tracking request's status from the driver
    bool timedOut = false;               // the time ran out and the wait was cancelled for it

    bool Ok() const { return status == status::kSuccess; }
};

// Wait time without a limit.
constexpr std::int64_t kNoTimeout = -1;

struct OpenOptions {
    // Called with the serial port under the driver once it exists and before the driver sends
    // it anything (to follow its requests).
    std::function<void(quor::serial::SerialPort&)> onPort;
    // On a tty: when not a single byte has come back this many milliseconds after the driver
    // began to start the reader, nothing answers on the line. The open then gives up at once
    // with status::kIoTimeout, and LastError() says so. 0: no such limit (the driver's own
    // time-outs apply, which take the better part of a minute).
    std::int64_t silenceLimitMs = 0;
};

class Reader {
  public:
    Reader();
    ~Reader();  // closes
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens the reader on a serial device (a tty path): loads the driver when no other Reader
    // has, adds and starts the device (reset and identification take a few seconds) and opens
    // it. The status of the first step that failed; on failure nothing is left open.
    NtStatus Open(const std::string& path, const OpenOptions& options = {});
    // The same over an in-process line to an emulated reader.
    NtStatus OpenEmulated(std::shared_ptr<quor::sim::Reader> emulator,
                          const OpenOptions& options = {});
    // Ends waits under way, lets the other calls in progress finish, closes the device and
    // removes it; the last Reader to close unloads the driver. Harmless when not open.
    void Close();
    bool IsOpen() const;
    // Why the last Open failed, in words a user can act on ("/dev/ttyS9: No such file or
    // directory", "no reader answers on /dev/ttyS0: ..."); empty after a successful open.
    std::string LastError() const;
    // Ends everything under way at once: the waits are cancelled, and every request to the
    // port, pending or to come, fails until the Reader is closed (an interrupted program
    // closing the device cleanly, without waiting out a silent reader's time-outs).
    void AbortIo();
    // The device under the port has gone away for good (an adapter unplugged, the far end of a
    // pseudo-terminal closed): no request can reach the reader any more.
    bool PortGone() const;

    // IOCTL_SMARTCARD_GET_ATTRIBUTE: the attribute's bytes.
    Reply Attribute(std::uint32_t tag, std::size_t maxLength = 256);
    // IOCTL_SMARTCARD_SET_ATTRIBUTE.
    Reply SetAttribute(std::uint32_t tag, std::span<const std::uint8_t> value);
    // The device's unit number (SCARD_ATTR_DEVICE_UNIT).
    std::optional<std::uint32_t> Unit();
    // IOCTL_SMARTCARD_POWER: the ATR after a reset, nothing after a power-down.
    Reply Power(PowerAction action);
    // IOCTL_SMARTCARD_SET_PROTOCOL: the protocol selected, as a 4-byte mask.
    Reply SetProtocol(std::uint32_t mask);
    // IOCTL_SMARTCARD_TRANSMIT with the protocol given (0: the protocol in force): the card's
    // answer, without the request header, at most `maxResponse` bytes.
    Reply Transmit(std::span<const std::uint8_t> apdu, std::uint32_t protocolMask = 0,
                   std::size_t maxResponse = 258);
    // IOCTL_SMARTCARD_GET_STATE.
    StateReply State();

    // IOCTL_SMARTCARD_IS_PRESENT / IOCTL_SMARTCARD_IS_ABSENT, for at most `timeoutMs`
    // milliseconds of the kernel clock (kNoTimeout: no limit). The driver's tracking request
    // stays parked in it until the card event, the time-out, or CancelWaits.
    WaitReply WaitPresent(std::int64_t timeoutMs = kNoTimeout);
    WaitReply WaitAbsent(std::int64_t timeoutMs = kNoTimeout);
    // Cancels the waits under way (through the driver's cancel routine, so they end with
    // STATUS_CANCELLED). A call while no wait is under way ends the next wait at once with
    // STATUS_CANCELLED, so that a stop asked for just before a wait begins is not lost.
    void CancelWaits();
    // Waits parked in the driver right now.
    int ParkedWaits() const;

    // IOCTL_TERMINAL_COMMAND: a CT-BCS terminal command; the answer with its status word.
    Reply TerminalCommand(std::span<const std::uint8_t> command, std::size_t maxResponse = 512);
    // IOCTL_READER_RAW_WRITE / IOCTL_READER_RAW_READ: a raw reader frame and its reply.
    Reply RawWrite(std::span<const std::uint8_t> frame);
    Reply RawRead(std::size_t length = 288);
    // Any device-control request.
    Reply Ioctl(std::uint32_t code, std::span<const std::uint8_t> input, std::size_t outLength);

    // The system goes to sleep and wakes up, as the power manager tells the device.
    NtStatus Sleep();
    NtStatus Wake();

    // The serial port under the driver: valid from the open until the Reader is destroyed or
    // opened again (its records stay readable after Close). nullptr before the first open.
    quor::serial::SerialPort* Port() const;
    // The emulated reader on the line, nullptr on a real port.
    quor::sim::Reader* Emulator() const;

  private:
    struct Impl;
    NtStatus OpenLine(std::unique_ptr<quor::serial::ByteLine> line,
                      std::shared_ptr<quor::sim::Reader> emulator, const OpenOptions& options);
    WaitReply WaitFor(bool present, std::int64_t timeoutMs);
    std::unique_ptr<Impl> impl_;
};

}  // namespace quor::client
