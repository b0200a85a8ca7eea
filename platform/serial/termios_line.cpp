#include "platform/serial/termios_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <utility>

#include "platform/serial/port.h"

namespace quor::serial {

namespace {

struct BaudEntry {
    ULONG rate;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

bool SpeedFor(ULONG rate, speed_t& out) {
    for (const BaudEntry& b : kBauds) {
        if (b.rate == rate) {
            out = b.speed;
            return true;
        }
    }
    return false;
}

// errno values that mean the device itself is gone.
bool DeviceGone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE; }

// A modem-line or break request; a pseudo-terminal has no modem lines and answers ENOTTY or
// EINVAL, which counts as done.
bool LineIoctl(int fd, unsigned long request, int* arg, int& err) {
    if (::ioctl(fd, request, arg) == 0) return true;
    err = errno;
    return err == ENOTTY || err == EINVAL;
}

}  // namespace

TermiosLine::TermiosLine(std::string path, std::chrono::milliseconds writeLimit)
    : path_(std::move(path)),
      writeLimit_(writeLimit),
      notifier_(std::make_shared<LineNotifier>()) {}

TermiosLine::~TermiosLine() {
    Close();
    notifier_->Set(nullptr);
}

void TermiosLine::SetNotify(std::function<void()> notify) { notifier_->Set(std::move(notify)); }

NTSTATUS TermiosLine::Health() {
    std::lock_guard<std::mutex> lock(mu_);
    if (gone_) return STATUS_DEVICE_NOT_CONNECTED;
    if (!open_) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

NTSTATUS TermiosLine::Open() {
    std::lock_guard<std::mutex> io(ioMu_);
    if (fd_ >= 0) return STATUS_ACCESS_DENIED;
    const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENOTDIR:
            case ENODEV:
            case ENXIO:
            case EIO:
                return STATUS_NO_SUCH_DEVICE;
            case EACCES:
            case EPERM:
            case EBUSY:
            case EROFS:
                return STATUS_ACCESS_DENIED;
            default:
                return STATUS_UNSUCCESSFUL;
        }
    }
    auto fail = [fd](NTSTATUS s) {
        ::close(fd);
        return s;
    };
    if (!::isatty(fd)) return fail(STATUS_INVALID_PARAMETER);
    // The lock keeps out every other user of this tty that takes it, the root user included;
    // TIOCEXCL keeps out other opens of unprivileged processes that do not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(STATUS_ACCESS_DENIED);
    if (::ioctl(fd, TIOCEXCL) != 0 && errno == EBUSY) return fail(STATUS_ACCESS_DENIED);
    ::tcflush(fd, TCIOFLUSH);

    fd_ = fd;
    const NTSTATUS s = ApplyLocked(settings_);
    if (!NT_SUCCESS(s)) {
        ::ioctl(fd, TIOCNXCL);
        fd_ = -1;
        return fail(s);
    }
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        ::ioctl(fd, TIOCNXCL);
        fd_ = -1;
        return fail(STATUS_INSUFFICIENT_RESOURCES);
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        rx_.clear();
        rxHead_ = 0;
        open_ = true;
        gone_ = false;
    }
    reader_ = std::thread([this, fd, stop = stopPipe_[0]] { ReaderLoop(fd, stop); });
    return STATUS_SUCCESS;
}

void TermiosLine::StopReader() {
    if (!reader_.joinable()) return;
    const char b = 0;
    while (::write(stopPipe_[1], &b, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    stopPipe_[0] = stopPipe_[1] = -1;
}

void TermiosLine::Close() {
    std::lock_guard<std::mutex> io(ioMu_);
    if (fd_ < 0) return;
    StopReader();
    // The exclusive flag belongs to the tty, not to this descriptor: clear it, or the next user
    // is refused while someone else (a pseudo-terminal's server) keeps the tty open.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the lock
    fd_ = -1;
    std::lock_guard<std::mutex> lock(mu_);
    rx_.clear();
    rxHead_ = 0;
    open_ = false;
    gone_ = false;
}

void TermiosLine::MarkGone() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (gone_ || !open_) return;
        gone_ = true;
    }
    notifier_->Call();
}

void TermiosLine::ReaderLoop(int fd, int stopFd) {
    std::array<UCHAR, 4096> buf;
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            MarkGone();
            return;
        }
        if (p[1].revents != 0) return;
        if (p[0].revents == 0) continue;
        bool got = false;
        bool gone = (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            for (;;) {
                const ssize_t n = ::read(fd, buf.data(), buf.size());
                if (n > 0) {
                    if (rxHead_ > 0 && rxHead_ * 2 >= rx_.size()) {
                        // Most of it read: move the rest to the front, within the room.
                        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_));
                        rxHead_ = 0;
                    }
                    rx_.insert(rx_.end(), buf.begin(), buf.begin() + n);
                    got = true;
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                // 0 (raw mode with nothing waiting) or EAGAIN: all taken for now.
                if (n < 0 && errno != EAGAIN) gone = true;
                break;
            }
        }
        if (gone) {
            MarkGone();
            return;
        }
        // The port's pending read takes the bytes on this thread, in one hand-off.
        if (got) notifier_->Call();
    }
}

