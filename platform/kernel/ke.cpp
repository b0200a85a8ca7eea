#include "platform/kernel/ke.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/dispatcher_internal.h"

namespace {

using kclock::Ticks;

[[noreturn]] void BugCheck(const char* what) {
    std::fprintf(stderr, "kernel stand-in: %s\n", what);
    std::abort();
}

std::uint32_t Self() { return kclock::ThreadNumber(); }

// Deadline for a kernel time-out value, read with the dispatcher lock held.
Ticks DeadlineFor(PLARGE_INTEGER timeout, Ticks now) {
    if (timeout == nullptr) return kclock::kInfinite;
    LONGLONG t = timeout->QuadPart;
    if (t > 0) return t;  // absolute system time
    if (t == 0) return now;
    if (-t > kclock::kInfinite - now) return kclock::kInfinite;
    return now - t;
}

// Whether `thread` could take the object now, and taking it on that thread's behalf.
bool Satisfiable(DISPATCHER_HEADER* h, std::uint32_t thread) {
    if (h->Type == DispatcherMutex) {
        return h->SignalState > 0 || reinterpret_cast<KMUTEX*>(h)->OwnerThread == thread;
    }
    return h->SignalState > 0;
}

void Acquire(DISPATCHER_HEADER* h, std::uint32_t thread) {
    switch (h->Type) {
        case DispatcherSynchronizationEvent:
            h->SignalState = 0;
            break;
        case DispatcherMutex: {
            auto* m = reinterpret_cast<KMUTEX*>(h);
            if (h->SignalState > 0) {
                h->SignalState = 0;
                m->OwnerThread = thread;
            } else {
                h->SignalState--;  // recursive acquisition by the owner
            }
            break;
        }
        default:
            break;
    }
}

// A thread blocked in KeWaitForMultipleObjects: one wait block per object, linked into that
// object's wait list. Whoever signals an object satisfies the blocked waits on it there and
// then, in arrival order, and wakes those threads alone: a waiter cannot miss a signal that is
// taken back at once (a notification event set and reset) or consumed by a later waiter, and
// each KeSetEvent of a synchronization event releases one more waiter.
struct Waiter;

struct WaitBlock {
    WaitBlock* next;
    WaitBlock* prev;
    DISPATCHER_HEADER* object;
    Waiter* waiter;
};

struct Waiter {
    PVOID* objects;
    ULONG count;
    WAIT_TYPE type;
    std::uint32_t thread;
    bool satisfied = false;
    ULONG index = 0;  // WaitAny: the object that satisfied the wait
    std::condition_variable* cv;
    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
};

// The condition variable a thread sleeps on in its object waits. It outlives every wait (and
// its thread: a block goes back to a free list when its thread ends, for the next thread), so
// a signaller may notify it after giving up the dispatcher lock. Woken while still holding the
// lock, a waiter on another processor would only run to block on it. A notification that
// comes late reaches a later wait as a spurious wake-up, which every wait checks for.
struct WakeBlock {
    std::condition_variable cv;
    WakeBlock* nextFree = nullptr;
};

WakeBlock* g_freeWakeBlocks = nullptr;  // under the dispatcher lock; never freed

class ThreadWake {
  public:
    ThreadWake() = default;
    ThreadWake(const ThreadWake&) = delete;
    ThreadWake& operator=(const ThreadWake&) = delete;
    ~ThreadWake() {
        if (block_ == nullptr) return;
        std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
        block_->nextFree = g_freeWakeBlocks;
        g_freeWakeBlocks = block_;
    }
    // With the dispatcher lock held.
    std::condition_variable& CvLocked() {
        if (block_ == nullptr) {
            if (g_freeWakeBlocks != nullptr) {
                block_ = g_freeWakeBlocks;
                g_freeWakeBlocks = block_->nextFree;
            } else {
                block_ = new WakeBlock;
            }
        }
        return block_->cv;
    }

  private:
    WakeBlock* block_ = nullptr;
};

thread_local ThreadWake t_wake;

// Threads to wake once the dispatcher lock is given up: declared before the lock's guard, it
// notifies after the guard has let go.
class Wakes {
  public:
    Wakes() = default;
    Wakes(const Wakes&) = delete;
    Wakes& operator=(const Wakes&) = delete;
    ~Wakes() {
        for (std::size_t i = 0; i < count_; ++i) cvs_[i]->notify_one();
    }
    // With the dispatcher lock held.
    void Add(std::condition_variable* cv) {
        if (count_ < kMax) {
            cvs_[count_++] = cv;
        } else {
            cv->notify_one();  // a crowd of waiters: the rest are woken at once
        }
    }

