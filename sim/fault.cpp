#include "sim/fault.h"

#include <stdexcept>
#include <utility>

#include "sim/frame.h"

namespace quor::sim {

namespace {

Fault Make(Fault::Kind kind) {
    Fault f;
    f.kind = kind;
    return f;
}

}  // namespace

Fault Fault::NoReply() { return Make(Kind::kNoReply); }

Fault Fault::BadChecksum() { return Make(Kind::kBadChecksum); }

Fault Fault::FirstByte(std::uint8_t value) {
    Fault f = Make(Kind::kFirstByte);
    f.value = value;
    return f;
}

Fault Fault::Truncate(std::size_t keep) {
    Fault f = Make(Kind::kTruncate);
    f.length = keep;
    return f;
}

Fault Fault::ErrorStatus(std::uint8_t bits) {
    Fault f = Make(Kind::kErrorStatus);
    f.value = static_cast<std::uint8_t>(kStatusFailed | bits);
    return f;
}

Fault Fault::StatusByte(std::uint8_t status) {
    Fault f = Make(Kind::kStatusByte);
    f.value = status;
    return f;
}

Fault Fault::Answer(std::vector<std::uint8_t> data, std::uint8_t status) {
    if (data.size() > kMaxReplyData) throw std::length_error("fault answer too long for a frame");
    Fault f = Make(Kind::kAnswer);
    f.data = std::move(data);
    f.value = status;
    return f;
}

Fault Fault::Delay(SimTime microseconds) {
    Fault f = Make(Kind::kDelay);
    f.delay = microseconds;
    return f;
}

Fault Fault::Noise(std::vector<std::uint8_t> bytes) {
    Fault f = Make(Kind::kNoise);
    f.data = std::move(bytes);
    return f;
}

Fault Fault::Gap(std::size_t after, SimTime microseconds) {
    Fault f = Make(Kind::kGap);
    f.length = after;
    f.delay = microseconds;
    return f;
}

Fault Fault::CardPulled() { return Make(Kind::kCardPulled); }

Fault Fault::Times(int n) const {
    Fault f = *this;
    f.count = n < 0 ? kUntilCleared : n;
    return f;
}

}  // namespace quor::sim
