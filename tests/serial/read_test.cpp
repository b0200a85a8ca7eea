// Reads: when they complete at once, the SERIAL_TIMEOUTS rules on the kernel clock, and
// cancellation, including its races with the read's own completion.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <string>
#include <thread>

#include "tests/serial/port_bench.h"

namespace quor::serial::test {
namespace {

using SerialRead = PortBench;

TEST_F(SerialRead, CompletesAtOnceOnlyWithEveryByteThere) {
    struct Case {
        const char* name;
        ReadTimeouts t;
        bool replyThere;  // the 4-byte status reply has arrived before the read
        ULONG asked;
        bool pends;
        NTSTATUS status;
        ULONG_PTR count;
        Ticks elapsed;
    };
    constexpr Ticks kLargest = 5 * Ticks{kMax} * kMs;
    const Case cases[] = {
        {"all there", {0, 0, 0}, true, 4, false, STATUS_SUCCESS, 4, 0},
        {"more there than asked", {0, 0, 0}, true, 3, false, STATUS_SUCCESS, 3, 0},
        {"nothing asked", {0, 0, 0}, false, 0, false, STATUS_SUCCESS, 0, 0},
        {"total runs out", {0, 10, 40}, true, 6, true, STATUS_TIMEOUT, 4, 100 * kMs},
        {"return at once, some", {kMax, 0, 0}, true, 6, true, STATUS_SUCCESS, 4, 0},
        {"return at once, none", {kMax, 0, 0}, false, 6, true, STATUS_SUCCESS, 0, 0},
        {"any byte, some", {kMax, kMax, 250}, true, 6, true, STATUS_SUCCESS, 4, 0},
        {"any byte, none", {kMax, kMax, 250}, false, 6, true, STATUS_TIMEOUT, 0, 250 * kMs},
        // 5 x 0xFFFFFFFF ms: the total does not wrap at 32 bits.
        {"largest total", {0, kMax, kMax}, false, 4, true, STATUS_TIMEOUT, 0, kLargest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(c.t);
        if (c.replyThere) AskStatus();
        port_->ClearRequests();
        const Ticks start = kclock::Now();
        auto r = StartRead(c.asked);
        EXPECT_EQ(r->Pended(), c.pends);
        EXPECT_EQ(r->Wait(), c.status);
        EXPECT_EQ(r->iosb.Information, c.count);
        // The buffered copy-back delivers exactly the bytes read, also with STATUS_TIMEOUT.
        EXPECT_EQ(r->Delivered(), Prefix(StatusReply(), c.count));
        EXPECT_TRUE(r->RestUntouched());
        EXPECT_EQ(kclock::Now() - start, c.elapsed);
        const auto rec = port_->Requests().at(0);
        EXPECT_EQ(rec.pended, c.pends);
        EXPECT_EQ(rec.status, c.status);
        EXPECT_EQ(rec.information, c.count);
        EXPECT_EQ(rec.output, r->Delivered());
        ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
}

TEST_F(SerialRead, IntervalAndTotalTimeOutsFollowTheBytes) {
    // Bytes take 1 ms each. Two status replies are asked for; each can be held back.
    quor::sim::ReaderConfig cfg;
    cfg.byteTime = 1000;
    struct Case {
        const char* name;
        Ticks firstDelayMs, secondDelayMs;
        ReadTimeouts t;
        NTSTATUS status;
        ULONG_PTR count;
        Ticks elapsedMs;
    };
    const Case cases[] = {
        {"gap over the interval", 0, 2000, {500, 0, 0}, STATUS_TIMEOUT, 4, 504},
        {"gap within the interval", 0, 2000, {3000, 0, 0}, STATUS_SUCCESS, 8, 2004},
        {"total before the gap ends", 0, 2000, {0, 100, 500}, STATUS_TIMEOUT, 4, 1300},
        {"no time-outs", 0, 2000, {0, 0, 0}, STATUS_SUCCESS, 8, 2004},
        {"interval from the first byte", 3000, 0, {1000, 0, 0}, STATUS_SUCCESS, 8, 3008},
        {"total before the first byte", 3000, 0, {1000, 0, 1500}, STATUS_TIMEOUT, 0, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Build(cfg);
        SetTimeouts(c.t);
        reader_->InjectFault(quor::sim::kCodeGetStatus,
                             quor::sim::Fault::Delay(c.firstDelayMs * 1000));
        reader_->InjectFault(quor::sim::kCodeGetStatus,
                             quor::sim::Fault::Delay(c.secondDelayMs * 1000));
        const Ticks start = kclock::Now();
        AskStatus();
        AskStatus();
        auto r = StartRead(8);
        EXPECT_TRUE(r->Pended());
        EXPECT_EQ(r->Wait(), c.status);
        EXPECT_EQ(r->iosb.Information, c.count);
        Bytes both = StatusReply();
        both.insert(both.end(), both.begin(), both.end());
        EXPECT_EQ(r->Delivered(), Prefix(both, c.count));
        EXPECT_EQ(kclock::Now() - start, c.elapsedMs * kMs);
    }
}

TEST_F(SerialRead, TimeOutsBeyondTheEndOfTheClockWaitForEver) {
    struct Case {
        const char* name;
        Ticks start;
        ReadTimeouts t;
        ULONG asked;
        bool replyThere;
    };
    const Ticks nearEnd = (kclock::kInfinite / kMs - 10'000) * kMs;  // 10 s before the end
    const Case cases[] = {
        // 0xFFFFFFFF ms x 1 MiB does not fit the clock's 64 bits.
        {"huge read", kStart, {0, kMax, kMax}, 1u << 20, false},
        {"total near the end", nearEnd, {0, kMax, kMax}, 8, false},
        {"constant near the end", nearEnd, {0, 0, kMax}, 8, false},
        {"interval near the end", nearEnd, {kMax - 1, 0, 0}, 8, true},
        {"any byte near the end", nearEnd, {kMax, kMax, kMax - 1}, 8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kclock::SetNow(c.start);
        SetTimeouts(c.t);
        if (c.replyThere) AskStatus();
        auto r = StartRead(c.asked);
        ASSERT_TRUE(r->Pended());
        // Once the port's thread waits again it has looked at the read: it must not be over.
        ASSERT_TRUE(Eventually([] { return KeTestWaitingThreads() == 1; }));
        ASSERT_FALSE(r->Done());
        EXPECT_EQ(kclock::Now(), c.start);
        EXPECT_TRUE(IoCancelIrp(r->irp));
        EXPECT_EQ(r->Wait(), STATUS_CANCELLED);
        ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
}

TEST_F(SerialRead, CancelPurgeAndCloseEndPendingReads) {
    struct Case {
        const char* name;
        bool cancelledBefore;  // IoCancelIrp before the read reaches the port
        std::function<void(Request&)> end;
    };
    const Case cases[] = {
        {"cancel", false, [](Request& r) { EXPECT_TRUE(IoCancelIrp(r.irp)); }},
        {"cancelled before", true, [](Request&) {}},
        {"purge rxabort", false,
         [this](Request&) { EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS); }},
        {"close", false, [this](Request&) { EXPECT_EQ(Major(IRP_MJ_CLOSE), STATUS_SUCCESS); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port_->ClearRequests();
        auto r = StartRead(4, c.cancelledBefore);
        ASSERT_TRUE(r->Pended());
        c.end(*r);
        EXPECT_TRUE(r->Done());
        EXPECT_EQ(r->iosb.Status, STATUS_CANCELLED);
        EXPECT_EQ(port_->Requests().at(0).status, STATUS_CANCELLED);
        EXPECT_TRUE(port_->Requests().at(0).pended);
        // The port goes on: the next read gets the next reply.
        AskStatus();
        auto next = StartRead(4);
        EXPECT_EQ(next->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(next->Delivered(), StatusReply());
    }
}

TEST_F(SerialRead, PurgeRxClearDropsBytesThatArrived) {
    AskStatus();
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    const auto wire = reader_->WireLog();
    ASSERT_EQ(wire.back().kind, quor::sim::WireEntry::Kind::kPurge);
    EXPECT_EQ(wire.back().bytes, StatusReply());
    SetTimeouts({kMax, 0, 0});
    auto r = StartRead(4);
    EXPECT_EQ(r->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(r->iosb.Information, 0u);
}

// A read whose IRP the test owns: the completion routine stops the completion, so the IRP
// stays valid for IoCancelIrp whoever completes it first.
struct OwnedRead {
    PIRP irp = nullptr;
    UCHAR buffer[4] = {};
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<OwnedRead*>(context);
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        self->completions.fetch_add(1);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    explicit OwnedRead(PDEVICE_OBJECT port) {
        irp = IoAllocateIrp(port->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = buffer;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = sizeof(buffer);
        IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
    }
    ~OwnedRead() { IoFreeIrp(irp); }
};

enum class Racer { kDispatch, kBytesArrive, kPurgeRxAbort, kClose };

class SerialCancelRace : public PortBench, public ::testing::WithParamInterface<Racer> {};

TEST_P(SerialCancelRace, CompletesExactlyOnce) {
    const Racer racer = GetParam();
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
        OwnedRead read(port_->Device());
        if (racer != Racer::kDispatch) {
            ASSERT_EQ(IofCallDriver(port_->Device(), read.irp), STATUS_PENDING);
        }
        std::latch go(2);
        std::thread other([&] {
            go.arrive_and_wait();
            switch (racer) {
                case Racer::kDispatch:
                    EXPECT_EQ(IofCallDriver(port_->Device(), read.irp), STATUS_PENDING);
                    break;
                case Racer::kBytesArrive:
                    EXPECT_EQ(Write(StatusCommand()), STATUS_SUCCESS);
                    break;
                case Racer::kPurgeRxAbort:
                    EXPECT_EQ(Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
                    break;
                case Racer::kClose:
                    EXPECT_EQ(Major(IRP_MJ_CLOSE), STATUS_SUCCESS);
                    break;
            }
        });
        go.arrive_and_wait();
        IoCancelIrp(read.irp);
        other.join();
        ASSERT_TRUE(Eventually([&] { return read.completions.load() > 0; }));
        EXPECT_EQ(read.completions.load(), 1);
        if (read.status == STATUS_CANCELLED) {
            ++cancelled;
        } else {
            EXPECT_EQ(racer, Racer::kBytesArrive);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.information, 4u);
        }
        ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    }
    if (racer != Racer::kBytesArrive) {
        EXPECT_EQ(cancelled, 200);
    }
    for (const auto& rec : port_->Requests()) {
        EXPECT_NE(rec.status, STATUS_PENDING);
    }
}

std::string RacerName(const ::testing::TestParamInfo<Racer>& info) {
    static const char* const kNames[] = {"Dispatch", "BytesArrive", "PurgeRxAbort", "Close"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Racers, SerialCancelRace,
                         ::testing::Values(Racer::kDispatch, Racer::kBytesArrive,
                                           Racer::kPurgeRxAbort, Racer::kClose),
                         RacerName);

}  // namespace
}  // namespace quor::serial::test