  private:
    static constexpr std::size_t kMax = 16;
    std::condition_variable* cvs_[kMax];
    std::size_t count_ = 0;
};

ULONG g_blockedWaiters = 0;  // under the dispatcher lock

WaitBlock*& Head(DISPATCHER_HEADER* h) { return reinterpret_cast<WaitBlock*&>(h->WaitListHead); }
WaitBlock*& Tail(DISPATCHER_HEADER* h) { return reinterpret_cast<WaitBlock*&>(h->WaitListTail); }

void LinkLocked(WaitBlock* b) {
    DISPATCHER_HEADER* h = b->object;
    b->next = nullptr;
    b->prev = Tail(h);
    if (b->prev != nullptr) {
        b->prev->next = b;
    } else {
        Head(h) = b;
    }
    Tail(h) = b;
}

void UnlinkLocked(WaitBlock* b) {
    DISPATCHER_HEADER* h = b->object;
    if (b->prev != nullptr) {
        b->prev->next = b->next;
    } else {
        Head(h) = b->next;
    }
    if (b->next != nullptr) {
        b->next->prev = b->prev;
    } else {
        Tail(h) = b->prev;
    }
}

// With the dispatcher lock held.
bool TrySatisfyLocked(Waiter& w) {
    auto header = [&](ULONG i) { return static_cast<DISPATCHER_HEADER*>(w.objects[i]); };
    if (w.type == WaitAny) {
        for (ULONG i = 0; i < w.count; ++i) {
            if (Satisfiable(header(i), w.thread)) {
                Acquire(header(i), w.thread);
                w.index = i;
                w.satisfied = true;
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < w.count; ++i) {
        if (!Satisfiable(header(i), w.thread)) return false;
    }
    for (ULONG i = 0; i < w.count; ++i) Acquire(header(i), w.thread);
    w.index = 0;
    w.satisfied = true;
    return true;
}

// A blocked waiter's wait was satisfied: it leaves every wait list it is on.
void ReleaseWaiterLocked(Waiter& w) {
    for (ULONG i = 0; i < w.count; ++i) UnlinkLocked(&w.blocks[i]);
    --g_blockedWaiters;
}

// After `h` became signalled; with the dispatcher lock held. Wakes the threads whose waits it
// satisfies, in the order they began to wait, while it stays signalled: through `wakes` once
// the lock is given up, or at once without it.
void SignalLocked(DISPATCHER_HEADER* h, Wakes* wakes = nullptr) {
    WaitBlock* b = Head(h);
    while (b != nullptr && h->SignalState > 0) {
        Waiter* w = b->waiter;
        if (!TrySatisfyLocked(*w)) {
            b = b->next;
            continue;
        }
        ReleaseWaiterLocked(*w);
        if (wakes != nullptr) {
            wakes->Add(w->cv);
        } else {
            w->cv->notify_one();
        }
        b = Head(h);  // the list changed under the walk
    }
}

thread_local KIRQL t_irql = PASSIVE_LEVEL;

// ---- system threads ----

struct ThreadExit {
    NTSTATUS status;
};

struct ThreadObject {
    DISPATCHER_HEADER Header;  // signalled when the thread ends
    std::atomic<int> refs;
};

std::atomic<ULONG> g_runningThreads{0};

// Notified when a system thread ends (PsTestWaitForSystemThreads).
std::condition_variable& ThreadsEnded() {
    static auto* cv = new std::condition_variable;
    return *cv;
}
std::atomic<NTSTATUS> g_failThreadCreation{0};

void Deref(ThreadObject* t) {
    if (t->refs.fetch_sub(1) == 1) delete t;
}

// ---- timers and DPCs ----

struct TimerEntry {
    PKTIMER timer;
    ULONG serial;
};

struct DpcEntry {
    PKDPC dpc;
    PVOID arg1;
    PVOID arg2;
};

struct DpcService {
    std::vector<TimerEntry> timers;
    std::deque<DpcEntry> queue;
    bool running = false;  // a DPC routine is running
    std::uint64_t queued = 0;
    std::uint64_t finished = 0;
    bool started = false;
    std::condition_variable work;     // the DPC thread sleeps on it
    std::condition_variable flushed;  // a DPC finished or left the queue
};

DpcService& Dpcs() {
    static DpcService* s = new DpcService;  // never destroyed, like its thread
    return *s;
}

void DpcThread();

// With the dispatcher lock held.
void EnsureDpcThreadLocked() {
    DpcService& s = Dpcs();
    if (s.started) return;
    s.started = true;
    std::thread(DpcThread).detach();
}

bool QueueDpcLocked(PKDPC dpc, PVOID a1, PVOID a2) {
    if (dpc->Queued) return false;
    dpc->Queued = 1;
    DpcService& s = Dpcs();
    s.queue.push_back({dpc, a1, a2});
    s.queued++;
    EnsureDpcThreadLocked();
    s.work.notify_one();
    return true;
}

Ticks EarliestDueLocked() {
    Ticks due = kclock::kInfinite;
    for (const auto& e : Dpcs().timers) {
        if (e.timer->DueTime < due) due = e.timer->DueTime;
    }
    return due;
}

void DpcThread() {
    // The DPC thread never moves a manual clock by itself: timers fire when time is advanced.
    kclock::SetThreadDriven(true);
    DpcService& s = Dpcs();
    std::unique_lock<std::mutex> lock(kinternal::DispatcherLock());
    for (;;) {
        lock.unlock();
        Ticks now = kclock::Now();
        lock.lock();
        // Expire every timer that is due.
        for (std::size_t i = 0; i < s.timers.size();) {
            PKTIMER t = s.timers[i].timer;
            if (t->DueTime > now) {
                ++i;
                continue;
            }
            t->Header.SignalState = 1;
            if (t->Period > 0) {
                t->DueTime = now + static_cast<Ticks>(t->Period) * kclock::kTicksPerMillisecond;
                ++i;
            } else {
                t->Header.Inserted = 0;
                s.timers.erase(s.timers.begin() + static_cast<std::ptrdiff_t>(i));
            }
            SignalLocked(&t->Header);
            if (t->Dpc != nullptr) QueueDpcLocked(t->Dpc, nullptr, nullptr);
        }
        if (!s.queue.empty()) {
            DpcEntry e = s.queue.front();
            s.queue.pop_front();
            e.dpc->Queued = 0;
            s.running = true;
            PKDEFERRED_ROUTINE routine = e.dpc->DeferredRoutine;
            PVOID ctx = e.dpc->DeferredContext;
            lock.unlock();
            t_irql = DISPATCH_LEVEL;
            routine(e.dpc, ctx, e.arg1, e.arg2);
            t_irql = PASSIVE_LEVEL;
            lock.lock();
            s.running = false;
            s.finished++;
            s.flushed.notify_all();
            continue;
        }
        Ticks due = EarliestDueLocked();
        std::size_t timerCount = s.timers.size();
        kinternal::WaitLocked(
            lock, s.work,
            [&] {
                return !s.queue.empty() || s.timers.size() != timerCount ||
                       EarliestDueLocked() != due;
            },
            due);
    }
}

}  // namespace

// ---- events ----

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    Event->Header.Type =
        Type == NotificationEvent ? DispatcherNotificationEvent : DispatcherSynchronizationEvent;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead = nullptr;
    Event->Header.WaitListTail = nullptr;
}

LONG KeSetEvent(PKEVENT Event, KPRIORITY, BOOLEAN) {
    // The event is not touched once the lock is given up, so a waiter may free it as soon as
    // it wakes.
    Wakes wakes;
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    SignalLocked(&Event->Header, &wakes);
    return previous;
}

LONG KeResetEvent(PKEVENT Event) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

void KeClearEvent(PKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PKEVENT Event) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return Event->Header.SignalState;
}

