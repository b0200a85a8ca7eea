// An emulated synchronous memory card behind the reader's T=0 mode.
//
// ATR 3B 02 14 50. The card holds a flat memory and understands two TPDUs in protocol mode T=0;
// the class byte is not looked at:
//   READ BINARY    xx B0 P1 P2 Le       reads Le bytes (00: 256) from address P1-P2;
//                                       answer: the bytes, 90 00
//   UPDATE BINARY  xx D6 P1 P2 Lc data  writes the data at address P1-P2; answer 90 00
// Errors: another INS 6D00; fewer than 5 bytes, a READ with data, an UPDATE without data or with
// a length other than Lc 6700; a range that does not lie wholly in memory 6B00 (nothing
// read or written); an UPDATE touching the write-protected first bytes 6982 (nothing written).
// In T=1 and PPS modes the card does not answer. The memory is kept over power cycles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/emulated_card.h"

namespace quor::sim {

class MemoryCard : public EmulatedCard {
  public:
    // 256 bytes of FF, none protected.
    MemoryCard();
    // Throws std::invalid_argument for an empty memory or more than 65536 bytes.
    explicit MemoryCard(std::vector<std::uint8_t> memory, std::size_t protectedBytes = 0);

    std::vector<std::uint8_t> Memory() const;
    void SetMemory(std::vector<std::uint8_t> memory);
    std::size_t ProtectedBytes() const { return protected_; }

  protected:
    std::optional<std::vector<std::uint8_t>> HandleExchange(
        std::uint8_t protocol, std::span<const std::uint8_t> in) override;

  private:
    std::vector<std::uint8_t> memory_;
    const std::size_t protected_;
};

}  // namespace quor::sim
