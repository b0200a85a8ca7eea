#include "platform/kernel/clock.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/kernel/dispatcher_internal.h"

namespace kclock {
namespace {

using Steady = std::chrono::steady_clock;

// Offset between the Unix epoch and 1 January 1601 in 100 ns units.
constexpr Ticks kEpochOffset = 116444736000000000LL;
constexpr std::size_t kMaxPauseRecords = 100000;

// A sleeper with a deadline: a change of the clock wakes it so that it looks at its deadline
// again (manual mode: the clock reached it; other modes: the real time left changed).
struct TimedSleeper {
    std::condition_variable* cv;
    Ticks deadline;
    TimedSleeper* prev;
    TimedSleeper* next;
};

struct ClockState {
    Mode mode = Mode::Real;
    double factor = 1.0;
    // Real/scaled: reading = base + (steady - steadyBase) * factor. Manual: reading = base.
    Ticks base = 0;
    Steady::time_point steadyBase{};
    bool newThreadsDriven = false;
    // The pause log: a ring of kMaxPauseRecords records, allocated at the first pause so that
    // recording never allocates after that.
    std::vector<PauseRecord> pauses;
    std::size_t pauseHead = 0;  // oldest record
    std::size_t pauseCount = 0;
    TimedSleeper* sleepers = nullptr;  // every thread sleeping towards a deadline
};

// Never destroyed: system threads may still wait on the clock while the process exits.
ClockState& State() {
    static ClockState* state = new ClockState;
    return *state;
}

Ticks WallNow() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 + kEpochOffset;
}

std::once_flag g_init;

void InitOnce() {
    std::call_once(g_init, [] {
        ClockState& s = State();
        s.base = WallNow();
        s.steadyBase = Steady::now();
    });
}

// Reading with the dispatcher lock held.
Ticks NowLocked() {
    ClockState& s = State();
    if (s.mode == Mode::Manual) return s.base;
    auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - s.steadyBase).count();
    return s.base + static_cast<Ticks>(static_cast<double>(elapsed) / 100.0 * s.factor);
}

// Wakes the sleepers whose deadline the reading has reached, or all of them (the reading or the
// rate changed under them); with the dispatcher lock held.
void WakeSleepersLocked(bool all) {
    ClockState& s = State();
    if (s.sleepers == nullptr) return;
    const Ticks now = NowLocked();
    for (TimedSleeper* t = s.sleepers; t != nullptr; t = t->next) {
        if (all || t->deadline <= now) t->cv->notify_all();
    }
}

void Rebase(Mode mode, double factor) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    ClockState& s = State();
    Ticks now = NowLocked();
    s.mode = mode;
    s.factor = factor;
    s.base = now;
    s.steadyBase = Steady::now();
    WakeSleepersLocked(true);
}

thread_local int t_driven = -1;  // -1: not decided yet
thread_local std::uint32_t t_number = 0;
std::atomic<std::uint32_t> g_nextNumber{1};

// Real time to wait for a clock interval in real or scaled mode.
Steady::duration RealSpan(Ticks d) {
    const ClockState& s = State();
    double ns = static_cast<double>(d) * 100.0 / s.factor;
    if (ns > 1e17) ns = 1e17;  // about three years: effectively for ever
    return std::chrono::duration_cast<Steady::duration>(
        std::chrono::nanoseconds(static_cast<std::int64_t>(ns)));
}

// The calling thread's role, with the dispatcher lock held. A thread that was never given a
// role advances the clock by itself: the new-threads role is handed out only by the stand-in
// when it creates a thread, never picked up by the test's own threads.
bool DrivenLocked() { return t_driven == 1; }

void RecordLocked(PauseKind kind, Ticks start, Ticks d) {
    ClockState& s = State();
    if (s.pauses.empty()) s.pauses.resize(kMaxPauseRecords);
    const PauseRecord r{ThreadNumber(), kind, start, d};
    if (s.pauseCount < kMaxPauseRecords) {
        s.pauses[(s.pauseHead + s.pauseCount++) % kMaxPauseRecords] = r;
    } else {
        s.pauses[s.pauseHead] = r;
        s.pauseHead = (s.pauseHead + 1) % kMaxPauseRecords;
    }
}

}  // namespace

void SetReal() {
    InitOnce();
    Rebase(Mode::Real, 1.0);
}

void SetScaled(double factor) {
    InitOnce();
    Rebase(Mode::Scaled, factor > 0 ? factor : 1.0);
}

