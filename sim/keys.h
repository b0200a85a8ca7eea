// Keys as a person writes them, one syntax for every tool that drives the emulated keypad
// (quor-sim's --keys, its `key` command and --reader "keys=...", quorctl's --keys and `key`):
//   digits    0..9
//   confirm   ok, confirm, enter, # or E
//   cancel    cancel, * or C
//   wait:MS   (scripts only) MS milliseconds pass before the next key
// Tokens are separated by commas or spaces; single-character keys may run together, so
// "1234#", "1,2,3,4,ok" and "1234 ok" are the same keys. Letters may be either case.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/reader.h"

namespace quor::sim {

// The keys of a text without waits; throws std::invalid_argument for a bad key, a wait or no
// key at all.
std::vector<std::uint8_t> ParseKeys(const std::string& text);

// A key script: each key `gapMs` milliseconds after the one before (the first at once), a
// wait adding its time to the next step; a wait at the end becomes a silent step. Throws
// std::invalid_argument for a bad key or wait, or an empty script.
std::vector<KeyStep> ParseKeyScript(const std::string& text, long long gapMs);

}  // namespace quor::sim