// ---- mutexes ----

void KeInitializeMutex(PKMUTEX Mutex, ULONG) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    Mutex->Header.Type = DispatcherMutex;
    Mutex->Header.SignalState = 1;
    Mutex->Header.WaitListHead = nullptr;
    Mutex->Header.WaitListTail = nullptr;
    Mutex->OwnerThread = 0;
}

LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN) {
    Wakes wakes;
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    if (Mutex->Header.SignalState > 0 || Mutex->OwnerThread != Self()) {
        BugCheck("KeReleaseMutex: mutex not owned by the releasing thread");
    }
    LONG previous = Mutex->Header.SignalState;
    Mutex->Header.SignalState++;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = 0;
        SignalLocked(&Mutex->Header, &wakes);
    }
    return previous;
}

LONG KeReadStateMutex(PKMUTEX Mutex) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return Mutex->Header.SignalState;
}

// ---- waits ----

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    NTSTATUS s = KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE,
                                          Timeout, nullptr);
    return s;
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK) {
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    Ticks now = kclock::Now();
    Ticks deadline = DeadlineFor(Timeout, now);
    std::unique_lock<std::mutex> lock(kinternal::DispatcherLock());
    Waiter w;
    w.objects = Object;
    w.count = Count;
    w.type = WaitType;
    w.thread = Self();
    w.cv = &t_wake.CvLocked();
    if (!TrySatisfyLocked(w)) {
        if (deadline <= now) return STATUS_TIMEOUT;  // a test (zero time-out) or a past time
        // A relative time-out is a pause that an object may end early: it goes into the
        // clock's pause log like a delay, so a test on the manual clock can see and end it.
        if (Timeout != nullptr && Timeout->QuadPart < 0) {
            kinternal::RecordPauseLocked(kclock::PauseKind::Wait, now, -Timeout->QuadPart);
        }
        for (ULONG i = 0; i < Count; ++i) {
            w.blocks[i] =
                WaitBlock{nullptr, nullptr, static_cast<DISPATCHER_HEADER*>(Object[i]), &w};
            LinkLocked(&w.blocks[i]);
        }
        ++g_blockedWaiters;
        kinternal::WaitLocked(
            lock, *w.cv, [&] { return w.satisfied; }, deadline);
        if (!w.satisfied) {
            ReleaseWaiterLocked(w);
            return STATUS_TIMEOUT;
        }
    }
    return static_cast<NTSTATUS>(STATUS_WAIT_0 + w.index);
}

