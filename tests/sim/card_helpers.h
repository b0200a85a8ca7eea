// Helpers for the emulated card tests.
#pragma once

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/frame.h"
#include "sim/reader.h"
#include "tests/sim/sim_helpers.h"

namespace quor::sim::testing {

// "00 A4 04 00" -> bytes. Spaces are optional.
inline Bytes Hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') digits += c;
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string ToHex(const std::optional<Bytes>& bytes) {
    if (!bytes) return "(none)";
    std::ostringstream s;
    for (std::uint8_t b : *bytes) {
        static const char* kDigits = "0123456789ABCDEF";
        s << kDigits[b >> 4] << kDigits[b & 0x0F] << ' ';
    }
    return s.str();
}

struct ParsedReply {
    Bytes data;
    std::uint8_t status = 0;
};

// A whole, well-formed reply frame taken apart; nullopt for anything else.
inline std::optional<ParsedReply> ParseReply(const Bytes& frame) {
    if (frame.size() < 3 || (frame[0] != 0x00 && frame[0] != 0x80)) return std::nullopt;
    const std::size_t full = frame[1] + (frame[0] == 0x80 ? 256u : 0u);
    if (full == 0 || frame.size() != full + 3 || XorOf(frame) != 0) return std::nullopt;
    return ParsedReply{Bytes(frame.begin() + 2, frame.begin() + 1 + static_cast<long>(full)),
                       frame[1 + full]};
}

// Sends a card exchange frame and returns the card's answer, or nullopt when the reader reports
// a failure.
inline std::optional<Bytes> ExchangeViaReader(Reader& reader, const Bytes& in) {
    std::optional<ParsedReply> r = ParseReply(Command(reader, kCodeExchange, in));
    if (!r || (r->status & kStatusFailed) != 0) return std::nullopt;
    return r->data;
}

}  // namespace quor::sim::testing
