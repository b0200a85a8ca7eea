#include "fuzz/harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/processor_card.h"

namespace quor::fuzz {

void Fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "property failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}

Guarded::Guarded(std::size_t size, UCHAR fill) : mem_(size + 2 * kGuard, 0xA5), size_(size) {
    std::fill_n(data(), size, fill);
}

bool Guarded::Intact() const {
    const auto end = mem_.begin() + static_cast<std::ptrdiff_t>(kGuard + size_);
    return std::all_of(mem_.begin(), mem_.begin() + kGuard, [](UCHAR b) { return b == 0xA5; }) &&
           std::all_of(end, mem_.end(), [](UCHAR b) { return b == 0xA5; });
}

void FeedLine::Load(std::span<const UCHAR> bytes) {
    {
        std::lock_guard lock(mu_);
        bytes_.assign(bytes.begin(), bytes.end());
        at_ = 0;
    }
    notifier_.Call();
}

std::size_t FeedLine::Available() {
    std::lock_guard lock(mu_);
    return bytes_.size() - at_;
}

std::size_t FeedLine::Read(std::span<UCHAR> out) {
    std::lock_guard lock(mu_);
    const std::size_t n = std::min(out.size(), bytes_.size() - at_);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, out.begin());
    at_ += n;
    return n;
}

void FeedLine::Purge(ULONG mask) {
    std::lock_guard lock(mu_);
    if (mask & SERIAL_PURGE_RXCLEAR) at_ = bytes_.size();
}

LinkBench& LinkBench::Get() {
    static LinkBench* bench = [] {
        auto* b = new LinkBench;
        test::RigOptions o;
        o.clock = test::ClockMode::Manual;
        o.record = false;
        o.line = [b] {
            auto line = std::make_unique<FeedLine>();
            b->line = line.get();
            return line;
        };
        b->rig = new test::ReaderRig(o);  // kept to the end of the process
        return b;
    }();
    return *bench;
}

DriverBench& DriverBench::Get() {
    static DriverBench* bench = new DriverBench;  // kept to the end of the process
    return *bench;
}

DriverBench::DriverBench() {
    kclock::ResetForTest();
    kclock::SetManual();
    // Every reply comes 100 ms late, so that the key polls of INPUT (which do not pause)
    // move the manual clock towards their time-out.
    sim::ReaderConfig config;
    config.replyLatency = 100'000;
    hosted_ = std::make_unique<test::HostedReader>(std::make_shared<sim::T1Card>(), config);
    FUZZ_CHECK(hosted_->StartStatus() == STATUS_SUCCESS);
    baseIrps_ = IoTestLiveIrps();
}

NTSTATUS DriverBench::Send(ULONG code, std::span<const UCHAR> in, ULONG outLength) {
    const test::HostedReader::Result r = hosted_->Send(code, in, outLength);
    FUZZ_CHECK(r.completions == 1);
    FUZZ_CHECK(r.clean);
    // The display timer's work item may be sending on its own just now: give it a moment.
    for (int i = 0; i < 5000 && IoTestLiveIrps() != baseIrps_; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FUZZ_CHECK(IoTestLiveIrps() == baseIrps_);
    return r.status;
}

}  // namespace quor::fuzz
