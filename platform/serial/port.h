// The serial port driver below the reader driver, as a lower device object over a byte line.
//
// It serves IRP_MJ_CREATE and IRP_MJ_CLOSE, IRP_MJ_READ and IRP_MJ_WRITE on the system buffer
// (buffered I/O), the IOCTL_SERIAL_* requests, and Plug and Play and power requests as the
// bottom of a device stack. Reads follow the SERIAL_TIMEOUTS rules on the kernel clock: a read
// completes at once only when every byte asked for is already there; otherwise it answers
// STATUS_PENDING and completes later from the port's own thread, with STATUS_TIMEOUT and the
// count read so far when time runs out. Reads, writes and control requests first ask the line's
// Health(): a line that is gone, or a tty line that no create request has claimed (one whose
// open was refused, say), answers them with its failure status, so the port never pretends to
// work. On request the port records its requests and their bytes (the newest ones only), and
// tests can make requests fail, cut reads short or time them out.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/wdm.h"
#include "platform/serial/line.h"

namespace quor::serial {

struct RequestRecord {
    std::uint64_t number = 0;  // the request's place among all the port has received, from 0
    kclock::Ticks time = 0;    // when the request reached the port
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioctl = 0;                   // device-control code, 0 for others
    std::vector<UCHAR> input;          // control input, or the bytes of a write
    ULONG length = 0;                  // bytes asked for by a read, or written
    NTSTATUS status = STATUS_PENDING;  // final status
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;  // bytes delivered by a read, or control output
    bool pended = false;        // answered STATUS_PENDING and completed later
};

// A fault for the next requests that match.
struct PortFault {
    enum class Kind {
        Fail,       // complete with `status` without carrying the request out
        ShortRead,  // a read ends with `status` once `bytes` bytes are in (its time-outs
                    // still apply), delivering no more than those
        Timeout,    // a read delivers nothing and completes with STATUS_TIMEOUT
    };
    Kind kind = Kind::Fail;
    UCHAR major = IRP_MJ_DEVICE_CONTROL;  // request kind it applies to
    ULONG ioctl = 0;                      // for device control: this code only (0: any)
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG bytes = 0;
    int count = 1;  // requests it applies to; -1 for every one until cleared, 0 for none
    int skip = 0;   // matching requests passed over untouched before it applies

    PortFault After(int requests) const {
        PortFault f = *this;
        f.skip = requests;
        return f;
    }

    static PortFault FailIoctl(ULONG code, NTSTATUS s, int n = 1) {
        return {Kind::Fail, IRP_MJ_DEVICE_CONTROL, code, s, 0, n};
    }
    static PortFault FailMajor(UCHAR major, NTSTATUS s, int n = 1) {
        return {Kind::Fail, major, 0, s, 0, n};
    }
    static PortFault ShortRead(ULONG bytes, NTSTATUS s = STATUS_TIMEOUT, int n = 1) {
        return {Kind::ShortRead, IRP_MJ_READ, 0, s, bytes, n};
    }
    static PortFault ReadTimeout(int n = 1) {
        return {Kind::Timeout, IRP_MJ_READ, 0, STATUS_TIMEOUT, 0, n};
    }
};

class SerialPort {
  public:
    enum class Completion {
        Immediate,    // complete at once whatever can be completed at once
        Asynchronous  // every request pends and completes from the port's thread
    };

    // Creates the port's device object over the line.
    static std::unique_ptr<SerialPort> Create(std::unique_ptr<ByteLine> line,
                                              const char* name = "QuorSerial0");
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    ByteLine& Line() { return *line_; }

    // Settings as the requests left them.
    LineSettings Settings() const;
    SERIAL_TIMEOUTS Timeouts() const;
    ULONG WaitMask() const;
    bool IsOpen() const;

    // Answer to the next IRP_MJ_CREATE requests (0: open normally). The port keeps serving
    // requests after such an answer, as a port opened elsewhere would.
    void SetCreateStatus(NTSTATUS status);
    void SetCompletion(Completion mode);
    void AddFault(const PortFault& fault);
    void ClearFaults();

    // Recording of requests, off until switched on. While on, the port keeps the newest
    // `capacity` requests (at least one): a trace or a test reads them, and memory stays bounded
    // however long the port runs. Switching it off forgets the records.
    static constexpr std::size_t kDefaultRecordCapacity = 65536;
    void SetRecording(bool on, std::size_t capacity = kDefaultRecordCapacity);
    bool Recording() const { return recording_.load(std::memory_order_relaxed); }

