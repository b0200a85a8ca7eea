// Hexadecimal text to bytes and back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorctl {

// Parses pairs of hex digits; spaces, tabs, ':' and '-' between bytes are allowed, as is a
// leading "0x". nullopt for any other character or an odd digit count.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);

// "00 A4 00 0C" (with spaces) or "00A4000C" (without).
std::string ToHex(const std::vector<std::uint8_t>& bytes, bool spaced = true);

// A number in decimal or with a 0x prefix; nullopt when it is not one or exceeds `max`.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max = UINT32_MAX);

}  // namespace quorctl
