// Faults that can be put on the reader's replies, to exercise the host's error handling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/sim_time.h"

namespace quor::sim {

// One fault, armed for a number of frames of one command code (Reader::InjectFault).
//
// Two groups behave differently:
// - Line faults (NoReply, BadChecksum, FirstByte, Truncate, Delay, Noise, Gap) spoil only the
//   way back: the reader carries the command out as usual (a card is powered, a card exchange
//   happens), and then the reply is lost, corrupted, cut short, late, preceded by stray bytes
//   or broken by a pause.
// - CardPulled takes the card out of the slot as the frame arrives; the command then runs
//   without it.
// - Reader faults (ErrorStatus, Answer) stand in for the reader's own answer: the command is
//   not carried out and the given reply is sent instead. StatusByte carries the command out and
//   replaces only the status byte of the reply, keeping its data.
struct Fault {
    enum class Kind {
        kNoReply,      // nothing is sent back
        kBadChecksum,  // the last byte of the reply is inverted
        kFirstByte,    // the first byte of the reply is replaced by `value`
        kTruncate,     // only the first `length` bytes of the reply are sent
        kErrorStatus,  // reply without data, status 0x80 | `value`
        kStatusByte,   // status byte replaced by `value`, data kept, checksum recomputed
        kAnswer,       // well-formed reply with `data` and status `value`
        kDelay,        // reply sent `delay` microseconds later than usual
        kNoise,        // `data` sent just before the reply
        kGap,          // the reply pauses `delay` microseconds after its first `length` bytes
        kCardPulled,   // the card leaves the slot as the frame arrives
    };

    static constexpr int kUntilCleared = -1;

    Kind kind = Kind::kNoReply;
    std::uint8_t value = 0;
    std::size_t length = 0;
    SimTime delay = 0;
    std::vector<std::uint8_t> data;
    // Frames of the code the fault applies to; kUntilCleared (any negative value) for every one
    // until Reader::ClearFaults.
    int count = 1;

    static Fault NoReply();
    static Fault BadChecksum();
    static Fault FirstByte(std::uint8_t value);
    static Fault Truncate(std::size_t keep);
    static Fault ErrorStatus(std::uint8_t bits);
    static Fault StatusByte(std::uint8_t status);
    // Throws std::length_error when `data` does not fit a reply frame.
    static Fault Answer(std::vector<std::uint8_t> data, std::uint8_t status);
    static Fault Delay(SimTime microseconds);
    static Fault Noise(std::vector<std::uint8_t> bytes);
    static Fault Gap(std::size_t after, SimTime microseconds);
    static Fault CardPulled();

    Fault Times(int n) const;
    Fault Always() const { return Times(kUntilCleared); }

    // True for the kinds that stand in for the command instead of carrying it out.
    bool ReplacesCommand() const { return kind == Kind::kErrorStatus || kind == Kind::kAnswer; }
};

}  // namespace quor::sim
