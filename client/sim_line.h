// In-process byte line to the reader emulator, on the kernel clock: what the client hosts the
// driver over when it runs an emulated reader. The serial port sees only a byte line.
#pragma once

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

    // The emulator's time for a clock reading.
    static quor::sim::SimTime SimNow();

    // True on a thread while it runs the emulator's side of the line (the far end, which the
    // line calls into): lets a test that counts the host's allocations leave the emulator's
    // out.
    static bool InEmulator();

  private:
    // Marks a host call on the line other than a write.
    void Touch() { lastWasWrite_.store(false, std::memory_order_relaxed); }

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
};

}  // namespace quor::client
