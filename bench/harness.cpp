#include "bench/harness.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "client/sim_line.h"
#include "driver/driver.h"
#include "platform/kernel/clock.h"
#include "platform/smclib/smclib.h"
#include "sim/processor_card.h"

// The replacements below pair malloc with free; GCC, seeing operator new inlined into its
// callers here, would take every delete of them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// ---- counting allocator ----

namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::uint64_t> g_allAllocations{0};
thread_local int t_farSide = 0;

// The client's in-process line marks its calls into the emulator, where it has the mark.
template <class L = quor::client::SimLine>
bool InClientEmulator() {
    if constexpr (requires { L::InEmulator(); }) {
        return L::InEmulator();
    } else {
        return false;
    }
}

void* Allocate(std::size_t n) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allAllocations.fetch_add(1, std::memory_order_relaxed);
        if (t_farSide == 0 && !InClientEmulator()) {
            g_allocations.fetch_add(1, std::memory_order_relaxed);
        }
    }
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace quor::bench {

void CountAllocations(bool on) { g_counting.store(on); }
std::uint64_t Allocations() { return g_allocations.load(); }
std::uint64_t AllAllocations() { return g_allAllocations.load(); }
FarSide::FarSide() { ++t_farSide; }
FarSide::~FarSide() { --t_farSide; }
bool OnFarSide() { return t_farSide > 0; }

// ---- meters ----

Usage Now() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    Usage u;
    u.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    u.switches = ru.ru_nvcsw + ru.ru_nivcsw;
    u.wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return u;
}

Usage operator-(const Usage& a, const Usage& b) {
    return Usage{a.cpu - b.cpu, a.wall - b.wall, a.switches - b.switches};
}

int ThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

std::map<int, std::int64_t> ThreadSwitches() {
    std::map<int, std::int64_t> out;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return out;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char path[300];
        std::snprintf(path, sizeof(path), "/proc/self/task/%s/status", e->d_name);
        FILE* f = std::fopen(path, "r");
        if (f == nullptr) continue;
        char line[256];
        std::int64_t n = 0;
        while (std::fgets(line, sizeof(line), f) != nullptr) {
            long long v = 0;
            if (std::sscanf(line, "voluntary_ctxt_switches: %lld", &v) == 1 ||
                std::sscanf(line, "nonvoluntary_ctxt_switches: %lld", &v) == 1) {
                n += v;
            }
        }
        std::fclose(f);
        out[std::atoi(e->d_name)] = n;
    }
    ::closedir(dir);
    return out;
}

std::int64_t MostSwitchesOfOneThread(const std::map<int, std::int64_t>& before,
                                     const std::map<int, std::int64_t>& after, int except) {
    std::int64_t most = 0;
    for (const auto& [tid, n] : after) {
        if (tid == except) continue;
        auto it = before.find(tid);
        most = std::max(most, n - (it == before.end() ? 0 : it->second));
    }
    return most;
}

// ---- the line ----

quor::sim::SimTime SimNow() { return kclock::Now() / kclock::kTicksPerMicrosecond; }

namespace {

kclock::Ticks ToTicks(quor::sim::SimTime t) {
    if (t >= kclock::kInfinite / kclock::kTicksPerMicrosecond) return kclock::kInfinite;
    return t * kclock::kTicksPerMicrosecond;
}

// The emulator's look-ahead, where it has one.
template <class R>
std::optional<quor::sim::SimTime> ReadableTime(R& reader, std::size_t count, quor::sim::SimTime gap,
                                               quor::sim::SimTime now) {
    if constexpr (requires { reader.ReadableTime(count, gap, now); }) {
        return reader.ReadableTime(count, gap, now);
    } else {
        return reader.NextOutputTime(now);
    }
}

template <class R>
std::size_t HostRead(R& reader, std::span<UCHAR> out, quor::sim::SimTime now) {
    if constexpr (requires { reader.HostRead(out, now); }) {
        return reader.HostRead(out, now);
    } else {
        auto got = reader.HostRead(out.size(), now);
        std::copy(got.begin(), got.end(), out.begin());
        return got.size();
    }
}

}  // namespace

PacedLine::PacedLine(std::shared_ptr<quor::sim::Reader> reader, quor::sim::SimTime hostByteTime)
    : reader_(std::move(reader)),
      notifier_(std::make_shared<quor::serial::LineNotifier>()),
      hostByteTime_(hostByteTime) {
    reader_->SetChangeCallback([n = notifier_] { n->Call(); });
}

