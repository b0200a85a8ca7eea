// ISO/IEC 7816-3 T=1 blocks: prologue (NAD, PCB, LEN), information field, epilogue (EDC).
//
// The error detection code is either one LRC byte (the XOR of every byte before it) or two CRC
// bytes. The CRC is the CCITT polynomial x^16 + x^12 + x^5 + 1, computed bit-reflected
// (0x8408) from the initial value 0xFFFF without a final inversion, and sent most significant
// byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quor::sim::t1 {

enum class Edc { kLrc, kCrc };

inline constexpr std::size_t kPrologueSize = 3;
inline constexpr std::size_t kMaxInfSize = 254;  // LEN 0xFF is reserved
inline constexpr std::size_t kDefaultIfs = 32;   // IFSC without TA3, IFSD until S(IFS)

// Bits of the PCB.
inline constexpr std::uint8_t kPcbRBlock = 0x80;     // 10xx xxxx
inline constexpr std::uint8_t kPcbSBlock = 0xC0;     // 11xx xxxx
inline constexpr std::uint8_t kPcbNs = 0x40;         // I-block: send sequence number
inline constexpr std::uint8_t kPcbMore = 0x20;       // I-block: more data follows (chaining)
inline constexpr std::uint8_t kPcbNr = 0x10;         // R-block: sequence number expected next
inline constexpr std::uint8_t kPcbSResponse = 0x20;  // S-block: response, not request

// R-block error codes (low two bits of the PCB).
inline constexpr std::uint8_t kRNoError = 0;
inline constexpr std::uint8_t kREdcError = 1;
inline constexpr std::uint8_t kROtherError = 2;

// S-block types (low five bits of the PCB).
enum class SType : std::uint8_t { kResynch = 0, kIfs = 1, kAbort = 2, kWtx = 3 };

enum class Kind { kI, kR, kS };

Kind KindOf(std::uint8_t pcb);
std::uint8_t IPcb(std::uint8_t ns, bool more);
std::uint8_t RPcb(std::uint8_t nr, std::uint8_t error);
std::uint8_t SPcb(SType type, bool response);

std::size_t EdcSize(Edc edc);
std::uint8_t Lrc(std::span<const std::uint8_t> bytes);
std::uint16_t Crc(std::span<const std::uint8_t> bytes);

struct Block {
    std::uint8_t nad = 0;
    std::uint8_t pcb = 0;
    std::vector<std::uint8_t> inf;

    friend bool operator==(const Block&, const Block&) = default;
};

// Throws std::length_error for an information field longer than kMaxInfSize.
std::vector<std::uint8_t> Encode(const Block& block, Edc edc);

enum class DecodeError {
    kNone,
    kEdc,     // the EDC does not match the bytes before it
    kLength,  // too short for a block, LEN 0xFF, or LEN disagrees with the bytes received
};

struct Decoded {
    Block block;  // meaningful only without error
    DecodeError error = DecodeError::kNone;
};

// The EDC is checked before the length, so a block cut short reads as an EDC error, as it
// would on the line.
Decoded Decode(std::span<const std::uint8_t> bytes, Edc edc);

}  // namespace quor::sim::t1
