// Internal to the kernel stand-in: the lock behind every dispatcher object (events, mutexes,
// timers, threads) and the clock-aware sleep on them. Each sleeper waits on a condition
// variable of its own, so a signal wakes only the threads waiting for what was signalled.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/kernel/clock.h"

namespace kinternal {

std::mutex& DispatcherLock();

// With DispatcherLock held: records a pause of the calling thread in the clock's pause log.
void RecordPauseLocked(kclock::PauseKind kind, kclock::Ticks start, kclock::Ticks duration);

// With DispatcherLock held through `lock`, sleeps once on `cv` towards `deadline`
// (kclock::kInfinite for no limit): until `cv` is notified, the deadline comes (in manual
// mode, when the clock is advanced past it, or at once by moving the clock there for a thread
// that advances it itself), or the clock is changed. Returns false without sleeping when the
// deadline has already passed.
bool SleepLocked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 kclock::Ticks deadline);

// With DispatcherLock held through `lock`, waits on `cv` until `ready()` is true or the clock
// reaches `deadline`. Whoever makes `ready()` true notifies `cv`. Returns ready()'s final value.
template <class Ready>
bool WaitLocked(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready&& ready,
                kclock::Ticks deadline) {
    for (;;) {
        if (ready()) return true;
        if (!SleepLocked(lock, cv, deadline)) return ready();
    }
}

}  // namespace kinternal
