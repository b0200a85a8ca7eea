// Time base of the reader emulator.
#pragma once

#include <cstdint>

namespace quor::sim {

// Microseconds on whatever clock the caller runs. The emulator never reads a clock of its own:
// every operation that depends on time is handed the current time, so the emulator runs just as
// well on a virtual clock as on the wall clock.
using SimTime = std::int64_t;

}  // namespace quor::sim