std::size_t TermiosLine::Available() {
    std::lock_guard<std::mutex> lock(mu_);
    return rx_.size() - rxHead_;
}

std::size_t TermiosLine::Read(std::span<UCHAR> out) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::size_t n = std::min(out.size(), rx_.size() - rxHead_);
    std::copy_n(rx_.begin() + static_cast<std::ptrdiff_t>(rxHead_), n, out.begin());
    rxHead_ += n;
    if (rxHead_ == rx_.size()) {
        rx_.clear();
        rxHead_ = 0;
    }
    return n;
}

NTSTATUS TermiosLine::Write(std::span<const UCHAR> bytes) {
    std::lock_guard<std::mutex> io(ioMu_);
    NTSTATUS s = Health();
    if (!NT_SUCCESS(s)) return s;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + writeLimit_;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (!DeviceGone(errno)) return STATUS_IO_DEVICE_ERROR;
            MarkGone();
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        // The tty's output queue is full: wait for room, up to the write limit.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return STATUS_IO_TIMEOUT;
        pollfd p{fd_, POLLOUT, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR) return STATUS_IO_DEVICE_ERROR;
        if (r == 0) return STATUS_IO_TIMEOUT;
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            MarkGone();
            return STATUS_DEVICE_NOT_CONNECTED;
        }
    }
    return STATUS_SUCCESS;
}

void TermiosLine::Purge(ULONG mask) {
    std::lock_guard<std::mutex> io(ioMu_);
    if (fd_ < 0) return;
    // Under the buffer's lock, so that no byte read before the flush lands after it.
    std::lock_guard<std::mutex> lock(mu_);
    if (mask & SERIAL_PURGE_RXCLEAR) {
        ::tcflush(fd_, TCIFLUSH);
        rx_.clear();
        rxHead_ = 0;
    }
    if (mask & SERIAL_PURGE_TXCLEAR) ::tcflush(fd_, TCOFLUSH);
}

NTSTATUS TermiosLine::Apply(const LineSettings& settings) {
    std::lock_guard<std::mutex> io(ioMu_);
    const NTSTATUS h = Health();
    if (!NT_SUCCESS(h)) return h;
    const NTSTATUS s = ApplyLocked(settings);
    if (NT_SUCCESS(s)) settings_ = settings;
    return s;
}

NTSTATUS TermiosLine::Encode(const LineSettings& s, termios& t) {
    speed_t speed;
    if (!SpeedFor(s.BaudRate, speed)) return STATUS_INVALID_PARAMETER;
    tcflag_t size;
    switch (s.LineControl.WordLength) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    // One and a half stop bits exist only with five data bits (the UART's CSTOPB gives them).
    bool twoStops;
    switch (s.LineControl.StopBits) {
        case STOP_BIT_1:
            twoStops = false;
            break;
        case STOP_BITS_1_5:
            if (s.LineControl.WordLength != 5) return STATUS_INVALID_PARAMETER;
            twoStops = true;
            break;
        case STOP_BITS_2:
            twoStops = true;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    tcflag_t parity;
    switch (s.LineControl.Parity) {
        case NO_PARITY:
            parity = 0;
            break;
        case ODD_PARITY:
            parity = PARENB | PARODD;
            break;
        case EVEN_PARITY:
            parity = PARENB;
            break;
        case MARK_PARITY:
            parity = PARENB | CMSPAR | PARODD;
            break;
        case SPACE_PARITY:
            parity = PARENB | CMSPAR;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    termios next = t;
    ::cfmakeraw(&next);
    next.c_iflag &= ~(IXON | IXOFF | IXANY);
    next.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    next.c_cflag |= CLOCAL | CREAD | size | parity | (twoStops ? CSTOPB : 0);
    next.c_cc[VMIN] = 0;
    next.c_cc[VTIME] = 0;
    if (::cfsetispeed(&next, speed) != 0 || ::cfsetospeed(&next, speed) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    t = next;
    return STATUS_SUCCESS;
}

NTSTATUS TermiosLine::ApplyLocked(const LineSettings& s) {
    auto failed = [this](int err) {
        if (!DeviceGone(err)) return STATUS_IO_DEVICE_ERROR;
        MarkGone();
        return STATUS_DEVICE_NOT_CONNECTED;
    };
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) return failed(errno);
    const NTSTATUS e = Encode(s, t);
    if (!NT_SUCCESS(e)) return e;
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) return failed(errno);

    int err = 0;
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    if (!LineIoctl(fd_, s.Dtr ? TIOCMBIS : TIOCMBIC, &dtr, err) ||
        !LineIoctl(fd_, s.Rts ? TIOCMBIS : TIOCMBIC, &rts, err) ||
        !LineIoctl(fd_, s.Break ? TIOCSBRK : TIOCCBRK, nullptr, err)) {
        return failed(err);
    }
    return STATUS_SUCCESS;
}

std::unique_ptr<SerialPort> OpenTtyPort(const std::string& path, const char* name) {
    return SerialPort::Create(std::make_unique<TermiosLine>(path), name);
}

}  // namespace quor::serial
