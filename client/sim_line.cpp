#include "client/sim_line.h"

namespace quor::client {

namespace {

thread_local int t_inEmulator = 0;

// Marks the calling thread as running the emulator's side while it lives.
class EmulatorSide {
  public:
    EmulatorSide() { ++t_inEmulator; }
    ~EmulatorSide() { --t_inEmulator; }
    EmulatorSide(const EmulatorSide&) = delete;
    EmulatorSide& operator=(const EmulatorSide&) = delete;
};

kclock::Ticks ToTicks(quor::sim::SimTime t) {
    if (t >= kclock::kInfinite / kclock::kTicksPerMicrosecond) return kclock::kInfinite;
    return t * kclock::kTicksPerMicrosecond;
}

}  // namespace

bool SimLine::InEmulator() { return t_inEmulator > 0; }

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
    {
        EmulatorSide side;
        reader_->HostWrite(bytes, SimNow(), backToBack);
    }
    notifier_->Call();  // the reply may already be on its way
    return STATUS_SUCCESS;
}

std::size_t SimLine::Available() {
    Touch();
    EmulatorSide side;
    return reader_->HostAvailable(SimNow());
}

std::size_t SimLine::Read(std::span<UCHAR> out) {
    Touch();
    EmulatorSide side;
    return reader_->HostRead(out, SimNow());
}

kclock::Ticks SimLine::NextArrival() {
    Touch();
    EmulatorSide side;
    auto next = reader_->NextOutputTime(SimNow());
    return next ? ToTicks(*next) : kclock::kInfinite;
}

kclock::Ticks SimLine::ReadableAt(std::size_t count, kclock::Ticks gap) {
    Touch();
    EmulatorSide side;
    auto at = reader_->ReadableTime(count, gap / kclock::kTicksPerMicrosecond, SimNow());
    return at ? ToTicks(*at) : kclock::kInfinite;
}

void SimLine::Purge(ULONG mask) {
    Touch();
    EmulatorSide side;
    if (mask & SERIAL_PURGE_RXCLEAR) reader_->HostPurge(SimNow());
}

NTSTATUS SimLine::Apply(const quor::serial::LineSettings& settings) {
    Touch();
    // Under the lock, so that the emulator's log shows changes in the order they took effect.
    std::lock_guard<std::mutex> lock(mu_);
    if (settings.Dtr != dtr_ || settings.Rts != rts_) {
        dtr_ = settings.Dtr;
        rts_ = settings.Rts;
        EmulatorSide side;
        reader_->SetControlLines(dtr_, rts_, SimNow());
    }
    return STATUS_SUCCESS;
}

}  // namespace quor::client
