// Byte line over a real tty: a USB serial adapter, an on-board UART or a pseudo-terminal.
//
// Open() claims the tty for this process alone (flock and TIOCEXCL) and puts it into raw mode
// without flow control. A thread of the line's own reads the tty as bytes come, keeps them in a
// buffer and calls the notify function, so the port applies its read time-outs on the kernel
// clock and never has to poll the line. Failures:
// - Open(): STATUS_ACCESS_DENIED when the tty is in use or may not be opened,
//   STATUS_NO_SUCH_DEVICE when the path does not exist, STATUS_INVALID_PARAMETER when it is not
//   a tty; until an Open() succeeds (and after Close()) Health() answers STATUS_ACCESS_DENIED, so
//   a port whose create request was refused does not pretend to work.
// - A device that goes away (an adapter unplugged, the far end of a pseudo-terminal closed):
//   Health() and every request answer STATUS_DEVICE_NOT_CONNECTED, and the line notifies.
// - A write that cannot finish within the write limit: STATUS_IO_TIMEOUT.
// - Apply() with a baud rate or framing the tty cannot do: STATUS_INVALID_PARAMETER.
#pragma once

#include <termios.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/line.h"

namespace quor::serial {

class SerialPort;

class TermiosLine : public ByteLine {
  public:
    static constexpr std::chrono::milliseconds kDefaultWriteLimit{2000};

    explicit TermiosLine(std::string path,
                         std::chrono::milliseconds writeLimit = kDefaultWriteLimit);
    ~TermiosLine() override;
    TermiosLine(const TermiosLine&) = delete;
    TermiosLine& operator=(const TermiosLine&) = delete;

    void SetNotify(std::function<void()> notify) override;
    NTSTATUS Open() override;
    void Close() override;
    NTSTATUS Write(std::span<const UCHAR> bytes) override;
    std::size_t Available() override;
    std::size_t Read(std::span<UCHAR> out) override;
    kclock::Ticks NextArrival() override { return kclock::kInfinite; }
    void Purge(ULONG mask) override;
    NTSTATUS Apply(const LineSettings& settings) override;
    NTSTATUS Health() override;

    const std::string& Path() const { return path_; }

    // Turns `s` into the tty settings `t` (raw, no flow control, CLOCAL and CREAD); the rest of
    // `t` is kept. STATUS_INVALID_PARAMETER, with `t` untouched, for a baud rate or framing the
    // tty cannot do. DTR, RTS and break are modem-line requests, not tty settings.
    static NTSTATUS Encode(const LineSettings& s, termios& t);

  private:
    // Puts `s` into force on the open tty; ioMu_ held.
    NTSTATUS ApplyLocked(const LineSettings& s);
    void ReaderLoop(int fd, int stopFd);
    void MarkGone();
    void StopReader();

    const std::string path_;
    const std::chrono::milliseconds writeLimit_;
    std::shared_ptr<LineNotifier> notifier_;

    // Serialises everything that uses the descriptor against Open() and Close().
    std::mutex ioMu_;
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;
    LineSettings settings_;

    // The receive buffer and the line's state, shared with the reader thread.
    mutable std::mutex mu_;
    // Received bytes not read yet: rx_[rxHead_..] (the vector keeps its room, so steady
    // traffic costs no allocation).
    std::vector<UCHAR> rx_;
    std::size_t rxHead_ = 0;
    bool open_ = false;
    bool gone_ = false;
};

// A serial port over the tty at `path`. The tty is claimed by the port's create request.
std::unique_ptr<SerialPort> OpenTtyPort(const std::string& path, const char* name = "QuorSerial0");

}  // namespace quor::serial
