// A byte line between the serial port and the line that carries the reader's bytes, which the
// client can watch and cut: it counts the bytes that came from the reader, and once aborted it
// fails every request at once (the port asks the line's health before each one and completes
// pending reads when the line notifies).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/serial/line.h"

namespace quor::client {

class GuardedLine : public quor::serial::ByteLine {
  public:
    explicit GuardedLine(std::unique_ptr<quor::serial::ByteLine> inner);

    void SetNotify(std::function<void()> notify) override;
    NTSTATUS Open() override;
    void Close() override { inner_->Close(); }
    NTSTATUS Write(std::span<const UCHAR> bytes) override;
    std::size_t Available() override;
    std::size_t Read(std::span<UCHAR> out) override;
    kclock::Ticks NextArrival() override;
    kclock::Ticks ReadableAt(std::size_t count, kclock::Ticks gap) override;
    void Purge(ULONG mask) override { inner_->Purge(mask); }
    NTSTATUS Apply(const quor::serial::LineSettings& settings) override;
    NTSTATUS Health() override;

    // Called after each successful open of the inner line (the driver opens its port while it
    // starts the device).
    // Thread-safe; nullptr ends the calls.
    void SetOnOpen(std::function<void()> onOpen);
    // Bytes taken from the line since it was made.
    std::uint64_t BytesReceived() const { return received_.load(); }
    // From now on every request fails with `status`; pending reads end at once.
    void Abort(NTSTATUS status);
    bool Aborted() const { return aborted_.load() != 0; }
    // The status of the inner line's last open, and whether its device is gone for good.
    NTSTATUS InnerHealth() { return inner_->Health(); }

  private:
    std::unique_ptr<quor::serial::ByteLine> inner_;
    std::shared_ptr<quor::serial::LineNotifier> notifier_;
    std::mutex onOpenMu_;
    std::function<void()> onOpen_;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<NTSTATUS> aborted_{0};
};

}  // namespace quor::client
