#include "platform/kernel/ke.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "tests/kernel/kernel_test_env.h"

namespace quor::kernel_test {
namespace {

using kclock::kTicksPerMillisecond;
using kclock::kTicksPerSecond;
using kclock::Ticks;

using kernel_Event = KernelTest;
using kernel_Wait = KernelTest;
using kernel_Mutex = KernelTest;
using kernel_Exclusion = KernelTest;
using kernel_Timer = KernelTest;
using kernel_Thread = KernelTest;

// Real-time limit for waits that only a fault would let run out.
LARGE_INTEGER Generous() { return Relative(10 * kTicksPerSecond); }

// Starts `n` threads that wait on `object` and count the waits that succeed.
class Waiters {
  public:
    Waiters(PVOID object, int n) {
        for (int i = 0; i < n; ++i) {
            threads_.emplace_back([this, object] {
                LARGE_INTEGER t = Generous();
                if (Wait(object, &t) == STATUS_SUCCESS) woken++;
            });
        }
    }
    ~Waiters() { Join(); }
    void Join() {
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    std::atomic<int> woken{0};

  private:
    std::vector<std::thread> threads_;
};

// Both races below are lost only some of the time by a faulty stand-in, hence the rounds.
constexpr int kRounds = 10;
constexpr int kWaiters = 8;

TEST_F(kernel_Event, NotificationWakesEveryWaiterEvenWhenResetAtOnce) {
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        Waiters waiters(&event, kWaiters);
        ASSERT_TRUE(Eventually([] { return KeTestWaitingThreads() == kWaiters; }));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        KeResetEvent(&event);
        waiters.Join();
        EXPECT_EQ(waiters.woken, kWaiters);
    }
}

TEST_F(kernel_Event, SynchronizationReleasesOneWaiterPerSet) {
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        Waiters waiters(&event, kWaiters);
        ASSERT_TRUE(Eventually([] { return KeTestWaitingThreads() == kWaiters; }));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(Eventually([&] { return waiters.woken == 1; }));
        EXPECT_EQ(KeTestWaitingThreads(), ULONG{kWaiters - 1});
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        for (int i = 1; i < kWaiters; ++i) KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        waiters.Join();
        EXPECT_EQ(waiters.woken, kWaiters);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
}

// The waiter frees the event the moment its wait returns; the sanitizers watch KeSetEvent.
TEST_F(kernel_Event, SetIsSafeWhenTheWaiterFreesTheEvent) {
    for (int i = 0; i < 300; ++i) {
        auto* event = new KEVENT;
        KeInitializeEvent(event, i % 2 ? SynchronizationEvent : NotificationEvent, FALSE);
        std::thread waiter([event] {
            Wait(event);
            delete event;
        });
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        waiter.join();
    }
}

// Two synchronization events and a notification event: a satisfied wait resets the first
// kind only.
TEST_F(kernel_Wait, MultipleObjects) {
    struct Case {
        const char* name;
        WAIT_TYPE type;
        std::vector<int> signalled;
        NTSTATUS status;
        std::vector<LONG> after;
    };
    const Case cases[] = {
        {"any: first", WaitAny, {0}, STATUS_WAIT_0, {0, 0, 0}},
        {"any: notification", WaitAny, {2}, STATUS_WAIT_0 + 2, {0, 0, 1}},
        {"any: takes only the first of two", WaitAny, {0, 1}, STATUS_WAIT_0, {0, 1, 0}},
        {"any: none", WaitAny, {}, STATUS_TIMEOUT, {0, 0, 0}},
        {"all: two of three", WaitAll, {0, 2}, STATUS_TIMEOUT, {1, 0, 1}},
        {"all: every one", WaitAll, {0, 1, 2}, STATUS_WAIT_0, {0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KEVENT events[3];
        PVOID objects[3];
        for (int i = 0; i < 3; ++i) {
            KeInitializeEvent(&events[i], i < 2 ? SynchronizationEvent : NotificationEvent, FALSE);
            objects[i] = &events[i];
        }
        for (int i : c.signalled) KeSetEvent(&events[i], IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER zero = Relative(0);
        EXPECT_EQ(KeWaitForMultipleObjects(3, objects, c.type, Executive, KernelMode, FALSE, &zero,
                                           nullptr),
                  c.status);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(KeReadStateEvent(&events[i]), c.after[i]) << i;
    }

    // A blocked WaitAny learns which object ended it.
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread waiter([&] {
        LARGE_INTEGER t = Generous();
        status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &t,
                                          nullptr);
    });
    ASSERT_TRUE(Eventually([] { return KeTestWaitingThreads() == 1; }));
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_WAIT_1);
}

TEST_F(kernel_Mutex, RecursiveForItsOwnerAndClosedToOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    auto otherThreadTries = [&] {
        NTSTATUS s = STATUS_UNSUCCESSFUL;
        std::thread([&] {
            LARGE_INTEGER zero = Relative(0);
            s = Wait(&mutex, &zero);
            if (s == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
        }).join();
        return s;
    };
    ASSERT_EQ(Wait(&mutex), STATUS_SUCCESS);
    ASSERT_EQ(Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(otherThreadTries(), STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(otherThreadTries(), STATUS_TIMEOUT);  // still held once
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(otherThreadTries(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Several threads update one plain counter under each kind of exclusion.
TEST_F(kernel_Exclusion, HammeredCounterStaysExact) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    struct Case {
        const char* name;
        std::function<void(LONG&)> step;
        LONG perStep;
    };
    const Case cases[] = {
        {"mutex",
         [&](LONG& n) {
             Wait(&mutex);
             Wait(&mutex);  // recursive acquisitions exclude just as well
             n++;
             KeReleaseMutex(&mutex, FALSE);
             KeReleaseMutex(&mutex, FALSE);
         },
         1},
        {"spin lock",
         [&](LONG& n) {
             KIRQL old;
             KeAcquireSpinLock(&spin, &old);
             EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
             n++;
             KeReleaseSpinLock(&spin, old);
         },
         1},
        {"interlocked",
         [](LONG& n) {
             InterlockedIncrement(&n);
             InterlockedExchangeAdd(&n, 3);
             InterlockedDecrement(&n);
             LONG seen;
             do {
                 seen = InterlockedCompareExchange(&n, 0, 0);
             } while (InterlockedCompareExchange(&n, seen + 2, seen) != seen);
         },
         5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LONG counter = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kRounds; ++i) c.step(counter);
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(counter, kThreads * kRounds * c.perStep);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

// A DPC that counts its runs and signals an event each time.
struct CountingDpc {
    CountingDpc() {
        KeInitializeEvent(&ran, SynchronizationEvent, FALSE);
        KeInitializeDpc(
            &dpc,
            [](PKDPC, PVOID self, PVOID, PVOID) {
                auto* d = static_cast<CountingDpc*>(self);
                d->runs++;
                KeSetEvent(&d->ran, IO_NO_INCREMENT, FALSE);
            },
            this);
    }
    KDPC dpc;
    KEVENT ran;
    std::atomic<int> runs{0};
};

TEST_F(kernel_Timer, ScaledTimerRunsItsDpcOnce) {
    kclock::SetScaled(1000);
    CountingDpc d;
    KTIMER timer;
    KeInitializeTimer(&timer);
    const Ticks start = kclock::Now();
    EXPECT_FALSE(KeSetTimer(&timer, Relative(100 * kTicksPerMillisecond), &d.dpc));
    // An hour of this clock is 3.6 s of real time: room for a loaded sanitizer build.
    LARGE_INTEGER limit = Relative(3600 * kTicksPerSecond);
    ASSERT_EQ(Wait(&d.ran, &limit), STATUS_SUCCESS);
    EXPECT_GE(kclock::Now(), start + 100 * kTicksPerMillisecond);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    LARGE_INTEGER zero = Relative(0);
    EXPECT_EQ(Wait(&timer, &zero), STATUS_SUCCESS);  // the timer object is signalled too
    LARGE_INTEGER later = Relative(500 * kTicksPerMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    KeFlushQueuedDpcs();
    EXPECT_EQ(d.runs, 1);
    EXPECT_FALSE(KeCancelTimer(&timer));  // expired: no longer set
}

TEST_F(kernel_Timer, ManualTimerFiresOnlyWhenTheClockReachesIt) {
    kclock::SetManual();
    const Ticks start = kclock::Now();
    CountingDpc main, cancelled, sentinel;
    KTIMER timer, cancelledTimer, sentinelTimer;
    KeInitializeTimer(&timer);
    KeInitializeTimer(&cancelledTimer);
    KeInitializeTimer(&sentinelTimer);

    EXPECT_FALSE(KeSetTimer(&timer, Relative(kTicksPerSecond / 2), &main.dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(kTicksPerSecond), &main.dpc));  // was still set
    EXPECT_FALSE(KeSetTimer(&cancelledTimer, Relative(kTicksPerSecond / 2), &cancelled.dpc));
    EXPECT_TRUE(KeCancelTimer(&cancelledTimer));
    EXPECT_FALSE(KeCancelTimer(&cancelledTimer));

    // The DPC thread expires every due timer before it runs a DPC, so once the sentinel's DPC
    // has run, any other timer due by then has been queued too.
    KeSetTimer(&sentinelTimer, Relative(kTicksPerSecond - 1), &sentinel.dpc);
    kclock::Advance(kTicksPerSecond - 1);
    ASSERT_EQ(Wait(&sentinel.ran), STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    EXPECT_EQ(main.runs, 0);
    EXPECT_FALSE(KeReadStateTimer(&timer));

    kclock::Advance(1);
    ASSERT_EQ(Wait(&main.ran), STATUS_SUCCESS);
    EXPECT_EQ(kclock::Now(), start + kTicksPerSecond);

    KeSetTimer(&sentinelTimer, Relative(5 * kTicksPerSecond), &sentinel.dpc);
    kclock::Advance(5 * kTicksPerSecond);
    ASSERT_EQ(Wait(&sentinel.ran), STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    EXPECT_EQ(main.runs, 1);
    EXPECT_EQ(cancelled.runs, 0);
}

TEST_F(kernel_Timer, FlushWaitsForARunningDpc) {
    struct Context {
        KEVENT started, release;
        std::atomic<bool> finished{false};
    } ctx;
    KeInitializeEvent(&ctx.started, NotificationEvent, FALSE);
    KeInitializeEvent(&ctx.release, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID p, PVOID, PVOID) {
            auto* c = static_cast<Context*>(p);
            KeSetEvent(&c->started, IO_NO_INCREMENT, FALSE);
            Wait(&c->release);
            c->finished = true;
        },
        &ctx);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    ASSERT_EQ(Wait(&ctx.started), STATUS_SUCCESS);
    bool finishedWhenFlushed = false;
    std::thread flusher([&] {
        KeFlushQueuedDpcs();
        finishedWhenFlushed = ctx.finished;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // room for an early return
    KeSetEvent(&ctx.release, IO_NO_INCREMENT, FALSE);
    flusher.join();
    EXPECT_TRUE(finishedWhenFlushed);
}

TEST_F(kernel_Thread, ObjectIsSignalledWhenTheThreadEnds) {
    struct Context {
        KEVENT go;
        bool terminate;
        std::atomic<int> reached{0};
    };
    struct Case {
        const char* name;
        bool terminate;
        int reached;
    };
    const Case cases[] = {
        {"routine returns", false, 2},
        {"PsTerminateSystemThread", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Context ctx;
        ctx.terminate = c.terminate;
        KeInitializeEvent(&ctx.go, NotificationEvent, FALSE);
        HANDLE handle = StartSystemThread(
            [](PVOID p) {
                auto* x = static_cast<Context*>(p);
                Wait(&x->go);
                x->reached = 1;
                if (x->terminate) PsTerminateSystemThread(STATUS_SUCCESS);
                x->reached = 2;
            },
            &ctx);
        ASSERT_NE(handle, nullptr);
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object,
                                            nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);  // the reference keeps the object
        EXPECT_EQ(PsTestRunningSystemThreads(), 1u);
        LARGE_INTEGER zero = Relative(0);
        EXPECT_EQ(Wait(object, &zero), STATUS_TIMEOUT);
        KeSetEvent(&ctx.go, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(Wait(object), STATUS_SUCCESS);
        EXPECT_EQ(ctx.reached, c.reached);
        ObDereferenceObject(object);
        PsTestWaitForSystemThreads();
        EXPECT_EQ(PsTestRunningSystemThreads(), 0u);
    }
}

TEST_F(kernel_Thread, CreationFailureHook) {
    auto routine = [](PVOID ran) { *static_cast<std::atomic<bool>*>(ran) = true; };
    std::atomic<bool> ran{false};
    HANDLE handle = nullptr;
    PsTestFailThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, &ran),
        STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsTestRunningSystemThreads(), 0u);
    PsTestFailThreadCreation(0);
    handle = StartSystemThread(routine, &ran);
    ASSERT_NE(handle, nullptr);
    PsTestWaitForSystemThreads();
    EXPECT_TRUE(ran);
    ZwClose(handle);
}

}  // namespace
}  // namespace quor::kernel_test
