#include "sim/card.h"

#include <utility>

namespace quor::sim {

std::optional<std::vector<std::uint8_t>> Card::Exchange(std::uint8_t /*protocol*/,
                                                        std::span<const std::uint8_t> /*in*/) {
    return std::nullopt;
}

AtrCard::AtrCard(std::vector<std::uint8_t> atr) : atr_(std::move(atr)) {}

void AtrCard::PowerOn() {
    ++powerOns_;
    powered_ = true;
}

void AtrCard::PowerOff() {
    ++powerOffs_;
    powered_ = false;
}

}  // namespace quor::sim
