// The polling thread: its life cycle, card changes reported to a waiting application, the
// recovery of a reader that stops answering, and the locks it holds (and does not hold).
#include "link/command.h"
#include "tests/reader/reader_bench.h"

using quor::sim::Fault;
using namespace quor::test;

namespace {

class ReaderPoll : public ::testing::Test {
  protected:
    void Make(RigOptions options = {}) {
        rig_ = std::make_unique<ReaderRig>(options);
        SetUpAsCreated(*rig_);
        ext_ = rig_->Ext();
    }
    void TearDown() override {
        if (rig_) {
            StopDriven(ext_);
            CompleteCardTracking(ext_);
            PsTestWaitForSystemThreads();
            rig_.reset();
        }
        EXPECT_EQ(PsTestRunningSystemThreads(), 0u);
        EXPECT_EQ(IoTestLiveIrps(), irps_);
    }
    bool Running() {
        return InterlockedCompareExchangePointer(&ext_->ReaderExtension->PollThreadHandle, nullptr,
                                                 nullptr) != nullptr;
    }
    size_t Polls() { return CountFrames(*rig_, kFrameGetStatus); }

    LONG irps_ = IoTestLiveIrps();
    std::unique_ptr<ReaderRig> rig_;
    PSMARTCARD_EXTENSION ext_ = nullptr;
};

TEST_F(ReaderPoll, StartsPollsAndStopsAgain) {
    Make();
    PsTestFailThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StartPollThread(ext_), STATUS_SUCCESS);  // no thread, no polling, still a success
    PsTestFailThreadCreation(0);
    EXPECT_FALSE(Running());
    EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);  // nothing to stop
    for (int round = 0; round < 3; ++round) {
        const size_t before = Polls();
        ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
        EXPECT_TRUE(Running());
        EXPECT_EQ(StartPollThread(ext_), STATUS_DEVICE_BUSY);
        EXPECT_TRUE(Eventually([&] { return Polls() >= before + 3; }));
        EXPECT_EQ(PsTestRunningSystemThreads(), 1u);
        EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);
        EXPECT_FALSE(Running());
        const size_t after = Polls();
        PsTestWaitForSystemThreads();
        EXPECT_EQ(PsTestRunningSystemThreads(), 0u);
        EXPECT_EQ(Polls(), after);
    }
}

