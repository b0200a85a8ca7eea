// The reader's PIN pad: how a PIN typed on the keypad is put into the command of a PIN frame.
//
// PIN frames. Code 15 (verification) carries p0 p1 and then the command for the card; code 20
// (modification) carries p0 p1 p2 and then the command. The command is what an exchange frame
// (code 8) would carry in the protocol mode in force: a T=0 TPDU (CLA INS P1 P2 P3 data) or a
// whole T=1 block (NAD PCB LEN INF EDC). Only the T=0 and T=1 modes take PIN frames.
//
// The PIN-pad parameters:
//   p0  the PIN format
//       bits 0..3  size of the PIN field in digits, 1..15; digits typed beyond it are ignored.
//                  0 refuses the frame.
//       bits 4..6  fewest digits the confirm key accepts, 0..7; a confirm key pressed with
//                  fewer digits is ignored.
//       bit 7      0: ASCII, one byte '0'..'9' per digit; 1: BCD, two digits a byte with the
//                  first in the high nibble, an odd last digit padded with 0xF in the low one.
//   p1  offset of the PIN (for a modification: of the old PIN) in the command, counted from
//       its first byte; for T=1 that is the NAD, so a host that counts from the first APDU
//       byte adds 3, the length of the prologue.
//   p2  modification only: offset of the new PIN, counted the same way.
// The PIN's bytes replace the command's bytes from the offset on. The field is laid out for
// the full size in p0, and bytes a shorter PIN does not reach keep what the host put there
// (its padding). A field that does not fit inside the command (for T=1: before the EDC)
// refuses the frame. For T=1 the EDC is worked out again over the changed block, as an LRC or
// a CRC as the block came (3 + LEN + 1 or 2 bytes long).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quor::sim {

struct PinFormat {
    std::size_t maxDigits = 0;  // size of the field in digits
    std::size_t minDigits = 0;  // fewest digits a confirm key accepts
    bool bcd = false;
};

PinFormat PinFormatOf(std::uint8_t p0);

// Bytes the field of a format takes in the command.
std::size_t PinFieldSize(const PinFormat& format);

// The PIN's bytes for digits 0..9 in the given format (at most maxDigits of them are used).
std::vector<std::uint8_t> EncodePin(std::span<const std::uint8_t> digits, const PinFormat& format);

// Bytes at the start of a command that a PIN may replace: the whole TPDU for T=0 (mode 0), the
// block before its EDC for T=1 (mode 1). nullopt for a T=1 command that is no well-formed
// block (shorter than 4 bytes, LEN 0xFF, or an EDC of neither 1 nor 2 bytes) and other modes.
std::optional<std::size_t> PinWritableSize(std::span<const std::uint8_t> command,
                                           std::uint8_t protocol);

// Works the EDC of a T=1 block out again after its bytes were changed; the block must have
// passed PinWritableSize.
void RefreshEdc(std::vector<std::uint8_t>& block);

}  // namespace quor::sim
