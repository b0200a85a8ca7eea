// The reader's framed line protocol: command frames from the host, reply frames from the reader.
//
// Command frame: code (bits 0..6; bit 7 set when n >= 256), n (low 8 bits), n data bytes,
// XOR of all previous bytes. Reply frame: marker 0x00 (0x80 when the full length F >= 256),
// F low 8 bits, F - 1 data bytes, status byte, XOR of all previous bytes; F counts the data
// bytes and the status byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/sim_time.h"

namespace quor::sim {

// Command codes the reader serves.
inline constexpr std::uint8_t kCodeResetReader = 1;
inline constexpr std::uint8_t kCodeCardOn = 2;
inline constexpr std::uint8_t kCodeCardOff = 3;
inline constexpr std::uint8_t kCodeSetWaitTime = 4;
inline constexpr std::uint8_t kCodeSetProtocol = 5;
inline constexpr std::uint8_t kCodeExchange = 8;
inline constexpr std::uint8_t kCodeGetInfo = 9;
inline constexpr std::uint8_t kCodeDisplay = 10;
inline constexpr std::uint8_t kCodeGetStatus = 11;
inline constexpr std::uint8_t kCodePinVerify = 15;
inline constexpr std::uint8_t kCodePinModify = 20;

// Bits of the status byte that ends every reply.
inline constexpr std::uint8_t kStatusFailed = 0x80;
inline constexpr std::uint8_t kStatusCardIn = 0x40;
inline constexpr std::uint8_t kStatusPowered = 0x20;
// Together with kStatusFailed: the failure concerns the exchange with the card and the low
// nibble gives its kind (one of kCardError*).
inline constexpr std::uint8_t kStatusCardError = 0x10;
inline constexpr std::uint8_t kStatusKeyMask = 0x0F;

// Kinds of card exchange failures, reported in the low nibble with kStatusCardError.
inline constexpr std::uint8_t kCardErrorNoAnswer = 1;  // the card did not answer
inline constexpr std::uint8_t kCardErrorTooLong = 2;   // the card's answer does not fit a frame
inline constexpr std::uint8_t kCardErrorNoCard = 3;    // no card, or the card is not powered

// Protocol modes selected with kCodeSetProtocol.
inline constexpr std::uint8_t kProtocolT0 = 0;
inline constexpr std::uint8_t kProtocolT1 = 1;
inline constexpr std::uint8_t kProtocolPps = 2;

inline constexpr std::size_t kMaxCommandData = 511;  // 8 length bits plus bit 7 of the code
inline constexpr std::size_t kMaxReplyData = 510;    // full length 511 minus the status byte

std::uint8_t XorOf(std::span<const std::uint8_t> bytes);

// A command frame as the host puts it on the line. Throws std::length_error for more than
// kMaxCommandData bytes.
std::vector<std::uint8_t> CommandFrame(std::uint8_t code, std::span<const std::uint8_t> data = {});

// A reply frame as the reader puts it on the line. Throws std::length_error for more than
// kMaxReplyData bytes.
std::vector<std::uint8_t> ReplyFrame(std::span<const std::uint8_t> data, std::uint8_t status);

// A command frame taken off the line.
struct HostFrame {
    std::uint8_t code = 0;  // bits 0..6 of the first byte
    std::vector<std::uint8_t> data;
    bool checksumOk = false;
};

// Collects host bytes into command frames. A frame whose bytes stop coming for longer than the
// inter-byte time-out is given up, so that the next byte starts a fresh frame: the host gives up
// on a reader that does not answer and starts over, and a stray byte must not swallow the next
// frame for good.
class FrameAssembler {
  public:
    explicit FrameAssembler(SimTime interByteTimeout);

    // Takes one byte that arrived at `now`; returns the frame once its last byte is in.
    // `gapCounts` false: the byte follows the previous one back to back whatever the clock says,
    // so the gap does not give the partial frame up.
    std::optional<HostFrame> Push(std::uint8_t byte, SimTime now, bool gapCounts = true);

    std::size_t PendingBytes() const { return partial_.size(); }
    // Number of incomplete frames given up after the inter-byte time-out.
    std::size_t DroppedPartials() const { return dropped_; }

  private:
    SimTime interByteTimeout_;
    std::vector<std::uint8_t> partial_;
    SimTime lastByte_ = 0;
    std::size_t dropped_ = 0;
};

}  // namespace quor::sim
