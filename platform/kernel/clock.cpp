#include "platform/kernel/clock.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "platform/kernel/dispatcher_internal.h"

namespace kclock {
namespace {

using Steady = std::chrono::steady_clock;

// Offset between the Unix epoch and 1 January 1601 in 100 ns units.
constexpr Ticks kEpochOffset = 116444736000000000LL;
constexpr std::size_t kMaxPauseRecords = 100000;

struct ClockState {
    Mode mode = Mode::Real;
    double factor = 1.0;
    // Real/scaled: reading = base + (steady - steadyBase) * factor. Manual: reading = base.
    Ticks base = 0;
    Steady::time_point steadyBase{};
    bool newThreadsDriven = false;
    std::deque<PauseRecord> pauses;
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

void Rebase(Mode mode, double factor) {
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    ClockState& s = State();
    Ticks now = NowLocked();
    s.mode = mode;
    s.factor = factor;
    s.base = now;
    s.steadyBase = Steady::now();
    kinternal::NotifyAll();
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
    if (s.pauses.size() >= kMaxPauseRecords) s.pauses.pop_front();
    s.pauses.push_back(PauseRecord{ThreadNumber(), kind, start, d});
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
    kinternal::NotifyAll();
}

void Advance(Ticks d) {
    InitOnce();
    if (d <= 0) return;
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    ClockState& s = State();
    if (s.mode == Mode::Manual) {
        s.base += d;
    } else {
        s.base += d;  // shifts the reading forward in real and scaled mode as well
    }
    kinternal::NotifyAll();
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
    if (s.mode == Mode::Manual) {
        if (!driven) {
            if (s.base < deadline) s.base = deadline;
            kinternal::NotifyAll();
            return;
        }
        kinternal::WaitLocked(
            lock, [] { return false; }, deadline);
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
        lock, [] { return false; }, deadline);
}

std::vector<PauseRecord> Pauses() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    return {State().pauses.begin(), State().pauses.end()};
}

void ClearPauses() {
    InitOnce();
    std::lock_guard<std::mutex> lock(kinternal::DispatcherLock());
    State().pauses.clear();
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
    s.pauses.clear();
    t_driven = -1;
    kinternal::NotifyAll();
}

}  // namespace kclock

namespace kinternal {

// The lock and the condition variable are never destroyed, for the same reason as the clock.
std::mutex& DispatcherLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

namespace {
std::condition_variable& Cv() {
    static std::condition_variable* cv = new std::condition_variable;
    return *cv;
}
}  // namespace

void NotifyAll() { Cv().notify_all(); }

void RecordPauseLocked(kclock::PauseKind kind, kclock::Ticks start, kclock::Ticks duration) {
    kclock::RecordLocked(kind, start, duration);
}

bool WaitLocked(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                kclock::Ticks deadline) {
    using namespace kclock;
    for (;;) {
        if (ready()) return true;
        ClockState& s = State();
        Ticks now = NowLocked();
        if (deadline != kInfinite && now >= deadline) return false;
        if (deadline == kInfinite) {
            Cv().wait(lock);
            continue;
        }
        if (s.mode == Mode::Manual) {
            if (!DrivenLocked()) {
                // Nothing else moves a manual clock for this thread: jump to the deadline.
                s.base = deadline;
                NotifyAll();
                continue;
            }
            Cv().wait(lock);
            continue;
        }
        Cv().wait_for(lock, RealSpan(deadline - now));
    }
}

}  // namespace kinternal
