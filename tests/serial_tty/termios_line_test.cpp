// The tty line under a serial port, against a pseudo-terminal: settings on the tty, exclusive
// use, bytes both ways with the port's read time-outs, a device that goes away, a stalled line,
// purge, and a port whose create request was refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/serial_tty/tty_bench.h"

namespace quor::serial::test {
namespace {

using TtyLine = TtyBench;

milliseconds Since(Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t);
}

TEST_F(TtyLine, OpenAndConfigureLeaveTheTtyRawAt9600With8N2AndNoFlowControl) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    Configure();
    const termios t = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & (PARENB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_TRUE(port_->Settings().Dtr);
    EXPECT_TRUE(port_->Settings().Rts);
}

TEST(TtySettings, LineControlTurnsIntoTheFramingBits) {
    struct Case {
        UCHAR stop, parity, bits;
        NTSTATUS status;
        tcflag_t cflag;  // CSIZE, CSTOPB, PARENB, PARODD and CMSPAR
    };
    const Case cases[] = {
        {STOP_BIT_1, NO_PARITY, 8, STATUS_SUCCESS, CS8},
        {STOP_BITS_2, NO_PARITY, 8, STATUS_SUCCESS, CS8 | CSTOPB},
        {STOP_BIT_1, EVEN_PARITY, 7, STATUS_SUCCESS, CS7 | PARENB},
        {STOP_BITS_2, ODD_PARITY, 8, STATUS_SUCCESS, CS8 | CSTOPB | PARENB | PARODD},
        {STOP_BIT_1, MARK_PARITY, 6, STATUS_SUCCESS, CS6 | PARENB | PARODD | CMSPAR},
        {STOP_BIT_1, SPACE_PARITY, 8, STATUS_SUCCESS, CS8 | PARENB | CMSPAR},
        {STOP_BITS_1_5, NO_PARITY, 5, STATUS_SUCCESS, CS5 | CSTOPB},
        // One and a half stop bits with more than five data bits: no UART does that.
        {STOP_BITS_1_5, NO_PARITY, 8, STATUS_INVALID_PARAMETER, 0},
        {STOP_BITS_2 + 1, NO_PARITY, 8, STATUS_INVALID_PARAMETER, 0},
        {STOP_BIT_1, SPACE_PARITY + 1, 8, STATUS_INVALID_PARAMETER, 0},
        {STOP_BIT_1, NO_PARITY, 9, STATUS_INVALID_PARAMETER, 0},
        {STOP_BIT_1, NO_PARITY, 4, STATUS_INVALID_PARAMETER, 0},
    };
    const tcflag_t kMask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << int{c.stop} << "/" << int{c.parity} << "/" << int{c.bits});
        LineSettings s;
        s.LineControl = {c.stop, c.parity, c.bits};
        // Start from settings a previous user may have left: cooked, flow control on.
        termios t{};
        t.c_iflag = IXON | IXOFF | ICRNL;
        t.c_oflag = OPOST | ONLCR;
        t.c_lflag = ICANON | ECHO | ISIG;
        t.c_cflag = CRTSCTS | CS7 | PARENB | HUPCL;
        const termios before = t;
        ASSERT_EQ(TermiosLine::Encode(s, t), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(std::memcmp(&t, &before, sizeof(t)), 0) << "left untouched";
            continue;
        }
        EXPECT_EQ(t.c_cflag & kMask, c.cflag);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    }
}

TEST(TtySettings, BaudRatesTheTtyKnowsAndOnesItDoesNot) {
    const std::pair<ULONG, speed_t> known[] = {
        {1200, B1200},   {2400, B2400},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {921600, B921600},
    };
    for (const auto& [rate, speed] : known) {
        SCOPED_TRACE(rate);
        LineSettings s;
        s.BaudRate = rate;
        termios t{};
        ASSERT_EQ(TermiosLine::Encode(s, t), STATUS_SUCCESS);
        EXPECT_EQ(cfgetospeed(&t), speed);
        EXPECT_EQ(cfgetispeed(&t), speed);
    }
    for (ULONG rate : {0u, 9601u, 12345u, 14400u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(rate);
        LineSettings s;
        s.BaudRate = rate;
        termios t{};
        EXPECT_EQ(TermiosLine::Encode(s, t), STATUS_INVALID_PARAMETER);
    }
}

TEST_F(TtyLine, LineControlAndBaudRateReachTheTty) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    // A pseudo-terminal keeps the stop-bit and parity-kind bits but always reports eight data
    // bits without parity, so only those bits show here.
    struct Case {
        UCHAR stop, parity, bits;
        NTSTATUS status;
        tcflag_t cflag;  // CSTOPB, PARODD and CMSPAR in force afterwards
    };
    const Case cases[] = {
        {STOP_BITS_2, ODD_PARITY, 8, STATUS_SUCCESS, CSTOPB | PARODD},
        {STOP_BIT_1, MARK_PARITY, 8, STATUS_SUCCESS, PARODD | CMSPAR},
        {STOP_BIT_1, NO_PARITY, 8, STATUS_SUCCESS, 0},
        {STOP_BITS_2, NO_PARITY, 8, STATUS_SUCCESS, CSTOPB},
        {STOP_BITS_1_5, NO_PARITY, 8, STATUS_INVALID_PARAMETER, CSTOPB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << int{c.stop} << "/" << int{c.parity} << "/" << int{c.bits});
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, {c.stop, c.parity, c.bits}), c.status);
        EXPECT_EQ(pty_.Settings().c_cflag & (CSTOPB | PARODD | CMSPAR), c.cflag);
    }

    struct Baud {
        ULONG rate;
        NTSTATUS status;
        speed_t speed;  // in force afterwards
    };
    const Baud bauds[] = {
        {19200, STATUS_SUCCESS, B19200},
        {115200, STATUS_SUCCESS, B115200},
        {12345, STATUS_INVALID_PARAMETER, B115200},
        {9600, STATUS_SUCCESS, B9600},
        {0, STATUS_INVALID_PARAMETER, B9600},
    };
    for (const Baud& b : bauds) {
        SCOPED_TRACE(b.rate);
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(b.rate)), b.status);
        const termios t = pty_.Settings();
        EXPECT_EQ(cfgetospeed(&t), b.speed);
    }
    EXPECT_EQ(port_->Settings().BaudRate, 9600u);
}

