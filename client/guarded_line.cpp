#include "client/guarded_line.h"

namespace quor::client {

GuardedLine::GuardedLine(std::unique_ptr<quor::serial::ByteLine> inner)
    : inner_(std::move(inner)), notifier_(std::make_shared<quor::serial::LineNotifier>()) {
    inner_->SetNotify([n = notifier_] { n->Call(); });
}

void GuardedLine::SetNotify(std::function<void()> notify) { notifier_->Set(std::move(notify)); }

NTSTATUS GuardedLine::Open() {
    if (const NTSTATUS a = aborted_.load()) return a;
    const NTSTATUS status = inner_->Open();
    if (status == STATUS_SUCCESS) {
        std::lock_guard lock(onOpenMu_);
        if (onOpen_) onOpen_();
    }
    return status;
}

void GuardedLine::SetOnOpen(std::function<void()> onOpen) {
    std::lock_guard lock(onOpenMu_);
    onOpen_ = std::move(onOpen);
}

NTSTATUS GuardedLine::Write(std::span<const UCHAR> bytes) {
    if (const NTSTATUS a = aborted_.load()) return a;
    return inner_->Write(bytes);
}

std::size_t GuardedLine::Available() { return aborted_.load() ? 0 : inner_->Available(); }

std::size_t GuardedLine::Read(std::span<UCHAR> out) {
    if (aborted_.load()) return 0;
    const std::size_t n = inner_->Read(out);
    received_ += n;
    return n;
}

kclock::Ticks GuardedLine::NextArrival() {
    return aborted_.load() ? kclock::kInfinite : inner_->NextArrival();
}

kclock::Ticks GuardedLine::ReadableAt(std::size_t count, kclock::Ticks gap) {
    return aborted_.load() ? kclock::kInfinite : inner_->ReadableAt(count, gap);
}

NTSTATUS GuardedLine::Apply(const quor::serial::LineSettings& settings) {
    if (const NTSTATUS a = aborted_.load()) return a;
    return inner_->Apply(settings);
}

NTSTATUS GuardedLine::Health() {
    if (const NTSTATUS a = aborted_.load()) return a;
    return inner_->Health();
}

void GuardedLine::Abort(NTSTATUS status) {
    NTSTATUS none = 0;
    if (!aborted_.compare_exchange_strong(none, status)) return;
    notifier_->Call();  // the port completes its pending reads with the new health
}

}  // namespace quor::client
