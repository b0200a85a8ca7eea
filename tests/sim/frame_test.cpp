#include "sim/frame.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/sim/sim_helpers.h"

namespace quor::sim {
namespace {

using testing::Bytes;

TEST(sim_ReplyFrame, LongFramesUseMarker80) {
    struct Case {
        std::size_t n;
        std::uint8_t marker, length;
    };
    for (const Case& c : {Case{254, 0x00, 0xFF}, Case{255, 0x80, 0x00}, Case{510, 0x80, 0xFF}}) {
        const Bytes frame = ReplyFrame(Bytes(c.n, 0x5A), 0x40);
        ASSERT_EQ(frame.size(), c.n + 4) << c.n;
        EXPECT_EQ(frame[0], c.marker) << c.n;
        EXPECT_EQ(frame[1], c.length) << c.n;
        EXPECT_EQ(XorOf(frame), 0) << c.n;  // the checksum makes the whole frame XOR to 0
    }
    EXPECT_THROW(ReplyFrame(Bytes(511, 0), 0x40), std::length_error);
}

}  // namespace
}  // namespace quor::sim
