#include "tools/quorctl/hex.h"

namespace quorctl {

namespace {

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Separator(char c) { return c == ' ' || c == '\t' || c == ':' || c == '-'; }

}  // namespace

std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && Separator(text[i])) ++i;
    if (text.size() - i >= 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    std::vector<std::uint8_t> out;
    out.reserve((text.size() - i + 1) / 2);
    int high = -1;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (Separator(c)) {
            if (high >= 0) return std::nullopt;  // a lone digit before a separator
            continue;
        }
        int d = Digit(c);
        if (d < 0) return std::nullopt;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

std::string ToHex(const std::vector<std::uint8_t>& bytes, bool spaced) {
    static const char* kDigits = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i > 0) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 0x0F];
    }
    return s;
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
    if (text.empty()) return std::nullopt;
    std::uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    for (char c : text) {
        int d = Digit(c);
        if (d < 0 || static_cast<std::uint64_t>(d) >= base) return std::nullopt;
        value = value * base + static_cast<std::uint64_t>(d);
        if (value > max) return std::nullopt;
    }
    return value;
}

}  // namespace quorctl