TEST_F(ReaderPoll, StartWithdrawsAStopNotYetSeen) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    EXPECT_EQ(NthPause(0).duration, POLL_PAUSE);  // in the pause after the first poll
    KeSetEvent(&ext_->ReaderExtension->PollThreadStop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(StartPollThread(ext_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(KeReadStateEvent(&ext_->ReaderExtension->PollThreadStop), 0);
    FinishPendingPause();
    EXPECT_EQ(NthPause(1).duration, POLL_PAUSE);  // polled again and went on
    EXPECT_TRUE(Running());
    EXPECT_EQ(Polls(), 2u);
    StopDriven(ext_);
    EXPECT_FALSE(Running());
}

TEST_F(ReaderPoll, CardChangesCompleteTheWaitingRequest) {
    Make();
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    auto present = Send(*rig_, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(present->returned, STATUS_PENDING);
    EXPECT_TRUE(Eventually([&] { return Polls() >= 3; }));
    EXPECT_FALSE(present->Completed());
    rig_->Reader().InsertCard(std::make_shared<quor::sim::AtrCard>());
    ASSERT_TRUE(present->WaitCompleted());
    EXPECT_EQ(present->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(CardState(*rig_), ULONG{SCARD_SWALLOWED});

    auto absent = Send(*rig_, IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(absent->returned, STATUS_PENDING);
    rig_->Reader().RemoveCard();
    ASSERT_TRUE(absent->WaitCompleted());
    EXPECT_EQ(absent->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(CardState(*rig_), ULONG{SCARD_ABSENT});
    EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);
    EXPECT_EQ(present->completions + absent->completions, 2);
}

// Three failed polls in a row reset the reader once (the reset's three 1.5 s pauses), and the
// count starts again afterwards.
TEST_F(ReaderPoll, ThreeSilentPollsResetTheReaderOnce) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    rig_->Reader().SetSilent(true);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    const LONGLONG P = POLL_PAUSE, I = IDENTIFY_PAUSE;
    const LONGLONG expected[] = {P, P, I, I, I, P, P, P};
    for (size_t i = 0; i < std::size(expected); ++i) {
        const auto pause = NthPause(i);
        EXPECT_EQ(pause.duration, expected[i]) << i;
        if (i + 1 < std::size(expected)) kclock::Advance(pause.duration);
    }
    EXPECT_EQ(CountFrames(*rig_, kFrameReset), 1u);
    EXPECT_EQ(ext_->ReaderExtension->PollErrorCount, 2);
    rig_->Reader().SetSilent(false);
    StopDriven(ext_);
    EXPECT_EQ(CountFrames(*rig_, kFrameReset), 1u);
}

TEST_F(ReaderPoll, FailedPollsInARow) {
    const struct {
        int failures;
        size_t resets;
    } rows[] = {{1, 0}, {2, 0}, {3, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failures);
        Make();
        rig_->Reader().InjectFault(kFrameGetStatus, Fault::NoReply().Times(row.failures));
        ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
        EXPECT_TRUE(Eventually([&] { return Polls() >= size_t(row.failures) + 5; }));
        EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);
        EXPECT_EQ(CountFrames(*rig_, kFrameReset), row.resets);
        EXPECT_EQ(ext_->ReaderExtension->PollErrorCount, 0);
        PsTestWaitForSystemThreads();
        rig_.reset();
    }
}

// After a recovery reset a card that was in use is powered again.
TEST_F(ReaderPoll, RecoveryPowersASpecificCardAgain) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    auto card = std::make_shared<quor::sim::AtrCard>();
    rig_->Reader().InsertCard(card);
    ASSERT_EQ(ReaderCommand(ext_, RC_CARD_ON), STATUS_SUCCESS);
    ext_->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext_->ReaderExtension->PreviousCardState = SCARD_SPECIFIC;
    ext_->ReaderExtension->PollErrorCount = 2;
    rig_->Reader().InjectFault(kFrameGetStatus, Fault::NoReply());
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    for (size_t i = 0; i < 3; ++i) kclock::Advance(NthPause(i).duration);
    EXPECT_EQ(NthPause(3).duration, POLL_PAUSE);
    EXPECT_EQ(card->PowerOnCount(), 2);
    EXPECT_TRUE(rig_->Reader().CardPowered());
    StopDriven(ext_);
}

// Between polls the thread holds no lock: a request can take both mutexes meanwhile.
TEST_F(ReaderPoll, PausesWithNoLockHeld) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(NthPause(i).duration, POLL_PAUSE);
        std::thread request([&] {
            LARGE_INTEGER now{};
            PREADER_EXTENSION r = ext_->ReaderExtension;
            ASSERT_EQ(
                KeWaitForSingleObject(&r->DeviceControlMutex, Executive, KernelMode, FALSE, &now),
                STATUS_SUCCESS);
            EXPECT_EQ(KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, &now),
                      STATUS_SUCCESS);
            KeReleaseMutex(&r->ReaderMutex, FALSE);
            KeReleaseMutex(&r->DeviceControlMutex, FALSE);
        });
        request.join();
        FinishPendingPause();
    }
    StopDriven(ext_);
}

// A request that waits for the reader to start holds DeviceControlMutex for as long as that
// takes: no poll runs meanwhile, and the thread still ends on a stop request.
TEST_F(ReaderPoll, StopsWhileARequestHoldsTheMutex) {
    Make();
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return Polls() >= 2; }));
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    std::atomic<bool> holding{false};
    std::thread request([&] {
        KeWaitForSingleObject(&ext_->ReaderExtension->DeviceControlMutex, Executive, KernelMode,
                              FALSE, nullptr);
        holding = true;
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        KeReleaseMutex(&ext_->ReaderExtension->DeviceControlMutex, FALSE);
    });
    ASSERT_TRUE(Eventually([&] { return holding.load(); }));
    const size_t polls = Polls();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // 30 s of scaled time
    EXPECT_EQ(Polls(), polls);

    std::atomic<bool> stopped{false};
    std::thread closer([&] {
        StopPollThread(ext_);
        stopped = true;
    });
    EXPECT_TRUE(Eventually([&] { return stopped.load(); }));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    request.join();
    closer.join();
    EXPECT_EQ(Polls(), polls);
    EXPECT_FALSE(Running());
}

}  // namespace
