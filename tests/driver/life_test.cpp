// Whole lives of QUOR devices through the host: several readers, handles, card tracking,
// terminal commands, stop and restart, removals of every kind.
#include <thread>

#include "tests/driver/driver_bench.h"

namespace quor::test {
namespace {

using DriverLifeWhole = DriverBench;

TEST_F(DriverLifeWhole, UnitsAreTheSmallestFreeNumbers) {
    Slot& a = NewSlot();
    Slot& b = NewSlot();
    khost::Handle ha = Ready(a);
    khost::Handle hb = Ready(b);
    EXPECT_EQ(Unit(ha), 0u);
    EXPECT_EQ(Unit(hb), 1u);
    EXPECT_EQ(host_->Close(ha), STATUS_SUCCESS);
    EXPECT_EQ(host_->Remove(a.Pdo()), STATUS_SUCCESS);
    Slot& c = NewSlot();
    khost::Handle hc = Ready(c);
    EXPECT_EQ(Unit(hc), 0u);
    EXPECT_EQ(Unit(hb), 1u);
    host_->Close(hb);
    host_->Close(hc);
}

TEST_F(DriverLifeWhole, PowerProtocolTransmitAndTerminalCommand) {
    Slot& s = NewSlot(true);
    khost::Handle h = Ready(s);
    std::vector<UCHAR> out;
    ULONG_PTR info = 0;
    ASSERT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, &out, &info),
              STATUS_SUCCESS);
    EXPECT_GT(info, 4u);
    ASSERT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4, &out),
              STATUS_SUCCESS);
    EXPECT_EQ(AsUlong(out), SCARD_PROTOCOL_T1);
    std::vector<UCHAR> apdu = Ulong(SCARD_PROTOCOL_T1);
    for (UCHAR b : Ulong(8)) apdu.push_back(b);
    for (UCHAR b : Hex("00 A4 00 0C 02 3F 00")) apdu.push_back(b);
    ASSERT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_TRANSMIT, apdu, 64, &out), STATUS_SUCCESS);
    ASSERT_EQ(out.size(), 10u);
    EXPECT_EQ(out[8], 0x90);

    ASSERT_EQ(host_->Ioctl(h, IOCTL_TERMINAL_COMMAND, Hex("20 13 00 46"), 64, &out),
              STATUS_SUCCESS);
    std::vector<UCHAR> want = Hex("46 0F");
    const std::string id = "DExxxCT198V1.61";
    want.insert(want.end(), id.begin(), id.end());
    want.push_back(0x90);
    want.push_back(0x00);
    EXPECT_EQ(out, want);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
}

