// PC/SC part 10 for the QUOR reader: the features it announces, and the PIN structures of
// FEATURE_VERIFY_PIN_DIRECT / FEATURE_MODIFY_PIN_DIRECT turned into the reader's terminal
// commands PERFORM VERIFICATION (20 18) and MODIFY VERIFICATION DATA (20 19), so that the
// reader's keypad collects the PIN and writes it into the card's APDU.
//
// What the reader's PIN pad can do, and so which structures it takes:
//   bmFormatString     BCD (01) or ASCII (10), left justified; the PIN position in bytes, or in
//                      bits when a multiple of 8. Binary digits, right justification: refused.
//   bmPINBlockString   no PIN length field (bits 7-4 zero: the reader never writes a length);
//                      the block (bits 3-0, 0 for "as long as the longest PIN") holds the
//                      longest PIN.
//   wPINMaxExtraDigit  longest PIN 1..15 digits, shortest 0..7 and not above the longest.
//   bEntryValidationCondition  must include the validation key (0x02): the reader ends an
//                      entry only at its confirm key; digits past the longest PIN are ignored.
//   bConfirmPIN        modification: the current PIN is asked for (bit 1) and the new one is
//                      not asked twice (bit 0 clear), as the reader takes exactly two PINs.
//   bTimerOut, bTimerOut2, wLangId, message indexes, bTeoPrologue: accepted; the reader's
//                      entry time-out is its own 30 s, and its prompt is "PIN:" when the
//                      structure asks for messages (bNumberMessage not 0).
// The PIN goes at offset 5 + position of the APDU (the position counts from the first data
// byte); a modification's old and new PINs at 5 + position + bInsertionOffsetOld / New. A PIN
// field that does not lie inside the APDU's data refuses the structure. A refused structure
// never reaches the reader.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quor::pcsc {

using Bytes = std::vector<std::uint8_t>;

// The control code of a feature: SCARD_CTL_CODE(3400 + feature tag).
std::uint32_t FeatureControlCode(std::uint8_t feature);

// What the reader offers, as learnt from its functional units (GET STATUS 20 13 00 81).
struct ReaderUnits {
    bool keypad = false;
    bool display = false;
};
ReaderUnits UnitsFromAnswer(std::span<const std::uint8_t> answer);

// The answer to CM_IOCTL_GET_FEATURE_REQUEST: tag, length 4, control code (big-endian) per
// feature. The PIN features only with a keypad.
Bytes FeatureList(const ReaderUnits& units);
// PIN_PROPERTIES_STRUCTURE (FEATURE_IFD_PIN_PROPERTIES).
Bytes PinProperties(const ReaderUnits& units);
// The TLV properties (FEATURE_GET_TLV_PROPERTIES).
Bytes TlvProperties(const ReaderUnits& units);

// A PIN structure turned into a terminal command, or the reason it was refused.
struct PinCommand {
    Bytes command;           // the CT-BCS command; empty when refused
    std::string refusal;     // why the reader cannot do what the structure asks
    bool malformed = false;  // the structure itself is broken (lengths), not just unsupported
    bool Ok() const { return !command.empty(); }
};

PinCommand VerifyCommand(std::span<const std::uint8_t> pinVerifyStructure);
PinCommand ModifyCommand(std::span<const std::uint8_t> pinModifyStructure);

}  // namespace quor::pcsc
