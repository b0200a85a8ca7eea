#include "client/sim_line.h"

#include <condition_variable>

namespace quor::client {

SimLine::SimLine(std::shared_ptr<quor::sim::Reader> reader)
    : reader_(std::move(reader)), notifier_(std::make_shared<quor::serial::LineNotifier>()) {
    reader_->SetChangeCallback([n = notifier_] { n->Call(); });
}

SimLine::~SimLine() {
    reader_->SetChangeCallback(nullptr);
    notifier_->Set(nullptr);
}

quor::sim::SimTime SimLine::SimNow() { return kclock::Now() / kclock::kTicksPerMicrosecond; }

void SimLine::SetNotify(std::function<void()> notify) { notifier_->Set(std::move(notify)); }

NTSTATUS SimLine::Write(std::span<const UCHAR> bytes) {
    const bool backToBack = lastWasWrite_.exchange(true, std::memory_order_relaxed);
    reader_->HostWrite(bytes, SimNow(), backToBack);
    notifier_->Call();  // the reply may already be on its way
    return STATUS_SUCCESS;
}

std::size_t SimLine::Available() {
    Touch();
    return reader_->HostAvailable(SimNow());
}

std::size_t SimLine::Read(std::span<UCHAR> out) {
    Touch();
    std::vector<std::uint8_t> got = reader_->HostRead(out.size(), SimNow());
    std::copy(got.begin(), got.end(), out.begin());
    return got.size();
}

kclock::Ticks SimLine::NextArrival() {
    Touch();
    auto next = reader_->NextOutputTime(SimNow());
    if (!next || *next >= kclock::kInfinite / kclock::kTicksPerMicrosecond)
        return kclock::kInfinite;
    return *next * kclock::kTicksPerMicrosecond;
}

void SimLine::Purge(ULONG mask) {
    Touch();
    if (mask & SERIAL_PURGE_RXCLEAR) reader_->HostPurge(SimNow());
}

NTSTATUS SimLine::Apply(const quor::serial::LineSettings& settings) {
    Touch();
    // Under the lock, so that the emulator's log shows changes in the order they took effect.
    std::lock_guard<std::mutex> lock(mu_);
    if (settings.Dtr != dtr_ || settings.Rts != rts_) {
        dtr_ = settings.Dtr;
        rts_ = settings.Rts;
        reader_->SetControlLines(dtr_, rts_, SimNow());
    }
    return STATUS_SUCCESS;
}

}  // namespace quor::client
