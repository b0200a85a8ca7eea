// Failures while a QUOR device is added or started: the status, the event-log entry and
// nothing left behind.
#include <cstring>

#include "tests/driver/driver_bench.h"

namespace quor::test {
namespace {

std::string MessageText(NTSTATUS code) {
    for (ULONG i = 0; i < QuorMessageTableSize; ++i) {
        if (QuorMessageTable[i].Code == code) return QuorMessageTable[i].Text;
    }
    return {};
}

struct AddCase {
    const char* name;
    std::function<void()> arm;  // makes one platform call fail
    NTSTATUS status;
    NTSTATUS event;  // 0: none
    const char* text;
};

void Disarm() {
    IoTestFailCreateDevice(0);
    IoTestFailAttach(false);
    IoTestFailIrpAllocation(false);
    ExTestSetAllocationFailureHook(nullptr);
    SmartcardTestFailInitialize(0, false);
    IoTestFailInterfaceRegistration(0);
}

class DriverLifeAddFailure : public DriverBench, public ::testing::WithParamInterface<AddCase> {
  protected:
    void TearDown() override {
        Disarm();
        DriverBench::TearDown();
    }
};

TEST_P(DriverLifeAddFailure, LogsAndLeavesNothing) {
    const AddCase& c = GetParam();
    Slot& s = NewSlot();
    auto interfacesOf = [&] {
        int n = 0;
        for (const auto& i : IoTestDeviceInterfaces()) n += i.physicalDevice == s.Pdo() ? 1 : 0;
        return n;
    };
    const int interfaces = interfacesOf();
    c.arm();
    PDEVICE_OBJECT fdo = nullptr;
    EXPECT_EQ(Add(s, &fdo), c.status);
    Disarm();
    EXPECT_EQ(fdo, nullptr);
    EXPECT_EQ(ExtraDevices(), 0);
    EXPECT_EQ(s.Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(ExTestOutstandingAllocations(READER_EXTENSION_TAG), 0u);
    EXPECT_EQ(ExTestOutstandingAllocations(PoolTag("IoWi")), 0u);
    EXPECT_EQ(interfacesOf(), interfaces);
    auto log = EventLogEntries();
    if (c.event == 0) {
        EXPECT_TRUE(log.empty());
    } else {
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].Code, c.event);
        EXPECT_EQ(log[0].IoObject, static_cast<PVOID>(driver_));
        EXPECT_FALSE(log[0].FromDevice);
        EXPECT_EQ(log[0].DumpData, 0u);
        EXPECT_EQ(log[0].Message, c.text);
        EXPECT_EQ(log[0].Message, MessageText(c.event));
    }
    // The platform healed, the same port takes a device.
    EXPECT_EQ(Add(s), STATUS_SUCCESS);
    EXPECT_EQ(host_->Start(s.Pdo()), STATUS_SUCCESS);
}

auto FailTag(ULONG tag) {
    return [tag] {
        ExTestSetAllocationFailureHook([tag](POOL_TYPE, SIZE_T, ULONG t) { return t == tag; });
    };
}

constexpr char kNoMemory[] = "The system does not have enough memory.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverLifeAddFailure,
    ::testing::Values(
        AddCase{"CreateDevice", [] { IoTestFailCreateDevice(STATUS_INSUFFICIENT_RESOURCES); },
                STATUS_INSUFFICIENT_RESOURCES, QUOR_MSG_CANT_CREATE_DEVICE,
                "A new device cannot be created due to a system call failure.\r\n"},
        AddCase{"ReaderExtension", FailTag(READER_EXTENSION_TAG), STATUS_INSUFFICIENT_RESOURCES,
                QUOR_MSG_NO_MEMORY, kNoMemory},
        AddCase{"SmclibVersion", [] { SmartcardTestFailInitialize(STATUS_UNSUCCESSFUL, true); },
                STATUS_UNSUCCESSFUL, QUOR_MSG_SMCLIB_VERSION,
                "The version of the dependency driver smclib.sys is not compatbile to this "
                "driver.\r\n"},
        AddCase{"SmclibMemory",
                [] { SmartcardTestFailInitialize(STATUS_INSUFFICIENT_RESOURCES, false); },
                STATUS_INSUFFICIENT_RESOURCES, QUOR_MSG_NO_MEMORY, kNoMemory},
        AddCase{"WorkItem", FailTag(PoolTag("IoWi")), STATUS_INSUFFICIENT_RESOURCES,
                QUOR_MSG_NO_MEMORY, kNoMemory},
        AddCase{"Attach", [] { IoTestFailAttach(true); }, STATUS_UNSUCCESSFUL,
                QUOR_MSG_CANT_CONNECT_TO_ASSIGNED_PORT,
                "Internal error: Cannot connect to assigned serial port.\r\n"},
        AddCase{"Interface", [] { IoTestFailInterfaceRegistration(STATUS_INVALID_PARAMETER); },
                STATUS_INVALID_PARAMETER, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct StartCase {
    const char* name;
    std::function<void(Slot&)> arm;
    NTSTATUS status;
    bool started;
    int closesAtStop;  // close requests the port sees from the start to the removal
    NTSTATUS event;    // 0: none
};

class DriverLifeStartFailure : public DriverBench, public ::testing::WithParamInterface<StartCase> {
  protected:
    void TearDown() override {
        Disarm();
        DriverBench::TearDown();
    }
};

TEST_P(DriverLifeStartFailure, StatusEventAndTeardown) {
    const StartCase& c = GetParam();
    Slot& s = NewSlot(true);
    ASSERT_EQ(Add(s), STATUS_SUCCESS);
    c.arm(s);
    EXPECT_EQ(host_->Start(s.Pdo()), c.status);
    s.port->SetCreateStatus(0);
    s.port->ClearFaults();
    EXPECT_EQ(IoTestInterfaceEnabledFor(s.Pdo()), c.started);
    auto log = EventLogEntries();
    if (c.event == 0) {
        EXPECT_TRUE(log.empty());
    } else {
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].Code, c.event);
        EXPECT_TRUE(log[0].FromDevice);
        EXPECT_EQ(log[0].DumpData, static_cast<ULONG>(STATUS_SHARED_IRQ_BUSY));
        EXPECT_EQ(log[0].Message, MessageText(c.event));
        EXPECT_EQ(log[0].Message,
                  "The current serial port cannot be used because it uses a shared interrupt "
                  "which is already in use.\r\nPlease connect the smart card reader to a "
                  "different serial port.\r\n");
    }
    if (c.started) {
        khost::Handle h = nullptr;
        ASSERT_EQ(host_->Open(s.Pdo(), &h), STATUS_SUCCESS);
        std::vector<UCHAR> out;
        EXPECT_EQ(host_->Ioctl(h, IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64, &out),
                  STATUS_SUCCESS);
        EXPECT_EQ(host_->Close(h), STATUS_SUCCESS);
    }
    EXPECT_EQ(host_->Remove(s.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(s.PortRequests(IRP_MJ_CLOSE), c.closesAtStop);
    EXPECT_EQ(ExtraDevices(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, DriverLifeStartFailure,
    ::testing::Values(StartCase{"SharedIrqBusy",
                                [](Slot& s) { s.port->SetCreateStatus(STATUS_SHARED_IRQ_BUSY); },
                                STATUS_SHARED_IRQ_BUSY, false, 0, QUOR_MSG_SHARED_IRQ_BUSY},
                      StartCase{"AccessDenied",
                                [](Slot& s) { s.port->SetCreateStatus(STATUS_ACCESS_DENIED); },
                                STATUS_SUCCESS, true, 0, 0},
                      StartCase{"Configuration",
                                [](Slot& s) {
                                    s.port->AddFault(quor::serial::PortFault::FailIoctl(
                                        IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER));
                                },
                                STATUS_INVALID_PARAMETER, false, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

using DriverLifeStart = DriverBench;

// The start's own request cannot be had: nothing reaches the port and nothing is logged.
TEST_F(DriverLifeStart, NoIrpForThePortOpen) {
    Slot& s = NewSlot();
    PDEVICE_OBJECT fdo = nullptr;
    ASSERT_EQ(Add(s, &fdo), STATUS_SUCCESS);
    IoTestFailIrpAllocation(true);
    const NTSTATUS status = StartDevice(fdo);
    IoTestFailIrpAllocation(false);
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    EXPECT_TRUE(s.port->Requests().empty());
    EXPECT_TRUE(EventLogEntries().empty());
    EXPECT_FALSE(IoTestInterfaceEnabledFor(s.Pdo()));
    EXPECT_EQ(host_->Remove(s.Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(s.PortRequests(IRP_MJ_CLOSE), 0);
}

}  // namespace
}  // namespace quor::test
