// The in-process line between the port and the emulated reader: frames written the way the
// driver writes them (one byte per request) and replies that arrive while the port's thread
// is held up.
#include <gtest/gtest.h>

#include "tests/serial/port_bench.h"

namespace quor::serial::test {
namespace {

using SimLineFrames = PortBench;

constexpr Ticks kSecond = kclock::kTicksPerSecond;

TEST_F(SimLineFrames, AFrameWrittenByteByByteIsGivenUpOnlyAfterTheHostMovedOn) {
    SetTimeouts({0, 0, 5000});
    const Bytes frame = StatusCommand();
    struct Case {
        const char* name;
        bool readBetween;  // the host reads (and so gives its frame up) after two bytes
    };
    // Between the bytes the clock moves on by a second, far beyond the reader's inter-byte
    // time-out: on this line that is the writing thread held up, not a silent line.
    for (const Case c :
         {Case{"held up between the bytes", false}, Case{"a read after two bytes", true}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Write({frame[0]}), STATUS_SUCCESS);
        kclock::Advance(kSecond);
        ASSERT_EQ(Write({frame[1]}), STATUS_SUCCESS);
        kclock::Advance(kSecond);
        if (c.readBetween) {
            EXPECT_EQ(StartRead(4)->Wait(), STATUS_TIMEOUT);
            // The host starts over with a whole frame: the abandoned bytes must not spoil it.
            ASSERT_EQ(Write({frame[0]}), STATUS_SUCCESS);
            ASSERT_EQ(Write({frame[1]}), STATUS_SUCCESS);
        }
        ASSERT_EQ(Write({frame[2]}), STATUS_SUCCESS);
        auto reply = StartRead(4);
        EXPECT_EQ(reply->Wait(), STATUS_SUCCESS);
        EXPECT_EQ(reply->Delivered(), StatusReply());
    }
}

}  // namespace
}  // namespace quor::serial::test
