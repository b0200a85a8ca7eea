#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/smclib/smclib.h"
#include "tests/kernel/kernel_test_env.h"

namespace quor::kernel_test {
namespace {

using smclib_base_Init = KernelTest;
using smclib_base_RemoveLock = KernelTest;
using smclib_base_LogError = KernelTest;

constexpr ULONG kPnp = RemoveLockTag("PnP ");
constexpr ULONG kIoct = RemoveLockTag("Ioct");

NTSTATUS Acquire(SMARTCARD_EXTENSION& ext, ULONG tag) {
    return SmartcardAcquireRemoveLockWithTag(&ext, tag);
}

TEST_F(smclib_base_Init, CreatesOsDataAndTwoBuffersThatExitFrees) {
    const SIZE_T pool = ExTestOutstandingAllocations(0);
    SMARTCARD_EXTENSION ext{};
    ext.Version = SMCLIB_VERSION;
    ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
    ASSERT_NE(ext.OsData, nullptr);
    for (SMARTCARD_REQUEST* r : {&ext.SmartcardRequest, &ext.SmartcardReply}) {
        ASSERT_NE(r->Buffer, nullptr);
        EXPECT_EQ(r->BufferSize, MIN_BUFFER_SIZE);
        EXPECT_EQ(r->BufferLength, 0u);
        r->Buffer[MIN_BUFFER_SIZE - 1] = 0x5A;  // the whole size is usable
    }
    EXPECT_NE(ext.SmartcardRequest.Buffer, ext.SmartcardReply.Buffer);
    EXPECT_EQ(ExTestOutstandingAllocations(0), pool + 3);
    EXPECT_EQ(Acquire(ext, kIoct), STATUS_SUCCESS);
    SmartcardReleaseRemoveLockWithTag(&ext, kIoct);

    SmartcardExit(&ext);
    EXPECT_EQ(ext.OsData, nullptr);
    EXPECT_EQ(ext.SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(ext.SmartcardReply.Buffer, nullptr);
    EXPECT_EQ(ExTestOutstandingAllocations(0), pool);
}

// A failed add still runs the remove path (release-and-wait with no hold) and SmartcardExit.
TEST_F(smclib_base_Init, FailedInitializeLeavesWhatExitFrees) {
    struct Case {
        const char* name;
        std::function<void()> arm;
        ULONG version;
        NTSTATUS status;
        bool osData;
    };
    int allocations = 0;
    const Case cases[] = {
        {"injected before OsData",
         [] { SmartcardTestFailInitialize(STATUS_INSUFFICIENT_RESOURCES, false); }, SMCLIB_VERSION,
         STATUS_INSUFFICIENT_RESOURCES, false},
        {"injected after OsData", [] { SmartcardTestFailInitialize(STATUS_UNSUCCESSFUL, true); },
         SMCLIB_VERSION, STATUS_UNSUCCESSFUL, true},
        {"record version too old", [] {}, SMCLIB_VERSION_REQUIRED - 1, STATUS_UNSUCCESSFUL, true},
        {"second buffer allocation fails",
         [&] {
             allocations = 0;
             ExTestSetAllocationFailureHook(
                 [&](POOL_TYPE, SIZE_T, ULONG) { return ++allocations == 3; });
         },
         SMCLIB_VERSION, STATUS_INSUFFICIENT_RESOURCES, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SIZE_T pool = ExTestOutstandingAllocations(0);
        SMARTCARD_EXTENSION ext{};
        ext.Version = c.version;
        c.arm();
        EXPECT_EQ(SmartcardInitialize(&ext), c.status);
        SmartcardTestFailInitialize(0, false);
        ExTestSetAllocationFailureHook(nullptr);
        EXPECT_EQ(ext.OsData != nullptr, c.osData);
        SmartcardReleaseRemoveLockAndWait(&ext);  // returns at once: nobody holds the lock
        EXPECT_EQ(Acquire(ext, kPnp), STATUS_DELETE_PENDING);
        SmartcardExit(&ext);
        EXPECT_EQ(ExTestOutstandingAllocations(0), pool);
    }
}

// A remover thread takes its holds and calls SmartcardReleaseRemoveLockAndWait; the test
// thread holds and releases the others and checks the wait ends exactly with the last one.
TEST_F(smclib_base_RemoveLock, ReleaseAndWaitReturnsWhenTheLastOtherHoldIsGone) {
    struct Case {
        const char* name;
        std::vector<ULONG> testHolds;     // taken by the test thread before the removal
        std::vector<ULONG> removerHolds;  // taken by the remover, oldest first
        std::vector<ULONG> releases;      // released by the test thread while the remover waits
    };
    const Case cases[] = {
        {"another thread holds Ioct", {kIoct}, {kPnp}, {kIoct}},
        {"remover holds none", {kIoct}, {}, {kIoct}},
        {"two holds elsewhere", {kIoct, kIoct}, {kPnp}, {kIoct, kIoct}},
        // An older request of the remover's thread is still in flight and finishes elsewhere.
        {"remover's older hold finished elsewhere", {}, {kIoct, kPnp}, {kIoct}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SMARTCARD_EXTENSION ext{};
        ext.Version = SMCLIB_VERSION;
        ASSERT_EQ(SmartcardInitialize(&ext), STATUS_SUCCESS);
        for (ULONG tag : c.testHolds) ASSERT_EQ(Acquire(ext, tag), STATUS_SUCCESS);
        KEVENT ready;
        KeInitializeEvent(&ready, NotificationEvent, FALSE);
        std::atomic<bool> lastReleased{false}, returned{false};
        bool returnedAfterLastRelease = false;
        std::thread remover([&] {
            for (ULONG tag : c.removerHolds) EXPECT_EQ(Acquire(ext, tag), STATUS_SUCCESS);
            KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
            SmartcardReleaseRemoveLockAndWait(&ext);
            returnedAfterLastRelease = lastReleased;
            returned = true;
        });
        EXPECT_EQ(Wait(&ready), STATUS_SUCCESS);
        EXPECT_TRUE(Eventually([] { return KeTestWaitingThreads() == 1; }));
        EXPECT_EQ(Acquire(ext, kIoct), STATUS_DELETE_PENDING);
        for (std::size_t i = 0; i < c.releases.size(); ++i) {
            EXPECT_FALSE(returned);
            if (i + 1 == c.releases.size()) lastReleased = true;
            SmartcardReleaseRemoveLockWithTag(&ext, c.releases[i]);
        }
        const bool finished = Eventually([&] { return returned.load(); });
        EXPECT_TRUE(finished) << "the remover still waits after the last outside release";
        // Let a stuck remover go so the test can end.
        for (int i = 0; !finished && i < 4; ++i) {
            SmartcardReleaseRemoveLockWithTag(&ext, kPnp);
            SmartcardReleaseRemoveLockWithTag(&ext, kIoct);
        }
        remover.join();
        EXPECT_TRUE(returnedAfterLastRelease);
        EXPECT_EQ(Acquire(ext, kPnp), STATUS_DELETE_PENDING);
        SmartcardExit(&ext);
    }
}

TEST_F(smclib_base_LogError, WritesToTheEventLog) {
    PDRIVER_OBJECT driver = IoTestCreateDriverObject("reader");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device),
              STATUS_SUCCESS);
    const MESSAGE_TABLE_ENTRY table[] = {{STATUS_IO_TIMEOUT, "The reader did not answer.\r\n"}};
    IoRegisterMessageTable(driver, table, 1);
    EventLogClear();
    UNICODE_STRING port;
    ASSERT_EQ(RtlCreateUnicodeStringFromUtf8(&port, "COM2"), STATUS_SUCCESS);
    SmartcardLogError(device, STATUS_IO_TIMEOUT, &port, 42);
    RtlFreeUnicodeString(&port);
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].IoObject, device);
    EXPECT_EQ(entries[0].Code, STATUS_IO_TIMEOUT);
    EXPECT_EQ(entries[0].DumpData, 42u);
    EXPECT_EQ(entries[0].Insertion, "COM2");
    EXPECT_EQ(entries[0].Message, table[0].Text);
    IoUnregisterMessageTable(driver);
    EventLogClear();
    IoDeleteDevice(device);
    IoTestDeleteDriverObject(driver);
}

}  // namespace
}  // namespace quor::kernel_test
