// In-process byte line to the reader emulator, on the kernel clock: what the client hosts the
// driver over when it runs an emulated reader. The serial port sees only a byte line.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/serial/line.h"
#include "sim/reader.h"

namespace quor::client {

class SimLine : public quor::serial::ByteLine {
  public:
    explicit SimLine(std::shared_ptr<quor::sim::Reader> reader);
    ~SimLine() override;

    void SetNotify(std::function<void()> notify) override;
    NTSTATUS Open() override {
        Touch();
        return STATUS_SUCCESS;
    }
    void Close() override { Touch(); }
    NTSTATUS Write(std::span<const UCHAR> bytes) override;
    std::size_t Available() override;
    std::size_t Read(std::span<UCHAR> out) override;
    kclock::Ticks NextArrival() override;
    kclock::Ticks ReadableAt(std::size_t count, kclock::Ticks gap) override;
    void Purge(ULONG mask) override;
    NTSTATUS Apply(const quor::serial::LineSettings& settings) override;

    quor::sim::Reader& Reader() { return *reader_; }

    // Time one byte from the host takes to reach the reader (0, the default: no time at all).
    // With a byte time the line has a transmitter with a 16-byte queue, like a UART: a write
    // returns once its bytes are queued, waiting (through the clock) while the queue is full,
    // and the reader gets each byte when it has gone over the line.
    void SetHostByteTime(quor::sim::SimTime byteTime);

    // The emulator's time for a clock reading.
    static quor::sim::SimTime SimNow();

    // True on a thread while it runs the emulator's side of the line (the far end, which the
    // line calls into): lets a test that counts the host's allocations leave the emulator's
    // out.
    static bool InEmulator();

  private:
    static constexpr std::size_t kTxQueue = 16;
    struct TxByte {
        quor::sim::SimTime at;  // when it reaches the reader
        UCHAR value;
        bool backToBack;
    };

    // Marks a host call on the line other than a write.
    void Touch() { lastWasWrite_.store(false, std::memory_order_relaxed); }
    // Hands the queued bytes that have gone over the line to the reader; with txMu_ held.
    void DeliverLocked(quor::sim::SimTime now);
    void Deliver();

    std::shared_ptr<quor::sim::Reader> reader_;
    std::shared_ptr<quor::serial::LineNotifier> notifier_;
    // The host's last call on the line was a write. The driver writes a frame one byte per
    // request, and on this line the time between two such writes is only the host thread's
    // scheduling (a preemption, a page fault), not a silent line: the emulator is told, so that
    // it never gives up a frame the host is still writing. Once the host did something else
    // (read, purged), a gap before its next write counts again.
    std::atomic<bool> lastWasWrite_{false};
    std::mutex mu_;
    bool dtr_ = false;
    bool rts_ = false;

    std::mutex txMu_;
    quor::sim::SimTime hostByteTime_ = 0;
    std::array<TxByte, kTxQueue> tx_{};
    std::size_t txHead_ = 0;
    std::size_t txCount_ = 0;
    quor::sim::SimTime txFreeAt_ = 0;  // when the transmitter has sent all it holds
    std::atomic<bool> txBusy_{false};  // bytes queued (a quick look without the lock)
};

}  // namespace quor::client
