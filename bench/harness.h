// The benchmarks' bench: the QUOR driver hosted in this process over emulated readers, each on
// a line that can pace both directions like a serial line, requests sent straight to the
// driver's device without allocating, and the meters (process CPU, context switches, heap
// allocations) around them. It builds against the driver as it is and as it was before the
// performance work, so that both are measured by the same code.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "platform/kernel/host.h"
#include "platform/serial/line.h"
#include "platform/serial/port.h"
#include "sim/reader.h"

namespace quor::bench {

// ---- meters ----

// Heap allocations (operator new) of this process while counting is on, leaving out those the
// emulator makes on the far side of the line.
void CountAllocations(bool on);
std::uint64_t Allocations();
// The same with the emulator's own allocations counted too.
std::uint64_t AllAllocations();
// Marks the calling thread as running the emulator's side while it lives.
class FarSide {
  public:
    FarSide();
    ~FarSide();
    FarSide(const FarSide&) = delete;
    FarSide& operator=(const FarSide&) = delete;
};
bool OnFarSide();

struct Usage {
    double cpu = 0;             // seconds of processor time, all threads
    double wall = 0;            // seconds
    std::int64_t switches = 0;  // voluntary and involuntary context switches, all threads
};
Usage Now();
Usage operator-(const Usage& a, const Usage& b);
// Context switches of each thread of the process, by thread id.
std::map<int, std::int64_t> ThreadSwitches();
// The most switches any thread made between two readings, leaving out `except`.
std::int64_t MostSwitchesOfOneThread(const std::map<int, std::int64_t>& before,
                                     const std::map<int, std::int64_t>& after, int except);
int ThreadId();

// ---- the line ----

// An in-process line to an emulated reader. With a host byte time it has a transmitter with a
// 16-byte queue, like a UART: a write returns once its bytes are queued (waiting through the
// clock while the queue is full), and the reader gets each byte when it has crossed the line.
// The reader's own byte time (ReaderConfig::byteTime) paces the other direction.
class PacedLine : public quor::serial::ByteLine {
  public:
    PacedLine(std::shared_ptr<quor::sim::Reader> reader, quor::sim::SimTime hostByteTime);
    ~PacedLine() override;

    void SetNotify(std::function<void()> notify) override;
    NTSTATUS Open() override { return STATUS_SUCCESS; }
    void Close() override {}
    NTSTATUS Write(std::span<const UCHAR> bytes) override;
    std::size_t Available() override;
    std::size_t Read(std::span<UCHAR> out) override;
    kclock::Ticks NextArrival() override;
    // Overrides the line's look-ahead where the line interface has it (it is only a plain
    // function where it does not).
    kclock::Ticks ReadableAt(std::size_t count, kclock::Ticks gap);
    void Purge(ULONG mask) override;
    NTSTATUS Apply(const quor::serial::LineSettings&) override { return STATUS_SUCCESS; }

    // A reply read by a host that waits for its bytes without a port: `count` bytes, sleeping
    // through the clock until they are there. False when none comes for `limit` ticks.
    bool ReadBlocking(std::span<UCHAR> out, kclock::Ticks limit);

  private:
    static constexpr std::size_t kQueue = 16;
    struct TxByte {
        quor::sim::SimTime at;
        UCHAR value;
        bool backToBack;
    };
    void DeliverLocked(quor::sim::SimTime now);
    void Deliver();

    std::shared_ptr<quor::sim::Reader> reader_;
    std::shared_ptr<quor::serial::LineNotifier> notifier_;
    const quor::sim::SimTime hostByteTime_;
    std::mutex txMu_;
    TxByte tx_[kQueue]{};
    std::size_t txHead_ = 0;
    std::size_t txCount_ = 0;
    quor::sim::SimTime txFreeAt_ = 0;
    std::atomic<bool> txBusy_{false};
    std::atomic<bool> lastWasWrite_{false};
};

quor::sim::SimTime SimNow();

// ---- the driver ----

enum class CardKind { T0, T1 };

struct Device {
    std::shared_ptr<quor::sim::Reader> reader;
    PacedLine* line = nullptr;
    std::unique_ptr<quor::serial::SerialPort> port;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT top = nullptr;
    khost::Handle handle = nullptr;
};

// The driver loaded into a host, and its devices.
class Bench {
  public:
    Bench();
    ~Bench();
    // An emulated reader with a card, at the given byte time both ways (0: unpaced), with the
    // driver's device added, started and opened.
    Device& AddReader(CardKind card, quor::sim::SimTime byteTime, bool record = false);

    // A device-control request straight to the device, on buffers of the caller's: no
    // allocation of its own. Returns the status; *information the bytes returned.
    NTSTATUS Ioctl(Device& d, ULONG code, std::span<const UCHAR> in, std::span<UCHAR> out,
                   ULONG_PTR* information = nullptr);
    // Powers the card and selects its protocol; the protocol selected.
    ULONG Ready(Device& d);
    // One APDU under the protocol; the status.
    NTSTATUS Transmit(Device& d, ULONG protocol, std::span<const UCHAR> apdu,
                      ULONG_PTR* responseLength = nullptr);

  private:
    std::unique_ptr<khost::Host> host_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace quor::bench
