#include "client/sim_line.h"

#include <algorithm>

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

void SimLine::SetHostByteTime(quor::sim::SimTime byteTime) {
    std::lock_guard<std::mutex> lock(txMu_);
    hostByteTime_ = byteTime;
}

void SimLine::DeliverLocked(quor::sim::SimTime now) {
    while (txCount_ > 0 && tx_[txHead_].at <= now) {
        const TxByte& b = tx_[txHead_];
        {
            EmulatorSide side;
            reader_->HostWrite(std::span<const UCHAR>(&b.value, 1), b.at, b.backToBack);
        }
        txHead_ = (txHead_ + 1) % kTxQueue;
        --txCount_;
    }
    txBusy_.store(txCount_ > 0, std::memory_order_relaxed);
}

void SimLine::Deliver() {
    if (!txBusy_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(txMu_);
    DeliverLocked(SimNow());
}

NTSTATUS SimLine::Write(std::span<const UCHAR> bytes) {
    const bool backToBack = lastWasWrite_.exchange(true, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(txMu_);
    if (hostByteTime_ == 0) {
        lock.unlock();
        {
            EmulatorSide side;
            reader_->HostWrite(bytes, SimNow(), backToBack);
        }
        notifier_->Call();  // the reply may already be on its way
        return STATUS_SUCCESS;
    }
    for (UCHAR value : bytes) {
        quor::sim::SimTime now = SimNow();
        DeliverLocked(now);
        while (txCount_ == kTxQueue) {
            // The queue is full: wait until its first byte has gone.
            const quor::sim::SimTime wait = tx_[txHead_].at - now;
            lock.unlock();
            kclock::Pause(wait * kclock::kTicksPerMicrosecond, kclock::PauseKind::Delay);
            lock.lock();
            now = SimNow();
            DeliverLocked(now);
        }
        // A byte that follows the one before without a pause of the transmitter, or written
        // straight after the host's previous write, belongs to the same frame.
        const bool busy = txFreeAt_ >= now;
        const quor::sim::SimTime start = std::max(now, txFreeAt_);
        tx_[(txHead_ + txCount_) % kTxQueue] =
            TxByte{start + hostByteTime_, value, busy || backToBack};
        ++txCount_;
        txFreeAt_ = start + hostByteTime_;
        txBusy_.store(true, std::memory_order_relaxed);
    }
    lock.unlock();
    notifier_->Call();  // the port looks at when the reply can come
    return STATUS_SUCCESS;
}

std::size_t SimLine::Available() {
    Touch();
    Deliver();
    EmulatorSide side;
    return reader_->HostAvailable(SimNow());
}

std::size_t SimLine::Read(std::span<UCHAR> out) {
    Touch();
    Deliver();
    EmulatorSide side;
    return reader_->HostRead(out, SimNow());
}

kclock::Ticks SimLine::NextArrival() {
    Touch();
    Deliver();
    kclock::Ticks next = kclock::kInfinite;
    {
        EmulatorSide side;
        if (auto t = reader_->NextOutputTime(SimNow())) next = ToTicks(*t);
    }
    if (txBusy_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(txMu_);
        if (txCount_ > 0) next = std::min(next, ToTicks(tx_[txHead_].at));
    }
    return next;
}

kclock::Ticks SimLine::ReadableAt(std::size_t count, kclock::Ticks gap) {
    Touch();
    Deliver();
    kclock::Ticks at = kclock::kInfinite;
    {
        EmulatorSide side;
        if (auto t = reader_->ReadableTime(count, gap / kclock::kTicksPerMicrosecond, SimNow())) {
            at = ToTicks(*t);
        }
    }
    if (txBusy_.load(std::memory_order_relaxed)) {
        // Bytes still going to the reader: their reply cannot start before the last is in.
        std::lock_guard<std::mutex> lock(txMu_);
        if (txCount_ > 0) {
            at = std::min(at, ToTicks(tx_[(txHead_ + txCount_ - 1) % kTxQueue].at));
        }
    }
    return at;
}

void SimLine::Purge(ULONG mask) {
    Touch();
    if (mask & SERIAL_PURGE_TXCLEAR) {
        std::lock_guard<std::mutex> lock(txMu_);
        txCount_ = 0;
        txBusy_.store(false, std::memory_order_relaxed);
    }
    Deliver();
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
