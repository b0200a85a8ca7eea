// The one clock behind every delay, wait time-out, stall and system-time reading.
//
// Real mode follows the wall clock. Scaled mode runs faster by a factor (1000 turns a 1.8 s
// pause into 1.8 ms). Manual mode moves only when told: a test advances it, and a delay or
// timed wait on an auto-advancing thread moves it forward by itself, so code that pauses on
// the test's own thread never deadlocks. Threads marked "driven" wait in manual mode until
// someone else advances the clock past their deadline.
#pragma once

#include <cstdint>
#include <vector>

namespace kclock {

// All times are in the kernel's 100-nanosecond units.
using Ticks = std::int64_t;
constexpr Ticks kTicksPerMicrosecond = 10;
constexpr Ticks kTicksPerMillisecond = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks kInfinite = INT64_MAX;

enum class Mode { Real, Scaled, Manual };

// Delay: a sleep. Stall: a busy-wait. Wait: a wait for an object with a relative time-out,
// which ends early when the object is signalled.
enum class PauseKind { Delay, Stall, Wait };

struct PauseRecord {
    std::uint32_t thread;  // small per-thread number (see ThreadNumber)
    PauseKind kind;
    Ticks start;     // clock reading when the pause began
    Ticks duration;  // what was asked for
};

// Switch modes. Switching keeps the current reading, so time never jumps backwards.
void SetReal();
void SetScaled(double factor);
void SetManual();
Mode GetMode();
double ScaleFactor();

// System time: 100 ns units since 1 January 1601, as the kernel counts.
Ticks Now();
// Moves the reading to t (any mode). Used by tests to start near a wrap-around.
void SetNow(Ticks t);
// Manual mode: moves the clock forward and wakes every waiter whose deadline has come.
void Advance(Ticks d);

// Manual mode behaviour of the calling thread (default: auto-advancing).
void SetThreadDriven(bool driven);
bool ThreadDriven();
// Role given to threads that the kernel stand-in creates from now on (system threads).
void SetNewThreadsDriven(bool driven);
bool NewThreadsDriven();

// Small, stable number of the calling thread, for logs.
std::uint32_t ThreadNumber();

// Pauses: the calling thread sleeps (Delay) or busy-waits (Stall) for d, in the clock's time.
void Pause(Ticks d, PauseKind kind);

// Every pause asked for since the last clear (at most the newest 100000).
std::vector<PauseRecord> Pauses();
void ClearPauses();

// Resets to real mode, the wall-clock reading, default roles and an empty pause log.
void ResetForTest();

}  // namespace kclock
