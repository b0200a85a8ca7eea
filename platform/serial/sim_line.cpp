#include "platform/serial/sim_line.h"

namespace quor::serial {

SimLine::SimLine(std::shared_ptr<quor::sim::Reader> reader) : reader_(std::move(reader)) {
    reader_->SetChangeCallback([this] { Notify(); });
}

SimLine::~SimLine() { reader_->SetChangeCallback(nullptr); }

quor::sim::SimTime SimLine::SimNow() { return kclock::Now() / kclock::kTicksPerMicrosecond; }

void SimLine::SetNotify(std::function<void()> notify) {
    std::lock_guard<std::mutex> lock(mu_);
    notify_ = std::move(notify);
}

void SimLine::Notify() {
    std::function<void()> notify;
    {
        std::lock_guard<std::mutex> lock(mu_);
        notify = notify_;
    }
    if (notify) notify();
}

NTSTATUS SimLine::Write(std::span<const UCHAR> bytes) {
    reader_->HostWrite(bytes, SimNow());
    Notify();  // the reply may already be on its way
    return STATUS_SUCCESS;
}

std::size_t SimLine::Available() { return reader_->HostAvailable(SimNow()); }

std::size_t SimLine::Read(std::span<UCHAR> out) {
    std::vector<std::uint8_t> got = reader_->HostRead(out.size(), SimNow());
    std::copy(got.begin(), got.end(), out.begin());
    return got.size();
}

kclock::Ticks SimLine::NextArrival() {
    auto next = reader_->NextOutputTime(SimNow());
    if (!next) return kclock::kInfinite;
    return *next * kclock::kTicksPerMicrosecond;
}

void SimLine::Purge(ULONG mask) {
    if (mask & SERIAL_PURGE_RXCLEAR) reader_->HostPurge(SimNow());
}

NTSTATUS SimLine::Apply(const LineSettings& settings) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        changed = settings.Dtr != dtr_ || settings.Rts != rts_;
        dtr_ = settings.Dtr;
        rts_ = settings.Rts;
    }
    if (changed) reader_->SetControlLines(settings.Dtr, settings.Rts, SimNow());
    return STATUS_SUCCESS;
}

}  // namespace quor::serial
