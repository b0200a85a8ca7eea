// The in-process line between the port and the emulated reader: frames written the way the
// driver writes them (one byte per request) and replies that arrive while the port's thread
// is held up.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/serial/port_bench.h"

namespace quor::serial::test {
namespace {

using SimLineFrames = PortBench;
using quor::client::SimLine;

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

// A line that holds the port's thread up right after its next read, as a preemption would.
class StallingLine : public SimLine {
  public:
    using SimLine::SimLine;
    std::size_t Read(std::span<UCHAR> out) override {
        const std::size_t n = SimLine::Read(out);
        kclock::Advance(stall.exchange(0));
        return n;
    }
    std::atomic<Ticks> stall{0};
};

TEST_F(SimLineFrames, BytesThatArriveWhileThePortThreadIsHeldUpAreTakenAtOnce) {
    quor::sim::ReaderConfig cfg;
    cfg.byteTime = 1000;  // the reply's bytes arrive 1, 2, 3 and 4 ms after the frame
    port_.reset();
    reader_ = std::make_shared<quor::sim::Reader>(cfg);
    auto line = std::make_unique<StallingLine>(reader_);
    StallingLine* stalling = line.get();
    port_ = SerialPort::Create(std::move(line));
    SetTimeouts({0, 0, 5000});
    const Ticks start = kclock::Now();
    AskStatus();
    // Once the port's thread sleeps with no wake-up due, the read below wakes it exactly once:
    // it finds no byte yet, and is held up past the whole reply.
    ASSERT_TRUE(Eventually([] { return KeTestWaitingThreads() == 1; }));
    stalling->stall = 10 * kMs;
    auto reply = StartRead(4);
    ASSERT_TRUE(reply->Pended());
    EXPECT_EQ(reply->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(reply->Delivered(), StatusReply());
    EXPECT_EQ(kclock::Now() - start, 10 * kMs) << "the read waited for its time-out";
}

// Under ThreadSanitizer every request costs many times more: fewer frames keep the run short.
#if defined(__SANITIZE_THREAD__)
#define QUOR_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUOR_UNDER_TSAN 1
#endif
#endif
#ifdef QUOR_UNDER_TSAN
constexpr int kStressFrames = 10'000;
#else
constexpr int kStressFrames = 100'000;
#endif

// Status polling at full speed on the real clock, as the keypad input does it: get-status
// frames back to back, each written one byte per request and its reply read as the driver
// reads it (the head, then the rest). Not one reply may go missing, however the threads are
// scheduled.
TEST_F(SimLineFrames, NoReplyIsLostInAStreamOfStatusFrames) {
    kclock::SetReal();
    Build({});
    reader_->SetRecording(false);  // as in use
    port_->SetRecording(false);
    SetTimeouts({1000, 1000, 5000});  // the driver's: a lost reply fails within seconds
    const Bytes frame = StatusCommand();
    const Bytes reply = StatusReply();
    for (int i = 0; i < kStressFrames; ++i) {
        for (UCHAR b : frame) ASSERT_EQ(Write({b}), STATUS_SUCCESS);
        auto head = StartRead(2);
        ASSERT_EQ(head->Wait(), STATUS_SUCCESS) << "no reply to frame " << i;
        auto rest = StartRead(2);
        ASSERT_EQ(rest->Wait(), STATUS_SUCCESS) << "reply to frame " << i << " cut short";
        Bytes got = head->Delivered();
        got.insert(got.end(), rest->out.begin(), rest->out.end());
        ASSERT_EQ(got, reply) << "frame " << i;
    }
    EXPECT_EQ(reader_->FrameCount(), static_cast<std::uint64_t>(kStressFrames));
    EXPECT_EQ(reader_->DroppedPartialFrames(), 0u);
}

}  // namespace
}  // namespace quor::serial::test
