// What the fuzz targets share: a property check that stops the run, caller buffers between
// guard bytes, a byte line that serves the fuzzer's bytes, the driver's link over such a line,
// and the whole driver hosted over the reader emulator. Everything runs on the manual clock, so
// time-outs cost no real time; each target checks that an input took bounded clock time.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/serial/line.h"
#include "sim/reader.h"
#include "tests/support/hosted.h"
#include "tests/support/rig.h"

namespace quor::fuzz {

using Bytes = std::vector<UCHAR>;

[[noreturn]] void Fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(c) ((c) ? void(0) : ::quor::fuzz::Fail(#c, __FILE__, __LINE__))

// A caller's buffer of `size` bytes with guard bytes on both sides.
class Guarded {
  public:
    explicit Guarded(std::size_t size, UCHAR fill = 0xEE);
    UCHAR* data() { return mem_.data() + kGuard; }
    std::size_t size() const { return size_; }
    bool Intact() const;

  private:
    static constexpr std::size_t kGuard = 16;
    std::vector<UCHAR> mem_;
    std::size_t size_;
};

// Fails the run when the clock moved more than `limit` since it was made.
class ClockBudget {
  public:
    explicit ClockBudget(kclock::Ticks limit) : start_(kclock::Now()), limit_(limit) {}
    ~ClockBudget() { FUZZ_CHECK(kclock::Now() - start_ <= limit_); }

  private:
    kclock::Ticks start_, limit_;
};

// Serves the bytes it was loaded with, all there at once; then nothing more comes, and a read
// waits out its time-out. Writes are taken and dropped.
class FeedLine : public serial::ByteLine {
  public:
    void Load(std::span<const UCHAR> bytes);
    void SetNotify(std::function<void()> notify) override { notifier_.Set(std::move(notify)); }
    NTSTATUS Open() override { return STATUS_SUCCESS; }
    void Close() override {}
    NTSTATUS Write(std::span<const UCHAR>) override { return STATUS_SUCCESS; }
    std::size_t Available() override;
    std::size_t Read(std::span<UCHAR> out) override;
    kclock::Ticks NextArrival() override { return kclock::kInfinite; }
    void Purge(ULONG mask) override;
    NTSTATUS Apply(const serial::LineSettings&) override { return STATUS_SUCCESS; }

  private:
    std::mutex mu_;
    Bytes bytes_;
    std::size_t at_ = 0;
    serial::LineNotifier notifier_;
};

// The driver's records over a port over a FeedLine, as device start leaves them. One per
// process.
struct LinkBench {
    static LinkBench& Get();
    test::ReaderRig* rig;
    FeedLine* line;
};

// The driver hosted over the emulator with a T=1 card, started, with no handle open (so no
// polling thread runs). One per process.
class DriverBench {
  public:
    static DriverBench& Get();
    sim::Reader& Reader() { return hosted_->Reader(); }

    // Sends one device-control request and checks that it completed exactly once, wrote
    // nothing outside the caller's output and left no IRP behind.
    NTSTATUS Send(ULONG code, std::span<const UCHAR> in, ULONG outLength);

  private:
    DriverBench();
    std::unique_ptr<test::HostedReader> hosted_;
    LONG baseIrps_ = 0;
};

}  // namespace quor::fuzz
