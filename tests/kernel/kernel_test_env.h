// Shared ground for the kernel stand-in tests: every test starts on a fresh real clock with no
// failure hook armed, and must leave no IRP, device, pool allocation or system thread behind.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/kernel/clock.h"
#include "platform/kernel/wdm.h"

namespace quor::kernel_test {

inline void DisarmHooks() {
    ExTestSetAllocationFailureHook(nullptr);
    IoTestFailCreateDevice(0);
    IoTestFailAttach(false);
    IoTestFailIrpAllocation(false);
    PsTestFailThreadCreation(0);
}

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        DisarmHooks();
        irps_ = IoTestLiveIrps();
        devices_ = IoTestLiveDevices();
        pool_ = ExTestOutstandingAllocations(0);
    }
    void TearDown() override {
        DisarmHooks();
        kclock::ResetForTest();
        PsTestWaitForSystemThreads();
        KeFlushQueuedDpcs();
        EXPECT_EQ(IoTestLiveIrps(), irps_);
        EXPECT_EQ(IoTestLiveDevices(), devices_);
        EXPECT_EQ(ExTestOutstandingAllocations(0), pool_);
    }

  private:
    LONG irps_ = 0;
    LONG devices_ = 0;
    SIZE_T pool_ = 0;
};

// Spins (in real time) until pred() holds; false after `limit`. Used to reach a known point
// of another thread, such as "blocked in a wait", before acting. The limit is a safety net
// against a hang, not a deadline: a loaded machine may take long to get there.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

inline LARGE_INTEGER Relative(kclock::Ticks t) { return RelativeTime100ns(t); }
inline LARGE_INTEGER Absolute(kclock::Ticks t) {
    LARGE_INTEGER li;
    li.QuadPart = t;
    return li;
}

// Starts a system thread; returns its handle (null on failure).
inline HANDLE StartSystemThread(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                                   context),
              STATUS_SUCCESS);
    return handle;
}

// Waits on one object; `timeout` null waits without limit.
inline NTSTATUS Wait(PVOID object, LARGE_INTEGER* timeout = nullptr) {
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

}  // namespace quor::kernel_test