TEST_F(DriverLifeWhole, CardTrackingFollowsTheSlot) {
    Slot& s = NewSlot();
    khost::Handle h = Ready(s);
    auto present = Track(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(present->Wait(20));
    s.reader->InsertCard(std::make_shared<quor::sim::T1Card>());
    ASSERT_TRUE(present->Wait(5000));
    EXPECT_EQ(present->Status(), STATUS_SUCCESS);

    auto absent = Track(h, IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_FALSE(absent->Wait(20));
    s.reader->RemoveCard();
    ASSERT_TRUE(absent->Wait(5000));
    EXPECT_EQ(absent->Status(), STATUS_SUCCESS);
    EXPECT_EQ(present->Completions(), 1);
    EXPECT_EQ(absent->Completions(), 1);

    // Cleanup at close releases a request still waiting.
    auto again = Track(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    ASSERT_TRUE(again->Done());
    EXPECT_EQ(again->Status(), STATUS_SUCCESS);
    EXPECT_EQ(again->Completions(), 1);
}

TEST_F(DriverLifeWhole, CreateRefusals) {
    Slot& s = NewSlot();
    khost::Handle h = Ready(s);
    khost::Handle other = nullptr;
    EXPECT_EQ(host_->Open(s.Pdo(), &other), STATUS_ACCESS_DENIED);
    EXPECT_EQ(host_->Open(s.Pdo(), &other, "\\below"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(other, nullptr);
    std::vector<UCHAR> out;
    EXPECT_EQ(Attribute(h, SCARD_ATTR_VENDOR_NAME, &out), STATUS_SUCCESS);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    // Closed, the device takes a new handle; the polling thread starts again.
    ASSERT_EQ(host_->Open(s.Pdo(), &h), STATUS_SUCCESS);
    s.reader->InsertCard(std::make_shared<quor::sim::T1Card>());
    auto present = Track(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_TRUE(present->Wait(5000));
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
}

TEST_F(DriverLifeWhole, UnknownCodeAndUnhandledPnp) {
    Slot& s = NewSlot();
    khost::Handle h = Ready(s);
    std::vector<UCHAR> out;
    ULONG_PTR info = 7;
    EXPECT_EQ(host_->Ioctl(h, SCARD_CTL_CODE(3000), {}, 16, &out, &info), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(info, 0u);

    s.port->ClearRequests();
    host_->SendPnp(s.Pdo(), IRP_MN_QUERY_CAPABILITIES);
    // The polling thread talks to the port meanwhile: only Plug and Play requests count.
    std::vector<UCHAR> pnpMinors;
    for (const auto& r : s.port->Requests()) {
        if (r.major == IRP_MJ_PNP) pnpMinors.push_back(r.minor);
    }
    EXPECT_EQ(pnpMinors, std::vector<UCHAR>{IRP_MN_QUERY_CAPABILITIES});
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
}

TEST_F(DriverLifeWhole, StopAndStartAgain) {
    Slot& s = NewSlot(true);
    khost::Handle h = Ready(s);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    const int closesBefore = s.PortRequests(IRP_MJ_CLOSE);
    EXPECT_EQ(host_->Stop(s.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(s.PortRequests(IRP_MJ_CLOSE), closesBefore + 1);
    EXPECT_FALSE(IoTestInterfaceEnabledFor(s.Pdo()));
    EXPECT_EQ(host_->Open(s.Pdo(), &h), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host_->Start(s.Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(host_->Open(s.Pdo(), &h), STATUS_SUCCESS);
    std::vector<UCHAR> out;
    EXPECT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, &out),
              STATUS_SUCCESS);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
}

// A terminal key input holds the reader until a key comes: a stop and a sleep are refused
// meanwhile.
TEST_F(DriverLifeWhole, QueryStopRefusedWhileARequestRuns) {
    Slot& s = NewSlot();
    PDEVICE_OBJECT fdo = nullptr;
    khost::Handle h = Ready(s, &fdo);
    auto* dx = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    // Slow the clock down so the input's key time-out cannot run out while the test acts.
    kclock::SetScaled(1);
    std::vector<UCHAR> out;
    NTSTATUS inputStatus = STATUS_PENDING;
    std::thread input([&] {
        inputStatus = host_->Ioctl(h, IOCTL_TERMINAL_COMMAND, Hex("20 16 50 02 00"), 64, &out);
    });
    // The count is the driver's, kept under its spin lock.
    auto inside = [dx] {
        KIRQL irql;
        KeAcquireSpinLock(&dx->SpinLock, &irql);
        const LONG n = dx->IoCount;
        KeReleaseSpinLock(&dx->SpinLock, irql);
        return n;
    };
    ASSERT_TRUE(Eventually([&] { return inside() == 1; }));
    EXPECT_EQ(host_->Stop(s.Pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(host_->Sleep(s.Pdo()), STATUS_DEVICE_BUSY);
    s.reader->PressKey(1);
    s.reader->PressKey(quor::sim::kKeyConfirm);
    input.join();
    kclock::SetScaled(1000);
    EXPECT_EQ(inputStatus, STATUS_SUCCESS);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[out.size() - 2], 0x90);
    // The refused query was cancelled: the device still serves requests.
    EXPECT_EQ(Attribute(h, SCARD_ATTR_VENDOR_NAME, &out), STATUS_SUCCESS);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    EXPECT_EQ(host_->Stop(s.Pdo()), STATUS_SUCCESS);
}

// Requests sent to a stopped device wait; a start lets them run, a removal ends them.
struct StoppedCase {
    const char* name;
    bool restart;  // start again; else a surprise removal
    NTSTATUS expected;
};

class DriverLifeStopped : public DriverBench, public ::testing::WithParamInterface<StoppedCase> {};

TEST_P(DriverLifeStopped, WaitingRequestsEnd) {
    Slot& s = NewSlot();
    khost::Handle h = Ready(s);
    ASSERT_EQ(host_->Stop(s.Pdo()), STATUS_SUCCESS);
    constexpr int kRequests = 2;  // the first waits for the start, the second for the first
    std::vector<NTSTATUS> results(kRequests, STATUS_PENDING);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRequests; ++i) {
        threads.emplace_back([&, i] {
            std::vector<UCHAR> out;
            results[i] = Attribute(h, SCARD_ATTR_VENDOR_NAME, &out);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (NTSTATUS r : results) EXPECT_EQ(r, STATUS_PENDING);
    if (GetParam().restart) {
        EXPECT_EQ(host_->Start(s.Pdo()), STATUS_SUCCESS);
    } else {
        host_->SurpriseRemove(s.Pdo());
    }
    for (auto& t : threads) t.join();
    for (NTSTATUS r : results) EXPECT_EQ(r, GetParam().expected);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    if (!GetParam().restart) {
        EXPECT_TRUE(host_->Removed(s.Pdo()));
        EXPECT_EQ(ExtraDevices(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverLifeStopped,
                         ::testing::Values(StoppedCase{"Start", true, STATUS_SUCCESS},
                                           StoppedCase{"SurpriseRemoval", false,
                                                       STATUS_DELETE_PENDING}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverLifeWhole, SurpriseRemovalWithTrackingPending) {
    Slot& s = NewSlot();
    khost::Handle h = Ready(s);
    auto present = Track(h, IOCTL_SMARTCARD_IS_PRESENT);
    EXPECT_FALSE(present->Wait(10));
    host_->SurpriseRemove(s.Pdo());
    EXPECT_FALSE(host_->Removed(s.Pdo()));
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    ASSERT_TRUE(present->Done());
    EXPECT_EQ(present->Completions(), 1);
    EXPECT_TRUE(host_->Removed(s.Pdo()));
    EXPECT_EQ(ExtraDevices(), 0);
}

TEST_F(DriverLifeWhole, CancelledRemovalLeavesAStartedDeviceReachable) {
    Slot& s = NewSlot();
    khost::Handle h = Ready(s);
    EXPECT_EQ(host_->Remove(s.Pdo()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(IoTestInterfaceEnabledFor(s.Pdo()));
    std::vector<UCHAR> out;
    EXPECT_EQ(Attribute(h, SCARD_ATTR_VENDOR_NAME, &out), STATUS_SUCCESS);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    ASSERT_EQ(host_->Open(s.Pdo(), &h), STATUS_SUCCESS);
    EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    // A stopped device stays unreachable after a cancelled removal.
    EXPECT_EQ(host_->Stop(s.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(host_->SendPnp(s.Pdo(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(host_->SendPnp(s.Pdo(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(IoTestInterfaceEnabledFor(s.Pdo()));
}

}  // namespace
}  // namespace quor::test