PacedLine::~PacedLine() {
    reader_->SetChangeCallback(nullptr);
    notifier_->Set(nullptr);
}

void PacedLine::SetNotify(std::function<void()> notify) { notifier_->Set(std::move(notify)); }

void PacedLine::DeliverLocked(quor::sim::SimTime now) {
    while (txCount_ > 0 && tx_[txHead_].at <= now) {
        const TxByte& b = tx_[txHead_];
        {
            FarSide side;
            reader_->HostWrite(std::span<const UCHAR>(&b.value, 1), b.at, b.backToBack);
        }
        txHead_ = (txHead_ + 1) % kQueue;
        --txCount_;
    }
    txBusy_.store(txCount_ > 0, std::memory_order_relaxed);
}

void PacedLine::Deliver() {
    if (!txBusy_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(txMu_);
    DeliverLocked(SimNow());
}

NTSTATUS PacedLine::Write(std::span<const UCHAR> bytes) {
    const bool backToBack = lastWasWrite_.exchange(true, std::memory_order_relaxed);
    if (hostByteTime_ == 0) {
        {
            FarSide side;
            reader_->HostWrite(bytes, SimNow(), backToBack);
        }
        notifier_->Call();
        return STATUS_SUCCESS;
    }
    std::unique_lock<std::mutex> lock(txMu_);
    for (UCHAR value : bytes) {
        quor::sim::SimTime now = SimNow();
        DeliverLocked(now);
        while (txCount_ == kQueue) {
            const quor::sim::SimTime wait = tx_[txHead_].at - now;
            lock.unlock();
            kclock::Pause(wait * kclock::kTicksPerMicrosecond, kclock::PauseKind::Delay);
            lock.lock();
            now = SimNow();
            DeliverLocked(now);
        }
        // Bytes of one write, or of writes back to back, reach the reader as one frame.
        const quor::sim::SimTime start = std::max(now, txFreeAt_);
        tx_[(txHead_ + txCount_) % kQueue] =
            TxByte{start + hostByteTime_, value, backToBack || txFreeAt_ >= now};
        ++txCount_;
        txFreeAt_ = start + hostByteTime_;
        txBusy_.store(true, std::memory_order_relaxed);
    }
    lock.unlock();
    notifier_->Call();
    return STATUS_SUCCESS;
}

std::size_t PacedLine::Available() {
    lastWasWrite_.store(false, std::memory_order_relaxed);
    Deliver();
    FarSide side;
    return reader_->HostAvailable(SimNow());
}

std::size_t PacedLine::Read(std::span<UCHAR> out) {
    lastWasWrite_.store(false, std::memory_order_relaxed);
    Deliver();
    FarSide side;
    return HostRead(*reader_, out, SimNow());
}

kclock::Ticks PacedLine::NextArrival() {
    Deliver();
    kclock::Ticks next = kclock::kInfinite;
    {
        FarSide side;
        if (auto t = reader_->NextOutputTime(SimNow())) next = ToTicks(*t);
    }
    if (txBusy_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(txMu_);
        if (txCount_ > 0) next = std::min(next, ToTicks(tx_[txHead_].at));
    }
    return next;
}

kclock::Ticks PacedLine::ReadableAt(std::size_t count, kclock::Ticks gap) {
    Deliver();
    kclock::Ticks at = kclock::kInfinite;
    {
        FarSide side;
        if (auto t = ReadableTime(*reader_, count, gap / kclock::kTicksPerMicrosecond, SimNow())) {
            at = ToTicks(*t);
        }
    }
    if (txBusy_.load(std::memory_order_relaxed)) {
        // Bytes still going to the reader: their reply cannot start before the last is in.
        std::lock_guard<std::mutex> lock(txMu_);
        if (txCount_ > 0) at = std::min(at, ToTicks(tx_[(txHead_ + txCount_ - 1) % kQueue].at));
    }
    return at;
}

void PacedLine::Purge(ULONG mask) {
    Deliver();
    FarSide side;
    if (mask & SERIAL_PURGE_RXCLEAR) reader_->HostPurge(SimNow());
}

bool PacedLine::ReadBlocking(std::span<UCHAR> out, kclock::Ticks limit) {
    std::size_t got = 0;
    kclock::Ticks lastProgress = kclock::Now();
    while (got < out.size()) {
        const kclock::Ticks due = ReadableAt(out.size() - got, 0);
        const std::size_t n = Read(out.subspan(got));
        const kclock::Ticks now = kclock::Now();
        if (n > 0) {
            got += n;
            lastProgress = now;
            continue;
        }
        if (now - lastProgress > limit) return false;
        const kclock::Ticks wait = due == kclock::kInfinite ? kclock::kTicksPerMillisecond
                                                            : std::max<kclock::Ticks>(due - now, 0);
        kclock::Pause(wait, kclock::PauseKind::Delay);
    }
    return true;
}

// ---- the driver ----

Bench::Bench() : host_(std::make_unique<khost::Host>()) {
    driver_ = host_->LoadDriver("quor", DriverEntry);
    if (driver_ == nullptr) throw std::runtime_error("the driver did not load");
}

Bench::~Bench() {
    for (auto& d : devices_) {
        host_->Close(d->handle);
        host_->Remove(d->pdo);
    }
    host_.reset();
    devices_.clear();
}

Device& Bench::AddReader(CardKind card, quor::sim::SimTime byteTime, bool record) {
    quor::sim::ReaderConfig config;
    config.byteTime = byteTime;
    auto d = std::make_unique<Device>();
    d->reader = std::make_shared<quor::sim::Reader>(config);
    if (card == CardKind::T0) {
        d->reader->InsertCard(std::make_shared<quor::sim::T0Card>());
    } else {
        d->reader->InsertCard(std::make_shared<quor::sim::T1Card>());
    }
    d->reader->SetRecording(record);
    auto line = std::make_unique<PacedLine>(d->reader, byteTime);
    d->line = line.get();
    const std::string name = "QuorBench" + std::to_string(devices_.size());
    d->port = quor::serial::SerialPort::Create(std::move(line), name.c_str());
    d->pdo = d->port->Device();
    PDEVICE_OBJECT fdo = nullptr;
    if (!NT_SUCCESS(host_->AddDevice(driver_, d->pdo, &fdo)) || !NT_SUCCESS(host_->Start(d->pdo)) ||
        !NT_SUCCESS(host_->Open(d->pdo, &d->handle))) {
        throw std::runtime_error("the device did not start");
    }
    d->top = host_->TopOf(d->pdo);
    devices_.push_back(std::move(d));
    return *devices_.back();
}

NTSTATUS Bench::Ioctl(Device& d, ULONG code, std::span<const UCHAR> in, std::span<UCHAR> out,
                      ULONG_PTR* information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, d.top, in.empty() ? nullptr : const_cast<UCHAR*>(in.data()),
        static_cast<ULONG>(in.size()), out.empty() ? nullptr : out.data(),
        static_cast<ULONG>(out.size()), FALSE, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(d.top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
    if (information != nullptr) *information = iosb.Information;
    return status;
}

ULONG Bench::Ready(Device& d) {
    UCHAR in[4] = {SCARD_COLD_RESET, 0, 0, 0};
    UCHAR out[64];
    if (Ioctl(d, IOCTL_SMARTCARD_POWER, in, out) != STATUS_SUCCESS) {
        throw std::runtime_error("the card did not power up");
    }
    const ULONG mask = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    std::memcpy(in, &mask, 4);
    ULONG_PTR n = 0;
    if (Ioctl(d, IOCTL_SMARTCARD_SET_PROTOCOL, in, std::span<UCHAR>(out, 4), &n) !=
        STATUS_SUCCESS) {
        throw std::runtime_error("no protocol");
    }
    ULONG selected = 0;
    std::memcpy(&selected, out, 4);
    return selected;
}

NTSTATUS Bench::Transmit(Device& d, ULONG protocol, std::span<const UCHAR> apdu,
                         ULONG_PTR* responseLength) {
    UCHAR in[8 + 300];
    UCHAR out[8 + 300];
    SCARD_IO_REQUEST header{protocol, 8};
    std::memcpy(in, &header, 8);
    std::memcpy(in + 8, apdu.data(), apdu.size());
    ULONG_PTR n = 0;
    const NTSTATUS s =
        Ioctl(d, IOCTL_SMARTCARD_TRANSMIT, std::span<const UCHAR>(in, 8 + apdu.size()),
              std::span<UCHAR>(out, 8 + 260), &n);
    if (responseLength != nullptr) *responseLength = n >= 8 ? n - 8 : 0;
    return s;
}

}  // namespace quor::bench
