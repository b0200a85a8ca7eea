#include "sim/pin_pad.h"

#include "sim/frame.h"
#include "sim/t1_block.h"

namespace quor::sim {

PinFormat PinFormatOf(std::uint8_t p0) {
    PinFormat f;
    f.maxDigits = p0 & 0x0F;
    f.minDigits = (p0 >> 4) & 0x07;
    f.bcd = (p0 & 0x80) != 0;
    return f;
}

std::size_t PinFieldSize(const PinFormat& format) {
    return format.bcd ? (format.maxDigits + 1) / 2 : format.maxDigits;
}

std::vector<std::uint8_t> EncodePin(std::span<const std::uint8_t> digits, const PinFormat& format) {
    const std::size_t n = digits.size() < format.maxDigits ? digits.size() : format.maxDigits;
    std::vector<std::uint8_t> out;
    if (!format.bcd) {
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(static_cast<std::uint8_t>('0' + digits[i]));
        return out;
    }
    for (std::size_t i = 0; i < n; i += 2) {
        const std::uint8_t high = digits[i];
        const std::uint8_t low = i + 1 < n ? digits[i + 1] : 0x0F;
        out.push_back(static_cast<std::uint8_t>((high << 4) | low));
    }
    return out;
}

std::optional<std::size_t> PinWritableSize(std::span<const std::uint8_t> command,
                                           std::uint8_t protocol) {
    if (protocol == kProtocolT0) return command.size();
    if (protocol != kProtocolT1) return std::nullopt;
    if (command.size() < t1::kPrologueSize + 1) return std::nullopt;
    const std::size_t len = command[2];
    if (len > t1::kMaxInfSize) return std::nullopt;
    const std::size_t body = t1::kPrologueSize + len;
    if (command.size() != body + 1 && command.size() != body + 2) return std::nullopt;
    return body;
}

void RefreshEdc(std::vector<std::uint8_t>& block) {
    const std::size_t body = t1::kPrologueSize + block[2];
    const std::span<const std::uint8_t> covered(block.data(), body);
    if (block.size() == body + 1) {
        block[body] = t1::Lrc(covered);
    } else {
        const std::uint16_t crc = t1::Crc(covered);
        block[body] = static_cast<std::uint8_t>(crc >> 8);
        block[body + 1] = static_cast<std::uint8_t>(crc & 0xFF);
    }
}

}  // namespace quor::sim