ULONG KeTestWaitingThreads() {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return g_blockedWaiters;
}

// ---- delays and time ----

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    LONGLONG t = Interval ? Interval->QuadPart : 0;
    Ticks d = 0;
    if (t < 0) {
        d = -t;
    } else if (t > 0) {
        Ticks now = kclock::Now();
        d = t > now ? t - now : 0;
    }
    kclock::Pause(d, kclock::PauseKind::Delay);
    return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds) {
    kclock::Pause(static_cast<Ticks>(MicroSeconds) * kclock::kTicksPerMicrosecond,
                  kclock::PauseKind::Stall);
}

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kclock::Now(); }

// ---- spin locks ----

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { std::atomic_ref<KSPIN_LOCK>(*SpinLock).store(0); }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<KSPIN_LOCK> word(*SpinLock);
    const KSPIN_LOCK self = Self();
    if (word.load(std::memory_order_relaxed) == self) {
        BugCheck("spin lock acquired twice by the same thread");
    }
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (word.compare_exchange_weak(expected, self, std::memory_order_acquire)) return;
        std::this_thread::yield();
    }
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<KSPIN_LOCK> word(*SpinLock);
    if (word.load(std::memory_order_relaxed) != Self()) {
        BugCheck("spin lock released by a thread that does not hold it");
    }
    word.store(0, std::memory_order_release);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KIRQL old = t_irql;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    t_irql = DISPATCH_LEVEL;
    return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    t_irql = NewIrql;
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KfAcquireSpinLock(SpinLock);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KfReleaseSpinLock(SpinLock, NewIrql);
}

KIRQL KeGetCurrentIrql() { return t_irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    *OldIrql = t_irql;
    t_irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) { t_irql = NewIrql; }

// ---- timers and DPCs ----

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->Queued = 0;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    Timer->Header.Type = DispatcherTimer;
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = 0;
    Timer->Header.WaitListHead = nullptr;
    Timer->Header.WaitListTail = nullptr;
    Timer->DueTime = 0;
    Timer->Period = 0;
    Timer->Dpc = nullptr;
    Timer->Serial = 0;
}

