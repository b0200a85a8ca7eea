// Requests other than the timing of reads: settings, create and close, writes, the request
// record, faults, completion modes and tear-down.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "tests/serial/port_bench.h"

namespace quor::serial::test {
namespace {

using SerialRequests = PortBench;

TEST_F(SerialRequests, SettingsRequestsAreKeptAndRecorded) {
    const std::pair<ULONG, Bytes> requests[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(ULONG{9600})},
        {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BITS_2, NO_PARITY, 8}},
        {IOCTL_SERIAL_SET_CHARS, {0, 0, 0xFF, 0, 0x11, 0x13}},
        {IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{1000, 1000, 5000, 7, 9})},
        {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(SERIAL_HANDFLOW{0, SERIAL_XOFF_CONTINUE, 0, 0})},
        {IOCTL_SERIAL_SET_BREAK_ON, {}},
        {IOCTL_SERIAL_SET_BREAK_OFF, {}},
        {IOCTL_SERIAL_SET_DTR, {}},
        {IOCTL_SERIAL_SET_RTS, {}},
        {IOCTL_SERIAL_CLR_DTR, {}},
        {IOCTL_SERIAL_CLR_RTS, {}},
        {IOCTL_SERIAL_SET_DTR, {}},
        {IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR})},
    };
    for (const auto& [code, input] : requests) {
        SCOPED_TRACE(code);
        auto r = Start(kNoMajor, code, input, 0);
        EXPECT_FALSE(r->Pended());
        EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
        const RequestRecord rec = port_->Requests().back();
        EXPECT_EQ(rec.major, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(rec.ioctl, code);
        EXPECT_EQ(rec.input, input);
        EXPECT_EQ(rec.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(port_->Requests().size(), std::size(requests));
    const LineSettings s = port_->Settings();
    EXPECT_EQ(s.BaudRate, 9600u);
    EXPECT_EQ(BytesOf(s.LineControl), requests[1].second);
    EXPECT_EQ(BytesOf(s.Chars), requests[2].second);
    EXPECT_EQ(BytesOf(port_->Timeouts()), requests[3].second);
    EXPECT_EQ(BytesOf(s.HandFlow), requests[4].second);
    EXPECT_FALSE(s.Break);
    EXPECT_TRUE(s.Dtr);
    EXPECT_FALSE(s.Rts);
    // Every change of DTR or RTS reaches the line, in order.
    std::vector<std::pair<bool, bool>> lines;
    for (const auto& w : reader_->WireLog()) {
        if (w.kind == quor::sim::WireEntry::Kind::kControlLines) lines.emplace_back(w.dtr, w.rts);
    }
    const std::vector<std::pair<bool, bool>> expected{
        {true, false}, {true, true}, {false, true}, {false, false}, {true, false}};
    EXPECT_EQ(lines, expected);
}

TEST_F(SerialRequests, ShortInputsAndUnknownCodesAreRefused) {
    struct Case {
        ULONG code;
        std::size_t size;  // what the request needs
    };
    const Case cases[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4}, {IOCTL_SERIAL_SET_LINE_CONTROL, 3},
        {IOCTL_SERIAL_SET_CHARS, 6},     {IOCTL_SERIAL_SET_TIMEOUTS, 20},
        {IOCTL_SERIAL_SET_HANDFLOW, 16}, {IOCTL_SERIAL_PURGE, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(Control(c.code, Bytes(c.size - 1, 0x01)), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(Control(c.code, {}), STATUS_BUFFER_TOO_SMALL);
    }
    EXPECT_EQ(port_->Settings().BaudRate, 9600u);
    EXPECT_EQ(port_->Timeouts().ReadTotalTimeoutConstant, 0u);
    // Codes the port does not know, including the driver's read code left as device control.
    for (ULONG code : {SERIAL_CTL_CODE(99), kRead, kWrite}) {
        SCOPED_TRACE(code);
        EXPECT_FALSE(NT_SUCCESS(Control(code, Bytes(4, 0))));
    }
}

TEST_F(SerialRequests, CreateIsExclusiveAndCloseCancelsReads) {
    struct Step {
        std::optional<NTSTATUS> createStatus;  // set before the request
        UCHAR major;
        NTSTATUS expected;
        bool openAfter;
    };
    const Step steps[] = {
        {{}, IRP_MJ_CREATE, STATUS_SUCCESS, true},
        {{}, IRP_MJ_CREATE, STATUS_ACCESS_DENIED, true},  // exclusive
        {{}, IRP_MJ_CLOSE, STATUS_SUCCESS, false},
        {STATUS_ACCESS_DENIED, IRP_MJ_CREATE, STATUS_ACCESS_DENIED, false},  // open elsewhere
        {STATUS_SHARED_IRQ_BUSY, IRP_MJ_CREATE, STATUS_SHARED_IRQ_BUSY, false},
        {STATUS_SUCCESS, IRP_MJ_CREATE, STATUS_SUCCESS, true},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        if (steps[i].createStatus) port_->SetCreateStatus(*steps[i].createStatus);
        EXPECT_EQ(Major(steps[i].major), steps[i].expected);
        EXPECT_EQ(port_->IsOpen(), steps[i].openAfter);
        EXPECT_EQ(port_->Requests().back().major, steps[i].major);
        EXPECT_EQ(port_->Requests().back().status, steps[i].expected);
    }

    auto read = StartRead(4);  // no time-outs: waits for ever
    ASSERT_TRUE(read->Pended());
    EXPECT_EQ(Major(IRP_MJ_CLOSE), STATUS_SUCCESS);
    EXPECT_EQ(read->Wait(), STATUS_CANCELLED);
}

TEST_F(SerialRequests, FaultsApplyToTheirRequestsForTheirCount) {
    SetTimeouts({0, 0, 100});
    struct Case {
        const char* name;
        PortFault fault;
        UCHAR major;  // request sent three times
        ULONG code;
        NTSTATUS first, second, third;
        ULONG_PTR readCount;  // bytes delivered by a faulted read
    };
    const Case cases[] = {
        {"one ioctl", PortFault::FailIoctl(IOCTL_SERIAL_SET_DTR, STATUS_IO_TIMEOUT, 2), kNoMajor,
         IOCTL_SERIAL_SET_DTR, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, STATUS_SUCCESS, 0},
        {"other ioctl unaffected", PortFault::FailIoctl(IOCTL_SERIAL_SET_DTR, STATUS_IO_TIMEOUT),
         kNoMajor, IOCTL_SERIAL_SET_RTS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {"count 0 is no fault", PortFault::FailMajor(IRP_MJ_WRITE, STATUS_UNSUCCESSFUL, 0),
         IRP_MJ_WRITE, kWrite, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {"writes until cleared", PortFault::FailMajor(IRP_MJ_WRITE, STATUS_UNSUCCESSFUL, -1),
         IRP_MJ_WRITE, kWrite, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, 0},
        {"read fails", PortFault::FailMajor(IRP_MJ_READ, STATUS_CANCELLED), IRP_MJ_READ, kRead,
         STATUS_CANCELLED, STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {"short read", PortFault::ShortRead(2), IRP_MJ_READ, kRead, STATUS_TIMEOUT, STATUS_SUCCESS,
         STATUS_SUCCESS, 2},
        {"short read, own status", PortFault::ShortRead(3, STATUS_SUCCESS), IRP_MJ_READ, kRead,
         STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, 3},
        {"read time-out", PortFault::ReadTimeout(), IRP_MJ_READ, kRead, STATUS_TIMEOUT,
         STATUS_SUCCESS, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port_->AddFault(c.fault);
        std::vector<NTSTATUS> got;
        for (int i = 0; i < 3; ++i) {
            const std::size_t frames = reader_->Frames().size();
            if (c.major == IRP_MJ_READ) AskStatus();
            auto r = c.major == IRP_MJ_READ    ? StartRead(4)
                     : c.major == IRP_MJ_WRITE ? Start(IRP_MJ_WRITE, kWrite, StatusCommand(), 0)
                                               : Start(kNoMajor, c.code, {}, 0);
            got.push_back(r->Wait());
            if (c.major == IRP_MJ_WRITE) {
                // A failed write never reaches the line.
                EXPECT_EQ(reader_->Frames().size() - frames, NT_SUCCESS(got.back()) ? 1u : 0u);
            }
            if (c.major == IRP_MJ_READ && i == 0) {
                EXPECT_EQ(r->iosb.Information, c.readCount);
                EXPECT_EQ(r->Delivered(), Prefix(StatusReply(), c.readCount));
            }
            Purge(SERIAL_PURGE_RXCLEAR);
        }
        EXPECT_EQ(got, (std::vector<NTSTATUS>{c.first, c.second, c.third}));
        port_->ClearFaults();
    }

    // A short read waits for its bytes when they come one by one.
    quor::sim::ReaderConfig cfg;
    cfg.byteTime = 1000;
    Build(cfg);
    port_->AddFault(PortFault::ShortRead(2));
    const Ticks start = kclock::Now();
    AskStatus();
    auto r = StartRead(4);
    EXPECT_EQ(r->Wait(), STATUS_TIMEOUT);
    EXPECT_EQ(r->Delivered(), Prefix(StatusReply(), 2));
    EXPECT_EQ(kclock::Now() - start, 2 * kMs);
}

TEST_F(SerialRequests, RecordingIsOffUntilAskedForAndKeepsTheNewest) {
    port_->SetRecording(false);  // as every port starts (the bench switches it on)
    AskStatus();
    EXPECT_TRUE(port_->Requests().empty());

    port_->SetRecording(true, 2);
    auto read = StartRead(12);  // one reply there: pends
    ASSERT_TRUE(read->Pended());
    AskStatus();
    AskStatus();  // the read's record falls out of the ring before the read completes
    EXPECT_EQ(read->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read->iosb.Information, 12u);
    const auto rec = port_->Requests();
    ASSERT_EQ(rec.size(), 2u);
    EXPECT_EQ(rec[0].number, 2u);  // requests are numbered whether recorded or not
    EXPECT_EQ(rec[1].number, 3u);
    EXPECT_EQ(rec[1].input, StatusCommand());

    port_->SetRecording(false);
    EXPECT_TRUE(port_->Requests().empty());
}

TEST_F(SerialRequests, DestroyingThePortCompletesAPendingRead) {
    auto read = StartRead(8);
    ASSERT_TRUE(read->Pended());
    port_.reset();
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(read->iosb.Status, STATUS_CANCELLED);
    // TearDown checks that no IRP and no pool allocation is left.
}

TEST_F(SerialRequests, PortGoesAwayWhileTheReaderNotifies) {
    port_.reset();
    std::atomic<bool> stop{false};
    std::thread notifier([&] {
        while (!stop.load()) reader_->SetSilent(false);  // notifies the line each time
    });
    for (int i = 0; i < 50; ++i) {
        port_ = SerialPort::Create(std::make_unique<quor::client::SimLine>(reader_));
        AskStatus();
        port_.reset();
    }
    stop = true;
    notifier.join();
}

// Both completion modes give a caller that waits on the event the same results; only the
// pended flag differs.
class SerialCompletion : public PortBench,
                         public ::testing::WithParamInterface<SerialPort::Completion> {};

TEST_P(SerialCompletion, SameResultsInBothModes) {
    const bool async = GetParam() == SerialPort::Completion::Asynchronous;
    port_->SetCompletion(GetParam());
    struct Step {
        const char* name;
        UCHAR major;
        ULONG code;
        Bytes input;
        ULONG outLen;
        NTSTATUS status;
        Bytes delivered;
        bool pendsWhenImmediate;
    };
    const Bytes timeouts = BytesOf(SERIAL_TIMEOUTS{0, 10, 100, 0, 0});  // 140 ms for 4 bytes
    const Step steps[] = {
        {"open", IRP_MJ_CREATE, 0, {}, 0, STATUS_SUCCESS, {}, false},
        {"timeouts", kNoMajor, IOCTL_SERIAL_SET_TIMEOUTS, timeouts, 0, STATUS_SUCCESS, {}, false},
        {"dtr", kNoMajor, IOCTL_SERIAL_SET_DTR, {}, 0, STATUS_SUCCESS, {}, false},
        {"unknown", kNoMajor, SERIAL_CTL_CODE(99), {}, 0, STATUS_INVALID_PARAMETER, {}, false},
        {"write", IRP_MJ_WRITE, kWrite, StatusCommand(), 0, STATUS_SUCCESS, {}, false},
        {"read all", IRP_MJ_READ, kRead, {}, 4, STATUS_SUCCESS, StatusReply(), false},
        {"read none", IRP_MJ_READ, kRead, {}, 4, STATUS_TIMEOUT, {}, true},
        {"close", IRP_MJ_CLOSE, 0, {}, 0, STATUS_SUCCESS, {}, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        auto r = Start(s.major, s.code, s.input, s.outLen);
        EXPECT_EQ(r->Pended(), async || s.pendsWhenImmediate);
        EXPECT_EQ(r->Wait(), s.status);
        EXPECT_EQ(r->iosb.Status, s.status);
        EXPECT_EQ(r->Delivered(), s.delivered);
        EXPECT_EQ(port_->Requests().back().pended, async || s.pendsWhenImmediate);
    }
    EXPECT_EQ(kclock::Now(), kStart + 140 * kMs);
    const auto rec = port_->Requests();
    EXPECT_EQ(reader_->Frames().at(0).code, quor::sim::kCodeGetStatus);
    EXPECT_EQ(rec[4].input, StatusCommand());  // the write
    EXPECT_EQ(rec[4].information, StatusCommand().size());
    EXPECT_TRUE(rec[4].output.empty());
    EXPECT_EQ(rec[5].length, 4u);  // the first read
    EXPECT_EQ(rec[5].output, StatusReply());
    EXPECT_EQ(rec[6].time, kStart);
    // Back to back, so that the port's thread completes requests while they are dispatched.
    for (int i = 0; i < 300; ++i) {
        auto r = Start(kNoMajor, i % 2 ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS, {}, 0);
        EXPECT_EQ(r->Pended(), async);
        EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SerialCompletion,
                         ::testing::Values(SerialPort::Completion::Immediate,
                                           SerialPort::Completion::Asynchronous),
                         [](const auto& info) {
                             return info.param == SerialPort::Completion::Immediate
                                        ? "Immediate"
                                        : "Asynchronous";
                         });

}  // namespace
}  // namespace quor::serial::test
