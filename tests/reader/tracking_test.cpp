// Card tracking: the waiting request is completed exactly once, by whichever of a card change,
// a cleanup and a cancellation comes first; and the vendor callback.
#include <latch>

#include "tests/reader/reader_bench.h"

using namespace quor::test;

namespace {

class ReaderTracking : public ::testing::Test {
  protected:
    ReaderTracking() : rig_(ManualClock()) {
        SetUpAsCreated(rig_);
        ext_ = rig_.Ext();
        ext_->ReaderCapabilities.CurrentState = SCARD_ABSENT;
    }
    ~ReaderTracking() override {
        CompleteCardTracking(ext_);
        EXPECT_EQ(IoTestLiveIrps(), irps_);
    }
    PIRP Parked() { return ext_->OsData->NotificationIrp; }

    LONG irps_ = IoTestLiveIrps();
    ReaderRig rig_;
    PSMARTCARD_EXTENSION ext_;
};

// The I/O manager marks the request cancelled before the driver has set its cancel routine.
NTSTATUS CancelThenTrack(PSMARTCARD_EXTENSION ext) {
    EXPECT_FALSE(IoCancelIrp(ext->OsData->NotificationIrp));
    return ReaderCardTracking(ext);
}

struct EndRow {
    const char* name;
    PREADER_FUNCTION tracking;
    bool cancel;  // else a card change
    NTSTATUS status;
};

TEST_F(ReaderTracking, PendingRequestEndsOnce) {
    const EndRow rows[] = {
        {"cancelled while pending", ReaderCardTracking, true, STATUS_CANCELLED},
        {"card change", ReaderCardTracking, false, STATUS_SUCCESS},
        {"cancelled before tracking", CancelThenTrack, false, STATUS_CANCELLED},
    };
    for (const EndRow& row : rows) {
        SCOPED_TRACE(row.name);
        ext_->ReaderFunction[RDF_CARD_TRACKING] = row.tracking;
        auto io = Send(rig_, IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_EQ(io->returned, STATUS_PENDING);
        ASSERT_NE(Parked(), nullptr);
        EXPECT_FALSE(io->Completed());
        if (row.cancel) {
            EXPECT_TRUE(IoCancelIrp(Parked()));
        } else {
            CompleteCardTracking(ext_);
        }
        ASSERT_TRUE(io->Completed());
        EXPECT_EQ(io->iosb.Status, row.status);
        EXPECT_EQ(io->iosb.Information, 0u);
        EXPECT_EQ(Parked(), nullptr);
        CompleteCardTracking(ext_);
        EXPECT_EQ(io->completions, 1);
    }
}

// A cancellation of an earlier request that comes late leaves the request parked since alone.
TEST_F(ReaderTracking, LateCancelOfAnOldRequestLeavesTheNewOne) {
    OwnedTracking old(rig_.Device(), IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(IofCallDriver(rig_.Device(), old.irp), STATUS_PENDING);
    CompleteCardTracking(ext_);
    ASSERT_EQ(old.completions, 1);
    auto current = Send(rig_, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(current->returned, STATUS_PENDING);
    PIRP parked = Parked();

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    old.irp->Cancel = TRUE;
    old.irp->CancelIrql = irql;
    CardTrackingCancel(rig_.Device(), old.irp);  // releases the cancel spin lock

    EXPECT_FALSE(current->Completed());
    EXPECT_EQ(Parked(), parked);
    EXPECT_EQ(old.completions, 1);
    CompleteCardTracking(ext_);
    ASSERT_TRUE(current->Completed());
    EXPECT_EQ(current->iosb.Status, STATUS_SUCCESS);
}

// Cancel, card change and cleanup on three threads, with the request parked before they start
// or while they run; a last cleanup sweeps up a request parked after the others had looked.
class ReaderTrackingRace : public ReaderTracking, public ::testing::WithParamInterface<bool> {};

TEST_P(ReaderTrackingRace, CompletedExactlyOnce) {
    const bool parkInRace = GetParam();
    int cancelled = 0;
    for (int i = 0; i < 200; ++i) {
        OwnedTracking t(rig_.Device(), IOCTL_SMARTCARD_IS_PRESENT);
        if (!parkInRace) {
            ASSERT_EQ(IofCallDriver(rig_.Device(), t.irp), STATUS_PENDING);
        }
        std::latch go(parkInRace ? 4 : 3);
        std::vector<std::thread> threads;
        if (parkInRace) {
            threads.emplace_back([&] {
                go.arrive_and_wait();
                IofCallDriver(rig_.Device(), t.irp);
            });
        }
        threads.emplace_back([&] {
            go.arrive_and_wait();
            IoCancelIrp(t.irp);
        });
        for (int k = 0; k < 2; ++k) {
            threads.emplace_back([&] {
                go.arrive_and_wait();
                CompleteCardTracking(ext_);
            });
        }
        for (auto& th : threads) th.join();
        CompleteCardTracking(ext_);
        ASSERT_EQ(t.completions, 1) << "iteration " << i;
        EXPECT_TRUE(t.status == STATUS_SUCCESS || t.status == STATUS_CANCELLED) << t.status;
        EXPECT_EQ(t.information, 0u);
        EXPECT_EQ(Parked(), nullptr);
        cancelled += t.status == STATUS_CANCELLED;
    }
    RecordProperty("cancelled", cancelled);
}

INSTANTIATE_TEST_SUITE_P(Races, ReaderTrackingRace, ::testing::Bool(), [](const auto& info) {
    return info.param ? "ParkedDuringRace" : "ParkedBefore";
});

TEST_F(ReaderTracking, VendorCallbackAnswersWithItsText) {
    const struct {
        const char* name;
        bool buffer;
        ULONG length;
        NTSTATUS status;
    } rows[] = {
        {"no buffer", false, 32, STATUS_BUFFER_TOO_SMALL},
        {"12 bytes", true, 12, STATUS_BUFFER_TOO_SMALL},
        {"13 bytes", true, 13, STATUS_SUCCESS},
        {"32 bytes", true, 32, STATUS_SUCCESS},
    };
    const std::string text("Vendor IOCTL", 13);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string reply(32, '\xEE');
        ULONG information = 77;
        ext_->IoRequest.ReplyBuffer = row.buffer ? reinterpret_cast<PUCHAR>(reply.data()) : nullptr;
        ext_->IoRequest.ReplyBufferLength = row.length;
        ext_->IoRequest.Information = &information;
        EXPECT_EQ(ReaderVendorIoctl(ext_), row.status);
        const bool ok = row.status == STATUS_SUCCESS;
        EXPECT_EQ(reply, ok ? text + std::string(19, '\xEE') : std::string(32, '\xEE'));
        EXPECT_EQ(information, ok ? 12u : 77u);
    }
    std::memset(&ext_->IoRequest, 0, sizeof(ext_->IoRequest));

    auto io =
        Send(rig_, CTL_CODE(FILE_DEVICE_SMARTCARD, 2048, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 13);
    EXPECT_EQ(io->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(io->iosb.Information, 12u);
    EXPECT_EQ(std::string(io->out.begin(), io->out.begin() + 12), "Vendor IOCTL");
}

}  // namespace
