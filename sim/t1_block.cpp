#include "sim/t1_block.h"

#include <algorithm>
#include <stdexcept>

namespace quor::sim::t1 {

Kind KindOf(std::uint8_t pcb) {
    if ((pcb & 0x80) == 0) return Kind::kI;
    return (pcb & 0x40) == 0 ? Kind::kR : Kind::kS;
}

std::uint8_t IPcb(std::uint8_t ns, bool more) {
    return static_cast<std::uint8_t>((ns & 1 ? kPcbNs : 0) | (more ? kPcbMore : 0));
}

std::uint8_t RPcb(std::uint8_t nr, std::uint8_t error) {
    return static_cast<std::uint8_t>(kPcbRBlock | (nr & 1 ? kPcbNr : 0) | (error & 0x03));
}

std::uint8_t SPcb(SType type, bool response) {
    return static_cast<std::uint8_t>(kPcbSBlock | (response ? kPcbSResponse : 0) |
                                     static_cast<std::uint8_t>(type));
}

std::size_t EdcSize(Edc edc) { return edc == Edc::kLrc ? 1 : 2; }

std::uint8_t Lrc(std::span<const std::uint8_t> bytes) {
    std::uint8_t lrc = 0;
    for (std::uint8_t b : bytes) lrc ^= b;
    return lrc;
}

std::uint16_t Crc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

namespace {

void AppendEdc(std::vector<std::uint8_t>& bytes, Edc edc) {
    if (edc == Edc::kLrc) {
        bytes.push_back(Lrc(bytes));
    } else {
        const std::uint16_t crc = Crc(bytes);
        bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
        bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    }
}

}  // namespace

std::vector<std::uint8_t> Encode(const Block& block, Edc edc) {
    if (block.inf.size() > kMaxInfSize) throw std::length_error("T=1 information field too long");
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kPrologueSize + block.inf.size() + 2);
    bytes.push_back(block.nad);
    bytes.push_back(block.pcb);
    bytes.push_back(static_cast<std::uint8_t>(block.inf.size()));
    for (std::uint8_t b : block.inf) bytes.push_back(b);
    AppendEdc(bytes, edc);
    return bytes;
}

Decoded Decode(std::span<const std::uint8_t> bytes, Edc edc) {
    Decoded out;
    const std::size_t edcSize = EdcSize(edc);
    if (bytes.size() < kPrologueSize + edcSize) {
        out.error = DecodeError::kLength;
        return out;
    }
    const std::span<const std::uint8_t> body = bytes.first(bytes.size() - edcSize);
    std::vector<std::uint8_t> expected(body.begin(), body.end());
    AppendEdc(expected, edc);
    if (!std::equal(expected.begin() + static_cast<std::ptrdiff_t>(body.size()), expected.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(body.size()))) {
        out.error = DecodeError::kEdc;
        return out;
    }
    const std::size_t len = body[2];
    if (len > kMaxInfSize || body.size() != kPrologueSize + len) {
        out.error = DecodeError::kLength;
        return out;
    }
    out.block.nad = body[0];
    out.block.pcb = body[1];
    out.block.inf.assign(body.begin() + kPrologueSize, body.end());
    return out;
}

}  // namespace quor::sim::t1
