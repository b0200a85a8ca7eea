// In-process byte line to the reader emulator, on the kernel clock: what the client hosts the
// driver over when it runs an emulated reader. The serial port sees only a byte line.
#pragma once

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
    NTSTATUS Open() override { return STATUS_SUCCESS; }
    void Close() override {}
    NTSTATUS Write(std::span<const UCHAR> bytes) override;
    std::size_t Available() override;
    std::size_t Read(std::span<UCHAR> out) override;
    kclock::Ticks NextArrival() override;
    void Purge(ULONG mask) override;
    NTSTATUS Apply(const quor::serial::LineSettings& settings) override;

    quor::sim::Reader& Reader() { return *reader_; }

    // The emulator's time for a clock reading.
    static quor::sim::SimTime SimNow();

  private:
    // The port's notify function, shared with the emulator's change callback: the emulator may
    // still be calling a copy of that callback while the line goes away.

    std::shared_ptr<quor::sim::Reader> reader_;
    std::shared_ptr<quor::serial::LineNotifier> notifier_;
    std::mutex mu_;
    bool dtr_ = false;
    bool rts_ = false;
};

}  // namespace quor::client