namespace {
bool RemoveTimerLocked(PKTIMER Timer) {
    auto& timers = Dpcs().timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->timer == Timer) {
            timers.erase(it);
            Timer->Header.Inserted = 0;
            return true;
        }
    }
    return false;
}
}  // namespace

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    Ticks now = kclock::Now();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    bool wasSet = RemoveTimerLocked(Timer);
    Timer->Header.SignalState = 0;
    Timer->DueTime = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
    Timer->Period = Period;
    Timer->Dpc = Dpc;
    Timer->Serial++;
    Timer->Header.Inserted = 1;
    Dpcs().timers.push_back({Timer, Timer->Serial});
    EnsureDpcThreadLocked();
    Dpcs().work.notify_one();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    bool wasSet = RemoveTimerLocked(Timer);
    Timer->Serial++;
    Dpcs().work.notify_one();
    return wasSet ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    auto& q = Dpcs().queue;
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (it->dpc == Dpc) {
            q.erase(it);
            Dpc->Queued = 0;
            Dpcs().finished++;
            Dpcs().flushed.notify_all();
            return TRUE;
        }
    }
    return FALSE;
}

void KeFlushQueuedDpcs() {
    std::unique_lock<std::mutex> lock(kinternal::DispatcherLock());
    DpcService& s = Dpcs();
    const std::uint64_t target = s.queued;
    kinternal::WaitLocked(
        lock, s.flushed, [&] { return s.finished >= target; }, kclock::kInfinite);
}

// ---- system threads ----

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, PVOID, HANDLE, PVOID,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    NTSTATUS fail = g_failThreadCreation.load();
    if (fail != 0) return fail;
    auto* t = new ThreadObject{};
    t->Header.Type = DispatcherThread;
    t->Header.SignalState = 0;
    t->refs.store(2);  // the handle and the running thread
    const bool driven = kclock::NewThreadsDriven();
    g_runningThreads.fetch_add(1);
    // The handle is in place before the thread runs, so the thread may clear it itself.
    *ThreadHandle = t;
    std::thread([t, StartRoutine, StartContext, driven] {
        kclock::SetThreadDriven(driven);
        try {
            StartRoutine(StartContext);
        } catch (const ThreadExit&) {
        }
        {
            std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
            t->Header.SignalState = 1;
            g_runningThreads.fetch_sub(1);
            SignalLocked(&t->Header);
            ThreadsEnded().notify_all();
        }
        Deref(t);
    }).detach();
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) { throw ThreadExit{ExitStatus}; }

NTSTATUS ZwClose(HANDLE Handle) {
    if (Handle == nullptr) return STATUS_INVALID_PARAMETER;
    Deref(static_cast<ThreadObject*>(Handle));
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ULONG, PVOID, KPROCESSOR_MODE, PVOID* Object,
                                   PVOID) {
    if (Handle == nullptr) return STATUS_INVALID_PARAMETER;
    auto* t = static_cast<ThreadObject*>(Handle);
    t->refs.fetch_add(1);
    *Object = t;
    return STATUS_SUCCESS;
}

void ObDereferenceObject(PVOID Object) { Deref(static_cast<ThreadObject*>(Object)); }

ULONG PsTestRunningSystemThreads() { return g_runningThreads.load(); }

void PsTestWaitForSystemThreads() {
    std::unique_lock<std::mutex> lock(kinternal::DispatcherLock());
    kinternal::WaitLocked(
        lock, ThreadsEnded(), [] { return g_runningThreads.load() == 0; }, kclock::kInfinite);
}

void PsTestFailThreadCreation(NTSTATUS status) { g_failThreadCreation.store(status); }

// ---- interlocked ----

namespace {
std::atomic_ref<LONG> Ref(LONG volatile* p) { return std::atomic_ref<LONG>(*const_cast<LONG*>(p)); }
std::atomic_ref<PVOID> RefP(PVOID volatile* p) {
    return std::atomic_ref<PVOID>(*const_cast<PVOID*>(p));
}
}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) { return Ref(Addend).fetch_add(1) + 1; }
LONG InterlockedDecrement(LONG volatile* Addend) { return Ref(Addend).fetch_sub(1) - 1; }
LONG InterlockedExchange(LONG volatile* Target, LONG Value) { return Ref(Target).exchange(Value); }
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    Ref(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return Ref(Addend).fetch_add(Value);
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return RefP(Target).exchange(Value);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand) {
    RefP(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}
