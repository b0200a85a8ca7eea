// System sleep and wake-up of a started, open QUOR device, with and without a card.
#include <atomic>
#include <thread>

#include "tests/driver/driver_bench.h"

namespace quor::test {
namespace {

// The reset command (RC_RESET_READER) goes over the line as frame 1.
constexpr ULONG kResetFrame = 1;

struct SleepCase {
    const char* name;
    bool cardAtStart;
    bool removeAfterFirstCycle;  // one sleep with the card, then the card leaves
    ULONG tracking;              // the request left waiting across the last sleep
    bool resetOnTheWayDown;
    bool trackingCompletes;
    // The port completes every request from its own thread, the one that also delivers the
    // replies the wake-up's re-identification waits for.
    bool asyncPort = false;
};

class DriverLifePower : public DriverBench, public ::testing::WithParamInterface<SleepCase> {
  protected:
    ULONG State(khost::Handle h) {
        std::vector<UCHAR> out;
        EXPECT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, 4, &out), STATUS_SUCCESS);
        return AsUlong(out);
    }
};

TEST_P(DriverLifePower, SleepAndWake) {
    const SleepCase& c = GetParam();
    Slot& s = NewSlot(c.cardAtStart);
    if (c.asyncPort) s.port->SetCompletion(quor::serial::SerialPort::Completion::Asynchronous);
    khost::Handle h = Ready(s);
    ASSERT_TRUE(Eventually([&] { return (State(h) > SCARD_ABSENT) == c.cardAtStart; }));
    if (c.removeAfterFirstCycle) {
        ASSERT_EQ(host_->Sleep(s.Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(host_->Wake(s.Pdo()), STATUS_SUCCESS);
        s.reader->RemoveCard();
        ASSERT_TRUE(Eventually([&] { return State(h) == SCARD_ABSENT; }));
    }
    auto tracking = Track(h, c.tracking);
    EXPECT_FALSE(tracking->Wait(20));

    s.reader->ClearLogs();
    ASSERT_EQ(host_->Sleep(s.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(s.FramesWithCode(kResetFrame) > 0, c.resetOnTheWayDown);
    EXPECT_FALSE(tracking->Done());
    ASSERT_EQ(host_->Wake(s.Pdo()), STATUS_SUCCESS);
    if (c.trackingCompletes) {
        ASSERT_TRUE(tracking->Wait(2000));
        EXPECT_EQ(tracking->Status(), STATUS_SUCCESS);
    } else {
        EXPECT_FALSE(tracking->Wait(50));
    }
    // Awake again, the reader serves requests.
    std::vector<UCHAR> out;
    EXPECT_EQ(
        host_->Ioctl(h, IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 32, &out),
        STATUS_SUCCESS);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    EXPECT_EQ(tracking->Completions(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverLifePower,
    ::testing::Values(
        SleepCase{"NoCard", false, false, IOCTL_SMARTCARD_IS_PRESENT, false, false},
        SleepCase{"Card", true, false, IOCTL_SMARTCARD_IS_ABSENT, true, true},
        SleepCase{"CardGoneSinceLastSleep", true, true, IOCTL_SMARTCARD_IS_PRESENT, false, false},
        SleepCase{"NoCardAsyncPort", false, false, IOCTL_SMARTCARD_IS_PRESENT, false, false, true},
        SleepCase{"CardAsyncPort", true, false, IOCTL_SMARTCARD_IS_ABSENT, true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A wake-up does not admit requests to a device that is stopped: they wait for its start.
TEST_F(DriverBench, WakeLeavesAStoppedDeviceStopped) {
    Slot& s = NewSlot(true);
    khost::Handle h = Ready(s);
    ASSERT_EQ(host_->Stop(s.Pdo()), STATUS_SUCCESS);
    // The request waits inside the dispatch, in the sending thread, until the device starts.
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    std::vector<UCHAR> answer;
    std::thread sender([&] {
        status = host_->Ioctl(h, IOCTL_TERMINAL_COMMAND, std::vector<UCHAR>{0x20, 0x13, 0x00, 0x46},
                              64, &answer);
        done = true;
    });
    ASSERT_EQ(host_->Sleep(s.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(host_->Wake(s.Pdo()), STATUS_SUCCESS);
    EXPECT_FALSE(Eventually([&] { return done.load(); }, 50)) << "ran against the closed port";
    ASSERT_EQ(host_->Start(s.Pdo()), STATUS_SUCCESS);
    sender.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(std::vector<UCHAR>(answer.end() - 2, answer.end()), (std::vector<UCHAR>{0x90, 0x00}));
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
}

}  // namespace
}  // namespace quor::test