    // The requests recorded since recording began or the last clear, oldest first.
    std::vector<RequestRecord> Requests() const;
    void ClearRequests();

  private:
    struct PendingRead;

    SerialPort(std::unique_ptr<ByteLine> line, PDRIVER_OBJECT driver, PDEVICE_OBJECT device);

    static SerialPort* From(PDEVICE_OBJECT device);
    static NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnpPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchOther(PDEVICE_OBJECT device, PIRP irp);
    static void CancelRead(PDEVICE_OBJECT device, PIRP irp);

    NTSTATUS Create(PIRP irp);
    NTSTATUS Close(PIRP irp);
    NTSTATUS Read(PIRP irp);
    NTSTATUS Write(PIRP irp);
    NTSTATUS Control(PIRP irp);
    NTSTATUS ControlNow(ULONG code, PIRP irp, ULONG_PTR& info);

    // Completes `irp` now, or through the port's thread when it must pend.
    NTSTATUS Finish(PIRP irp, std::size_t record, NTSTATUS status, ULONG_PTR info);
    // Numbers the request and keeps `r` while recording; returns the record's index (kNoRecord
    // when nothing was kept).
    static constexpr std::size_t kNoRecord = SIZE_MAX;
    std::size_t Record(RequestRecord&& r);
    void SetOutcome(std::size_t record, NTSTATUS status, ULONG_PTR info, const UCHAR* out,
                    bool pended);
    std::optional<PortFault> TakeFault(UCHAR major, ULONG ioctl);
    void Wake();
    void Worker();
    // The line has news (bytes, a change): the first reads in the queue take what is there,
    // and those that can end are completed on the calling thread.
    void OnLine();
    // With mu_ held: moves the bytes that are there into the first read of the queue and
    // decides whether it ends. Returns the read, taken off the queue, when it ends (its status
    // in `status`); otherwise nullptr, and `wakeAt` is when to look at it again.
    PendingRead* ServiceLocked(NTSTATUS& status, kclock::Ticks& wakeAt);
    void CompleteRead(PendingRead& p, NTSTATUS status);
    void CancelAllReads(NTSTATUS status);
    // Read records come from a free list (mu_ held): a port in steady use allocates none.
    PendingRead* NewReadLocked();
    void FreeRead(PendingRead* p);
    void RemoveReadLocked(PendingRead* p);

    std::unique_ptr<ByteLine> line_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT device_;

    mutable std::mutex mu_;
    LineSettings settings_;
    SERIAL_TIMEOUTS timeouts_{};
    ULONG waitMask_ = 0;
    bool open_ = false;
    NTSTATUS createStatus_ = STATUS_SUCCESS;
    Completion completion_ = Completion::Immediate;
    std::vector<PortFault> faults_;
    std::atomic<bool> recording_{false};
    std::size_t recordCapacity_ = kDefaultRecordCapacity;
    std::deque<RequestRecord> records_;
    std::uint64_t requestCount_ = 0;  // requests received, recorded or not
    std::size_t recordBase_ = 0;      // records dropped or cleared so far, for stable indices

    // Pending reads, oldest first (linked through PendingRead::next), and the free records.
    PendingRead* readHead_ = nullptr;
    PendingRead* readTail_ = nullptr;
    PendingRead* freeReads_ = nullptr;
    std::vector<std::unique_ptr<PendingRead>> readPool_;
    struct DeferredCompletion {
        PIRP irp;
        std::size_t record;
        NTSTATUS status;
        ULONG_PTR info;
    };
    // Two lists that trade places, so both keep their room.
    std::vector<DeferredCompletion> deferred_;
    std::vector<DeferredCompletion> deferredWork_;
    KEVENT wake_;
    // When the port's thread next looks at the reads by itself (kInfinite: only when woken);
    // a change that needs it sooner wakes it.
    kclock::Ticks workerWakeAt_ = kclock::kInfinite;
    // A silence this long between incoming bytes ends a burst (see IdleWakeLocked).
    static constexpr kclock::Ticks kBurstGap = 5 * kclock::kTicksPerMillisecond;
    kclock::Ticks IdleWakeLocked();
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace quor::serial