void SetManual() {
    InitOnce();
    Rebase(Mode::Manual, 1.0);
}

Mode GetMode() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return State().mode;
}

double ScaleFactor() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return State().factor;
}

Ticks Now() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return NowLocked();
}

void SetNow(Ticks t) {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    ClockState& s = State();
    s.base = t;
    s.steadyBase = Steady::now();
    WakeSleepersLocked(true);
}

void Advance(Ticks d) {
    InitOnce();
    if (d <= 0) return;
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    // Shifts the reading forward in real and scaled mode as well.
    State().base += d;
    WakeSleepersLocked(State().mode != Mode::Manual);
}

void SetThreadDriven(bool driven) { t_driven = driven ? 1 : 0; }

bool ThreadDriven() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return DrivenLocked();
}

void SetNewThreadsDriven(bool driven) {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    State().newThreadsDriven = driven;
}

bool NewThreadsDriven() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return State().newThreadsDriven;
}

std::uint32_t ThreadNumber() {
    if (t_number == 0) t_number = g_nextNumber.fetch_add(1);
    return t_number;
}

void Pause(Ticks d, PauseKind kind) {
    InitOnce();
    if (d < 0) d = 0;
    std::unique_lock<std::mutex> lock(kinternal::DispatcherLock());
    bool driven = DrivenLocked();
    Ticks start = NowLocked();
    RecordLocked(kind, start, d);
    if (d == 0) return;
    ClockState& s = State();
    Ticks deadline = start > kInfinite - d ? kInfinite : start + d;
    std::condition_variable cv;
    if (s.mode == Mode::Manual) {
        if (!driven) {
            if (s.base < deadline) s.base = deadline;
            WakeSleepersLocked(false);
            return;
        }
        kinternal::WaitLocked(
            lock, cv, [] { return false; }, deadline);
        return;
    }
    if (kind == PauseKind::Stall) {
        // A stall busy-waits: it does not give up the processor.
        auto until = Steady::now() + RealSpan(d);
        lock.unlock();
        while (Steady::now() < until) {
        }
        return;
    }
    kinternal::WaitLocked(
        lock, cv, [] { return false; }, deadline);
}

std::vector<PauseRecord> Pauses() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    const ClockState& s = State();
    std::vector<PauseRecord> out;
    out.reserve(s.pauseCount);
    for (std::size_t i = 0; i < s.pauseCount; ++i) {
        out.push_back(s.pauses[(s.pauseHead + i) % kMaxPauseRecords]);
    }
    return out;
}

void ClearPauses() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    State().pauseHead = State().pauseCount = 0;
}

void ResetForTest() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    ClockState& s = State();
    s.mode = Mode::Real;
    s.factor = 1.0;
    s.base = WallNow();
    s.steadyBase = Steady::now();
    s.newThreadsDriven = false;
    s.pauseHead = s.pauseCount = 0;
    t_driven = -1;
    WakeSleepersLocked(true);
}

}  // namespace kclock

namespace kinternal {

// The lock and the condition variable are never destroyed, for the same reason as the clock.
std::mutex& DispatcherLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

void RecordPauseLocked(kclock::PauseKind kind, kclock::Ticks start, kclock::Ticks duration) {
    kclock::RecordLocked(kind, start, duration);
}

bool SleepLocked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 kclock::Ticks deadline) {
    using namespace kclock;
    ClockState& s = State();
    const Ticks now = NowLocked();
    if (deadline == kInfinite) {
        cv.wait(lock);
        return true;
    }
    if (now >= deadline) return false;
    if (s.mode == Mode::Manual && !DrivenLocked()) {
        // Nothing else moves a manual clock for this thread: jump to the deadline.
        s.base = deadline;
        WakeSleepersLocked(false);
        return true;
    }
    TimedSleeper self{&cv, deadline, nullptr, s.sleepers};
    if (s.sleepers != nullptr) s.sleepers->prev = &self;
    s.sleepers = &self;
    if (s.mode == Mode::Manual) {
        cv.wait(lock);
    } else {
        cv.wait_for(lock, RealSpan(deadline - now));
    }
    if (self.prev != nullptr) {
        self.prev->next = self.next;
    } else {
        s.sleepers = self.next;
    }
    if (self.next != nullptr) self.next->prev = self.prev;
    return true;
}

}  // namespace kinternal
