#include "sim/frame.h"

#include <stdexcept>

namespace quor::sim {

std::uint8_t XorOf(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes) x ^= b;
    return x;
}

std::vector<std::uint8_t> CommandFrame(std::uint8_t code, std::span<const std::uint8_t> data) {
    if (data.size() > kMaxCommandData) throw std::length_error("command frame data too long");
    std::vector<std::uint8_t> frame;
    frame.reserve(data.size() + 3);
    frame.push_back(static_cast<std::uint8_t>((code & 0x7F) | (data.size() >= 256 ? 0x80 : 0)));
    frame.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(XorOf(frame));
    return frame;
}

std::vector<std::uint8_t> ReplyFrame(std::span<const std::uint8_t> data, std::uint8_t status) {
    if (data.size() > kMaxReplyData) throw std::length_error("reply frame data too long");
    const std::size_t full = data.size() + 1;
    std::vector<std::uint8_t> frame;
    frame.reserve(full + 3);
    frame.push_back(full >= 256 ? 0x80 : 0x00);
    frame.push_back(static_cast<std::uint8_t>(full & 0xFF));
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(status);
    frame.push_back(XorOf(frame));
    return frame;
}

FrameAssembler::FrameAssembler(SimTime interByteTimeout) : interByteTimeout_(interByteTimeout) {}

std::optional<HostFrame> FrameAssembler::Push(std::uint8_t byte, SimTime now, bool gapCounts) {
    if (gapCounts && !partial_.empty() && now - lastByte_ > interByteTimeout_) {
        partial_.clear();
        ++dropped_;
    }
    partial_.push_back(byte);
    lastByte_ = now;
    if (partial_.size() < 2) return std::nullopt;

    const std::size_t n = partial_[1] + ((partial_[0] & 0x80) ? 256u : 0u);
    if (partial_.size() < n + 3) return std::nullopt;

    HostFrame frame;
    frame.code = partial_[0] & 0x7F;
    frame.data.assign(partial_.begin() + 2, partial_.end() - 1);
    frame.checksumOk =
        XorOf(std::span<const std::uint8_t>(partial_).first(partial_.size() - 1)) == byte;
    partial_.clear();
    return frame;
}

}  // namespace quor::sim
