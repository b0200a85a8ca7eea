// A pseudo-terminal made by the test, and a serial port over a TermiosLine on its slave side,
// on the real clock.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/serial/termios_line.h"
#include "tests/serial/port_bench.h"

namespace quor::serial::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The master side of a new pseudo-terminal; the slave side is at `path`.
struct Pty {
    int master = -1;
    std::string path;

    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
        path = ::ptsname(master);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void CloseMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    bool Send(const Bytes& b) const {
        return ::write(master, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    }
    // Collects `n` bytes the far side wrote, waiting up to `limit`.
    Bytes Receive(std::size_t n, milliseconds limit = milliseconds(2000)) const {
        Bytes got;
        const auto end = Clock::now() + limit;
        while (got.size() < n && Clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            ::poll(&p, 1, 20);
            UCHAR buf[256];
            const ssize_t r = ::read(master, buf, std::min(sizeof(buf), n - got.size()));
            if (r > 0) got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    // The slave's settings: on a pseudo-terminal the master's termios requests reach the slave.
    termios Settings() const {
        termios t{};
        ::tcgetattr(master, &t);
        return t;
    }
};

class TtyBench : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        irps_ = IoTestLiveIrps();
        ASSERT_FALSE(pty_.path.empty());
        port_ = OpenTtyPort(pty_.path);
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        port_.reset();
        EXPECT_EQ(IoTestLiveIrps(), irps_);
        kclock::ResetForTest();
    }

    static NTSTATUS Call(SerialPort& p, UCHAR major, ULONG code, const Bytes& in = {}) {
        return Send(p.Device(), major, code, in, 0)->Wait();
    }
    NTSTATUS Create(SerialPort& p) { return Call(p, IRP_MJ_CREATE, 0); }
    NTSTATUS Control(ULONG code, const Bytes& in = {}) { return Call(*port_, kNoMajor, code, in); }
    NTSTATUS Write(const Bytes& b) { return Call(*port_, IRP_MJ_WRITE, kWrite, b); }
    std::unique_ptr<Request> StartRead(ULONG n) {
        return Send(port_->Device(), IRP_MJ_READ, kRead, {}, n);
    }
    void SetTimeouts(ReadTimeouts t) {
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS,
                          BytesOf(SERIAL_TIMEOUTS{t.interval, t.multiplier, t.constant, 0, 0})),
                  STATUS_SUCCESS);
    }
    // The eight requests the reader driver configures the port with.
    void Configure() {
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{9600})), STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, NO_PARITY, 8}),
                  STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_CHARS, {0, 0, 0xFF, 0, 0, 0}), STATUS_SUCCESS);
        SetTimeouts({1000, 1000, 5000});
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW,
                          BytesOf(SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0})),
                  STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
    }

    Pty pty_;
    std::unique_ptr<SerialPort> port_;

  private:
    LONG irps_ = 0;
};

}  // namespace quor::serial::test
