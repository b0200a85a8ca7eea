// Internal to the kernel stand-in: the one lock and condition variable behind every
// dispatcher object (events, mutexes, timers, threads) and the clock-aware wait on them.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

#include "platform/kernel/clock.h"

namespace kinternal {

std::mutex& DispatcherLock();
// Wakes every waiter so it re-checks its condition; call after any state change.
void NotifyAll();

// With DispatcherLock held through `lock`, waits until `ready()` is true or the clock reaches
// `deadline` (kclock::kInfinite for no limit). Returns ready()'s final value.
// With DispatcherLock held: records a pause of the calling thread in the clock's pause log.
void RecordPauseLocked(kclock::PauseKind kind, kclock::Ticks start, kclock::Ticks duration);

bool WaitLocked(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                kclock::Ticks deadline);

}  // namespace kinternal