TEST_F(TtyLine, ASecondOpenOfTheSameTtyIsRefusedUntilTheFirstCloses) {
    auto other = OpenTtyPort(pty_.path, "QuorSerial1");
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    EXPECT_EQ(Create(*other), STATUS_ACCESS_DENIED);
    // The refused port does not pretend to work, whatever is asked of it.
    EXPECT_EQ(Call(*other, kNoMajor, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{9600})),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Call(*other, IRP_MJ_WRITE, kWrite, {0x0B, 0x00, 0x0B}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Send(other->Device(), IRP_MJ_READ, kRead, {}, 4)->Wait(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Call(*other, kNoMajor, IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR})),
              STATUS_ACCESS_DENIED);
    // The first port is not disturbed by the refusal.
    EXPECT_EQ(Write({0x0B, 0x00, 0x0B}), STATUS_SUCCESS);
    EXPECT_EQ(pty_.Receive(3), (Bytes{0x0B, 0x00, 0x0B}));

    ASSERT_EQ(Call(*port_, IRP_MJ_CLOSE, 0), STATUS_SUCCESS);
    EXPECT_EQ(Write({0x01}), STATUS_ACCESS_DENIED);  // closed again
    ASSERT_EQ(Create(*other), STATUS_SUCCESS);
    EXPECT_EQ(Call(*other, IRP_MJ_WRITE, kWrite, {0x09, 0x00, 0x09}), STATUS_SUCCESS);
    EXPECT_EQ(pty_.Receive(3), (Bytes{0x09, 0x00, 0x09}));
}

TEST_F(TtyLine, RequestsBeforeAnyCreateAreRefused) {
    EXPECT_EQ(Write({0x0B, 0x00, 0x0B}), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_ACCESS_DENIED);
    EXPECT_EQ(StartRead(1)->Wait(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(pty_.Receive(1, milliseconds(50)), Bytes{});
}

TEST(TtyOpen, PathsThatAreNoUsableTtyGiveAClearStatus) {
    char file[] = "/tmp/quor-tty-test-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct Case {
        std::string path;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"/dev/quor-no-such-tty", STATUS_NO_SUCH_DEVICE},
        {"/nonexistent/dir/ttyUSB0", STATUS_NO_SUCH_DEVICE},
        {"/dev/null", STATUS_INVALID_PARAMETER},
        {file, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TermiosLine line(c.path);
        EXPECT_EQ(line.Open(), c.status);
        EXPECT_EQ(line.Health(), STATUS_ACCESS_DENIED);
        EXPECT_EQ(line.Write(std::span<const UCHAR>()), STATUS_ACCESS_DENIED);
        EXPECT_EQ(line.Apply(LineSettings{}), STATUS_ACCESS_DENIED);
    }
    ::unlink(file);
}

TEST_F(TtyLine, BytesGoBothWays) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    Configure();
    ASSERT_EQ(Write({0x0B, 0x00, 0x0B}), STATUS_SUCCESS);
    EXPECT_EQ(pty_.Receive(3), (Bytes{0x0B, 0x00, 0x0B}));

    // Every byte value passes untouched (no CR/LF translation, no flow-control characters).
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<UCHAR>(i);
    ASSERT_EQ(Write(all), STATUS_SUCCESS);
    EXPECT_EQ(pty_.Receive(all.size()), all);

    SetTimeouts({0, 0, 2000});
    auto read = StartRead(256);
    ASSERT_TRUE(pty_.Send(all));
    ASSERT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->Delivered(), all);
}

