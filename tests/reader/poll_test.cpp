// The polling thread: its life cycle, card changes reported to a waiting application, the
// recovery of a reader that stops answering, and the locks it holds (and does not hold).
#include "link/command.h"
#include "sim/processor_card.h"
#include "terminal/terminal.h"
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

// A stop request that comes while the thread is inside a poll is seen after it; a start in
// between withdraws it, and the thread goes on.
TEST_F(ReaderPoll, StartWithdrawsAStopNotYetSeen) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    PREADER_EXTENSION r = ext_->ReaderExtension;
    // Holding ReaderMutex keeps the thread inside its first poll.
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    // Once it holds DeviceControlMutex it is past the stop check of its mutex wait.
    ASSERT_TRUE(Eventually([&] { return KeReadStateMutex(&r->DeviceControlMutex) <= 0; }));
    KeSetEvent(&r->PollThreadStop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(StartPollThread(ext_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(KeReadStateEvent(&r->PollThreadStop), 0);
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    EXPECT_EQ(NthPause(0).duration, POLL_PAUSE);  // polled, and pauses instead of ending
    FinishPendingPause();
    EXPECT_EQ(NthPause(1).duration, POLL_PAUSE);  // polled again and went on
    EXPECT_TRUE(Running());
    EXPECT_EQ(Polls(), 2u);
    StopDriven(ext_);
    EXPECT_FALSE(Running());
}

// A stop ends the pause between polls at once: closing the device does not wait out 1.8 s.
TEST_F(ReaderPoll, StopEndsThePauseAtOnce) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    const auto pause = NthPause(0);
    EXPECT_EQ(pause.duration, POLL_PAUSE);
    EXPECT_EQ(pause.kind, kclock::PauseKind::Wait);
    const kclock::Ticks before = kclock::Now();
    EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);  // no clock advance needed
    EXPECT_EQ(kclock::Now(), before);
    EXPECT_FALSE(Running());
    EXPECT_EQ(Polls(), 1u);
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

Bytes Ulong(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The vendor codes as the device-control dispatch serves them: under DeviceControlMutex.
NTSTATUS DispatchVendorOrLibrary(PDEVICE_OBJECT device, PIRP irp) {
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_READER_RAW_WRITE && code != IOCTL_READER_RAW_READ) {
        return DispatchToLibrary(device, irp);
    }
    auto* dx = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    PKMUTEX mutex = &dx->SmartcardExtension.ReaderExtension->DeviceControlMutex;
    KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = TerminalDeviceControl(&dx->SmartcardExtension, irp, code);
    KeReleaseMutex(mutex, FALSE);
    return status;
}

// A raw write's reply waits for its raw read however many poll periods pass: the polls skip
// meanwhile (and do not count as failures), until the read takes the reply or the hold ends.
TEST_F(ReaderPoll, RawReplyWaitsForItsRead) {
    Make(ManualClock());
    kclock::SetNewThreadsDriven(true);
    rig_->Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchVendorOrLibrary;
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    size_t pauses = 0;
    EXPECT_EQ(NthPause(pauses++).duration, POLL_PAUSE);
    EXPECT_EQ(Polls(), 1u);

    auto write = Send(*rig_, IOCTL_READER_RAW_WRITE, Hex("09 00 09"));
    EXPECT_EQ(write->iosb.Status, STATUS_SUCCESS);
    for (int period = 0; period < 2; ++period) {  // 3.6 s of polling periods
        FinishPendingPause();
        EXPECT_EQ(NthPause(pauses++).duration, POLL_PAUSE);
    }
    EXPECT_EQ(Polls(), 1u);
    EXPECT_EQ(ext_->ReaderExtension->PollErrorCount, 0);
    auto read = Send(*rig_, IOCTL_READER_RAW_READ, {}, 16);
    EXPECT_EQ(read->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(read->out.begin(), read->out.begin() + long(read->iosb.Information)),
              Hex("02 0A 1F 58"));
    FinishPendingPause();
    EXPECT_EQ(NthPause(pauses++).duration, POLL_PAUSE);
    EXPECT_EQ(Polls(), 2u);  // the read ended the hold

    // A reply nobody reads holds the reader for RAW_REPLY_HOLD only.
    write = Send(*rig_, IOCTL_READER_RAW_WRITE, Hex("09 00 09"));
    EXPECT_TRUE(RawReplyOutstanding(ext_));
    while (Polls() == 2u) {
        FinishPendingPause();
        ASSERT_EQ(NthPause(pauses++).duration, POLL_PAUSE);
        ASSERT_LE(pauses, 10u) << "the polls never came back";
    }
    EXPECT_EQ(pauses, 7u);  // two skipped periods, then the poll 5.4 s after the write
    EXPECT_FALSE(RawReplyOutstanding(ext_));
    StopDriven(ext_);
}

// The recovery after three failed polls powers a card in use up again as a cold reset does:
// a T=1 card answers APDUs again, and a card whose protocol had been negotiated comes back
// negotiable, so its application selects again instead of failing.
TEST_F(ReaderPoll, RecoveryRestoresACardInUse) {
    const struct {
        const char* name;
        std::shared_ptr<quor::sim::Card> card;
        ULONG negotiate;  // protocol selected before the reader goes mute (0: none)
        ULONG stateAfter;
        ULONG selectedAfter;
    } rows[] = {
        {"T=1 card", std::make_shared<quor::sim::T1Card>(), 0, SCARD_SPECIFIC, SCARD_PROTOCOL_T1},
        {"negotiated dual card", std::make_shared<quor::sim::DualCard>(), SCARD_PROTOCOL_T1,
         SCARD_NEGOTIABLE, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Make();
        ext_->ReaderFunction[RDF_CARD_POWER] = ReaderPower;
        ext_->ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
        ext_->ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
        ext_->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        ext_->ReaderCapabilities.MaxIFSD = 254;
        rig_->Reader().InsertCard(row.card);
        ASSERT_EQ(Send(*rig_, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64)->iosb.Status,
                  STATUS_SUCCESS);
        if (row.negotiate != 0) {
            ASSERT_EQ(
                Send(*rig_, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(row.negotiate), 4)->iosb.Status,
                STATUS_SUCCESS);
        }
        const ULONG protocol = ext_->CardCapabilities.Protocol.Selected;
        const Bytes select = Cat(Cat(Ulong(protocol), Ulong(8)), Hex("00 A4 00 0C 02 3F 00"));
        ASSERT_EQ(Send(*rig_, IOCTL_SMARTCARD_TRANSMIT, select, 64)->iosb.Status, STATUS_SUCCESS);

        rig_->Reader().InjectFault(kFrameGetStatus, Fault::NoReply().Times(3));
        ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
        ASSERT_TRUE(Eventually([&] { return CountFrames(*rig_, kFrameReset) == 1; }));
        ASSERT_TRUE(Eventually([&] { return Polls() >= 6; }));  // polling again after it
        EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);

        EXPECT_EQ(ext_->ReaderCapabilities.CurrentState, row.stateAfter);
        EXPECT_EQ(ext_->CardCapabilities.Protocol.Selected, row.selectedAfter);
        EXPECT_TRUE(rig_->Reader().CardPowered());
        auto again = Send(*rig_, IOCTL_SMARTCARD_TRANSMIT, select, 64);
        if (row.stateAfter == SCARD_SPECIFIC) {
            EXPECT_EQ(again->iosb.Status, STATUS_SUCCESS);
            EXPECT_EQ(Bytes(again->out.begin() + 8, again->out.begin() + 10), Hex("90 00"));
        } else {
            EXPECT_EQ(again->iosb.Status, STATUS_INVALID_DEVICE_STATE);  // select again first
        }
        PsTestWaitForSystemThreads();
        rig_.reset();
    }
}

// A reader that answers nothing, not even after the recovery's reset, leaves the card state
// unknown, and an application waiting for the card to leave is told.
TEST_F(ReaderPoll, ReaderThatStaysSilentMakesTheStateUnknown) {
    Make();
    rig_->Reader().InsertCard(std::make_shared<quor::sim::AtrCard>());
    ASSERT_EQ(ReaderCommand(ext_, RC_CARD_ON), STATUS_SUCCESS);
    ext_->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext_->ReaderExtension->PreviousCardState = SCARD_SPECIFIC;
    auto absent = Send(*rig_, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_EQ(absent->returned, STATUS_PENDING);
    rig_->Reader().SetSilent(true);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    ASSERT_TRUE(absent->WaitCompleted());
    EXPECT_EQ(absent->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(CountFrames(*rig_, kFrameReset), 1u);
    EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);
    EXPECT_EQ(ext_->ReaderCapabilities.CurrentState, ULONG{SCARD_UNKNOWN});
    EXPECT_EQ(ext_->CardCapabilities.ATR.Length, 0);
}

// Stopping the thread while it waits for a silent reader's reply does not wait out the read's
// time-out (seven seconds here, on the real clock).
TEST_F(ReaderPoll, StopCutsASilentPollShort) {
    RigOptions real;
    real.scale = 1;
    Make(real);
    rig_->Reader().SetSilent(true);
    ASSERT_EQ(StartPollThread(ext_), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return Polls() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopPollThread(ext_), STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(ext_->ReaderExtension->PollErrorCount, 0);  // a cut poll is no failure
    EXPECT_EQ(KeReadStateEvent(&ext_->ReaderExtension->IoAbort), 0);
}

}  // namespace
