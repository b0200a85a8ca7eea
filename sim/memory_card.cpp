#include "sim/memory_card.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "sim/frame.h"

namespace quor::sim {

namespace {

std::vector<std::uint8_t> Sw(std::uint8_t sw1, std::uint8_t sw2) { return {sw1, sw2}; }

void CheckSize(const std::vector<std::uint8_t>& memory) {
    if (memory.empty() || memory.size() > 65536) {
        throw std::invalid_argument("memory of 1 to 65536 bytes");
    }
}

}  // namespace

MemoryCard::MemoryCard() : MemoryCard(std::vector<std::uint8_t>(256, 0xFF)) {}

MemoryCard::MemoryCard(std::vector<std::uint8_t> memory, std::size_t protectedBytes)
    : EmulatedCard({0x3B, 0x02, 0x14, 0x50}),
      memory_(std::move(memory)),
      protected_(protectedBytes) {
    CheckSize(memory_);
}

std::vector<std::uint8_t> MemoryCard::Memory() const {
    std::lock_guard lock(mu_);
    return memory_;
}

void MemoryCard::SetMemory(std::vector<std::uint8_t> memory) {
    CheckSize(memory);
    std::lock_guard lock(mu_);
    memory_ = std::move(memory);
}

std::optional<std::vector<std::uint8_t>> MemoryCard::HandleExchange(
    std::uint8_t protocol, std::span<const std::uint8_t> in) {
    if (protocol != kProtocolT0) return std::nullopt;
    if (in.size() < 5) return Sw(0x67, 0x00);
    const std::uint8_t ins = in[1];
    const std::size_t address = static_cast<std::size_t>((in[2] << 8) | in[3]);
    const std::size_t p3 = in[4];
    switch (ins) {
        case 0xB0: {
            if (in.size() != 5) return Sw(0x67, 0x00);
            const std::size_t n = p3 == 0 ? 256 : p3;
            if (address + n > memory_.size()) return Sw(0x6B, 0x00);
            const auto from = memory_.begin() + static_cast<std::ptrdiff_t>(address);
            std::vector<std::uint8_t> answer(from, from + static_cast<std::ptrdiff_t>(n));
            answer.insert(answer.end(), {0x90, 0x00});
            return answer;
        }
        case 0xD6:
            if (p3 == 0 || in.size() != 5 + p3) return Sw(0x67, 0x00);
            if (address + p3 > memory_.size()) return Sw(0x6B, 0x00);
            if (address < protected_) return Sw(0x69, 0x82);
            std::copy(in.begin() + 5, in.end(),
                      memory_.begin() + static_cast<std::ptrdiff_t>(address));
            return Sw(0x90, 0x00);
        default:
            return Sw(0x6D, 0x00);
    }
}

}  // namespace quor::sim