TEST_F(TtyLine, ReadsWaitForLateBytesAndHonourTheirTimeouts) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    Configure();

    // Bytes that come while the read waits complete it.
    SetTimeouts({0, 0, 2000});
    auto late = StartRead(4);
    EXPECT_TRUE(late->Pended());
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(late->Done());
    ASSERT_TRUE(pty_.Send({0x00, 0x01, 0x40, 0x41}));
    EXPECT_EQ(late->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(late->Delivered(), (Bytes{0x00, 0x01, 0x40, 0x41}));

    struct Case {
        const char* name;
        ReadTimeouts timeouts;
        Bytes sent;  // sent at once, before the read
        ULONG asked;
        milliseconds atLeast, below;
    };
    const Case cases[] = {
        {"total time-out, nothing comes", {0, 0, 100}, {}, 4, milliseconds(90), milliseconds(1000)},
        {"total time-out with the multiplier",
         {0, 20, 40},
         {},
         3,
         milliseconds(90),
         milliseconds(1000)},
        {"interval time-out after two bytes",
         {60, 0, 3000},
         {0x00, 0x03},
         5,
         milliseconds(50),
         milliseconds(1000)},
        {"total time-out, a short reply",
         {0, 0, 150},
         {0xAA},
         2,
         milliseconds(140),
         milliseconds(1000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(c.timeouts);
        if (!c.sent.empty()) {
            ASSERT_TRUE(pty_.Send(c.sent));
            ASSERT_TRUE(Eventually([&] { return port_->Line().Available() == c.sent.size(); }));
        }
        const auto t0 = Clock::now();
        auto r = StartRead(c.asked);
        EXPECT_EQ(r->Wait(), STATUS_TIMEOUT);
        const auto took = Since(t0);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        EXPECT_EQ(r->Delivered(), c.sent);
    }
}

TEST_F(TtyLine, AVanishedDeviceEndsAWaitingReadAndFailsWhatFollows) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    Configure();
    SetTimeouts({0, 0, 0});  // no time-out: only the device going away ends it
    auto read = StartRead(4);
    ASSERT_TRUE(read->Pended());
    std::this_thread::sleep_for(milliseconds(20));
    const auto t0 = Clock::now();
    pty_.CloseMaster();
    EXPECT_EQ(read->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_LT(Since(t0), milliseconds(1000));
    EXPECT_EQ(port_->Line().Health(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Write({0x0B, 0x00, 0x0B}), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(StartRead(1)->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    // Closing the port still works, and a new open finds the device missing.
    EXPECT_EQ(Call(*port_, IRP_MJ_CLOSE, 0), STATUS_SUCCESS);
    EXPECT_NE(Create(*port_), STATUS_SUCCESS);
}

TEST_F(TtyLine, AStalledLineEndsAWriteWithinItsLimit) {
    TermiosLine line(pty_.path, milliseconds(100));
    ASSERT_EQ(line.Open(), STATUS_SUCCESS);
    // Nobody reads the master: the tty's queues fill up and the write cannot finish.
    const std::vector<UCHAR> lots(1 << 20, 0x55);
    const auto t0 = Clock::now();
    EXPECT_EQ(line.Write(lots), STATUS_IO_TIMEOUT);
    EXPECT_GE(Since(t0), milliseconds(90));
    EXPECT_LT(Since(t0), milliseconds(1500));
    EXPECT_EQ(line.Health(), STATUS_SUCCESS);  // stalled, not gone
    line.Close();
    EXPECT_EQ(line.Health(), STATUS_ACCESS_DENIED);
}

TEST_F(TtyLine, PurgeDropsReceivedBytes) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    Configure();
    ASSERT_TRUE(pty_.Send({1, 2, 3, 4, 5}));
    ASSERT_TRUE(Eventually([&] { return port_->Line().Available() == 5; }));
    // A transmit purge leaves received bytes alone.
    ASSERT_EQ(Control(IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_TXCLEAR})), STATUS_SUCCESS);
    EXPECT_EQ(port_->Line().Available(), 5u);
    ASSERT_EQ(Control(IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR})), STATUS_SUCCESS);
    EXPECT_EQ(port_->Line().Available(), 0u);
    SetTimeouts({0, 0, 60});
    auto empty = StartRead(1);
    EXPECT_EQ(empty->Wait(), STATUS_TIMEOUT);
    EXPECT_EQ(empty->Delivered(), Bytes{});
    // Bytes after the purge come through as usual.
    SetTimeouts({0, 0, 2000});
    auto next = StartRead(2);
    ASSERT_TRUE(pty_.Send({6, 7}));
    EXPECT_EQ(next->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(next->Delivered(), (Bytes{6, 7}));
}

TEST_F(TtyLine, ClosingCancelsAWaitingReadAndTheTtyCanBeOpenedAgain) {
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    SetTimeouts({0, 0, 0});
    auto read = StartRead(1);
    ASSERT_TRUE(read->Pended());
    EXPECT_EQ(Call(*port_, IRP_MJ_CLOSE, 0), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
    // Bytes sent while nobody had the tty open are not handed to the next user.
    ASSERT_TRUE(pty_.Send({0xEE}));
    ASSERT_EQ(Create(*port_), STATUS_SUCCESS);
    SetTimeouts({0, 0, 2000});
    auto fresh = StartRead(1);
    ASSERT_TRUE(pty_.Send({0x42}));
    EXPECT_EQ(fresh->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(fresh->Delivered(), Bytes{0x42});
}

}  // namespace
}  // namespace quor::serial::test
