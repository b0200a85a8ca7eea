#include "platform/serial/port.h"

#include <algorithm>
#include <cstring>

namespace quor::serial {

struct SerialPort::PendingRead {
    PendingRead* next = nullptr;  // in the queue or the free list
    PIRP irp;
    std::size_t record;
    ULONG length;
    ULONG got = 0;
    ULONG target = 0;                        // bytes that end the read (fewer under ShortRead)
    NTSTATUS targetStatus = STATUS_SUCCESS;  // status once `target` bytes are in
    kclock::Ticks totalDeadline = kclock::kInfinite;
    kclock::Ticks interval = 0;  // 0: no interval time-out
    kclock::Ticks lastByte = 0;
    bool anyByteEnds = false;  // return as soon as one byte is there
    bool atOnce = false;       // return with whatever is there, without waiting
    std::optional<PortFault> fault;
};

namespace {

constexpr ULONG kMaxUlong = 0xFFFFFFFF;

// Clock arithmetic that saturates at kInfinite instead of overflowing: time-outs of up to
// 0xFFFFFFFF x 0xFFFFFFFF milliseconds, and clock readings close to the end of the range.
kclock::Ticks MsToTicks(std::uint64_t ms) {
    constexpr auto kMaxMs =
        static_cast<std::uint64_t>(kclock::kInfinite / kclock::kTicksPerMillisecond);
    return ms >= kMaxMs ? kclock::kInfinite
                        : static_cast<kclock::Ticks>(ms) * kclock::kTicksPerMillisecond;
}

kclock::Ticks After(kclock::Ticks t, kclock::Ticks d) {
    return d >= kclock::kInfinite - t ? kclock::kInfinite : t + d;
}

struct PortExtension {
    SerialPort* port;
};

}  // namespace

SerialPort* SerialPort::From(PDEVICE_OBJECT device) {
    return static_cast<PortExtension*>(device->DeviceExtension)->port;
}

std::unique_ptr<SerialPort> SerialPort::Create(std::unique_ptr<ByteLine> line, const char* name) {
    PDRIVER_OBJECT driver = IoTestCreateDriverObject(name);
    if (driver == nullptr) return nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT,
                                   0, FALSE, &device))) {
        IoTestDeleteDriverObject(driver);
        return nullptr;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnpPower;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPnpPower;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOther;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchOther;
    device->Flags = (device->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    std::unique_ptr<SerialPort> port(new SerialPort(std::move(line), driver, device));
    static_cast<PortExtension*>(device->DeviceExtension)->port = port.get();
    return port;
}

SerialPort::SerialPort(std::unique_ptr<ByteLine> line, PDRIVER_OBJECT driver, PDEVICE_OBJECT device)
    : line_(std::move(line)), driver_(driver), device_(device) {
    KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
    line_->SetNotify([this] { OnLine(); });
    worker_ = std::thread([this] { Worker(); });
}

SerialPort::~SerialPort() {
    line_->SetNotify(nullptr);
    CancelAllReads(STATUS_CANCELLED);
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    Wake();
    worker_.join();
    IoDeleteDevice(device_);
    IoTestDeleteDriverObject(driver_);
}

LineSettings SerialPort::Settings() const {
    std::lock_guard<std::mutex> lock(mu_);
    return settings_;
}

SERIAL_TIMEOUTS SerialPort::Timeouts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return timeouts_;
}

ULONG SerialPort::WaitMask() const {
    std::lock_guard<std::mutex> lock(mu_);
    return waitMask_;
}

bool SerialPort::IsOpen() const {
    std::lock_guard<std::mutex> lock(mu_);
    return open_;
}

void SerialPort::SetCreateStatus(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(mu_);
    createStatus_ = status;
}

void SerialPort::SetCompletion(Completion mode) {
    std::lock_guard<std::mutex> lock(mu_);
    completion_ = mode;
}

void SerialPort::AddFault(const PortFault& fault) {
    if (fault.count == 0) return;  // applies to no request
    std::lock_guard<std::mutex> lock(mu_);
    faults_.push_back(fault);
}

void SerialPort::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.clear();
}

void SerialPort::SetRecording(bool on, std::size_t capacity) {
    std::lock_guard<std::mutex> lock(mu_);
    recording_.store(on, std::memory_order_relaxed);
    recordCapacity_ = std::max<std::size_t>(capacity, 1);
    if (!on) {
        recordBase_ += records_.size();
        records_.clear();
    }
    while (records_.size() > recordCapacity_) {
        records_.pop_front();
        ++recordBase_;
    }
}

std::vector<RequestRecord> SerialPort::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return {records_.begin(), records_.end()};
}

void SerialPort::ClearRequests() {
    std::lock_guard<std::mutex> lock(mu_);
    recordBase_ += records_.size();
    records_.clear();
}

std::size_t SerialPort::Record(RequestRecord&& r) {
    std::lock_guard<std::mutex> lock(mu_);
    r.number = requestCount_++;
    if (!recording_.load(std::memory_order_relaxed)) return kNoRecord;
    records_.push_back(std::move(r));
    if (records_.size() > recordCapacity_) {
        // A ring: the oldest record goes. A request still pending for it finds no record.
        records_.pop_front();
        ++recordBase_;
    }
    return recordBase_ + records_.size() - 1;
}

void SerialPort::SetOutcome(std::size_t record, NTSTATUS status, ULONG_PTR info, const UCHAR* out,
                            bool pended) {
    std::lock_guard<std::mutex> lock(mu_);
    if (record == kNoRecord || record < recordBase_ || record - recordBase_ >= records_.size()) {
        return;
    }
    RequestRecord& r = records_[record - recordBase_];
    r.status = status;
    r.information = info;
    r.pended = pended;
    // A write's system buffer holds the bytes written, not output.
    if (r.major != IRP_MJ_WRITE && out != nullptr && info > 0 && !NT_ERROR(status)) {
        r.output.assign(out, out + info);
    }
}

std::optional<PortFault> SerialPort::TakeFault(UCHAR major, ULONG ioctl) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->major != major) continue;
        if (major == IRP_MJ_DEVICE_CONTROL && it->ioctl != 0 && it->ioctl != ioctl) continue;
        if (it->skip > 0) {
            --it->skip;
            return std::nullopt;
        }
        PortFault f = *it;
        if (it->count > 0 && --it->count == 0) faults_.erase(it);
        return f;
    }
    return std::nullopt;
}

void SerialPort::Wake() { KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE); }

NTSTATUS SerialPort::Finish(PIRP irp, std::size_t record, NTSTATUS status, ULONG_PTR info) {
    bool async;
    {
        std::lock_guard<std::mutex> lock(mu_);
        async = completion_ == Completion::Asynchronous;
        if (async) {
            // Marked before the port's thread can see it: once queued it may be completed
            // and freed at any moment.
            IoMarkIrpPending(irp);
            deferred_.push_back({irp, record, status, info});
        }
    }
    if (async) {
        Wake();
        return STATUS_PENDING;
    }
    const UCHAR* out = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    SetOutcome(record, status, info, out, false);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- dispatch ----

NTSTATUS SerialPort::DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    return From(device)->Create(irp);
}
NTSTATUS SerialPort::DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    return From(device)->Close(irp);
}
NTSTATUS SerialPort::DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    return From(device)->Read(irp);
}
NTSTATUS SerialPort::DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    return From(device)->Write(irp);
}
NTSTATUS SerialPort::DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    return From(device)->Control(irp);
}

NTSTATUS SerialPort::DispatchPnpPower(PDEVICE_OBJECT device, PIRP irp) {
    SerialPort* self = From(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    RequestRecord r;
    r.time = kclock::Now();
    r.major = sp->MajorFunction;
    r.minor = sp->MinorFunction;
    std::size_t rec = self->Record(std::move(r));
    NTSTATUS status = STATUS_SUCCESS;
    if (auto f = self->TakeFault(sp->MajorFunction, 0)) status = f->status;
    return self->Finish(irp, rec, status, irp->IoStatus.Information);
}

NTSTATUS SerialPort::DispatchOther(PDEVICE_OBJECT device, PIRP irp) {
    SerialPort* self = From(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    RequestRecord r;
    r.time = kclock::Now();
    r.major = sp->MajorFunction;
    std::size_t rec = self->Record(std::move(r));
    return self->Finish(irp, rec, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::Create(PIRP irp) {
    RequestRecord r;
    r.time = kclock::Now();
    r.major = IRP_MJ_CREATE;
    std::size_t rec = Record(std::move(r));
    NTSTATUS status = STATUS_SUCCESS;
    if (auto f = TakeFault(IRP_MJ_CREATE, 0)) {
        status = f->status;
    } else {
        std::unique_lock<std::mutex> lock(mu_);
        if (createStatus_ != STATUS_SUCCESS) {
            status = createStatus_;
        } else if (open_) {
            status = STATUS_ACCESS_DENIED;  // exclusive use
        } else {
            lock.unlock();
            status = line_->Open();
            lock.lock();
            if (NT_SUCCESS(status)) open_ = true;
        }
    }
    return Finish(irp, rec, status, 0);
}

NTSTATUS SerialPort::Close(PIRP irp) {
    RequestRecord r;
    r.time = kclock::Now();
    r.major = IRP_MJ_CLOSE;
    std::size_t rec = Record(std::move(r));
    CancelAllReads(STATUS_CANCELLED);
    bool wasOpen;
    {
        std::lock_guard<std::mutex> lock(mu_);
        wasOpen = open_;
        open_ = false;
    }
    if (wasOpen) line_->Close();
    return Finish(irp, rec, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::Write(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG n = sp->Parameters.Write.Length;
    const auto* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    RequestRecord r;
    r.time = kclock::Now();
    r.major = IRP_MJ_WRITE;
    r.length = n;
    if (Recording() && data != nullptr && n > 0) r.input.assign(data, data + n);
    std::size_t rec = Record(std::move(r));
    if (auto f = TakeFault(IRP_MJ_WRITE, 0)) return Finish(irp, rec, f->status, 0);
    NTSTATUS status = line_->Health();
    if (NT_SUCCESS(status) && n > 0) {
        if (data == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = line_->Write(std::span<const UCHAR>(data, n));
        }
    }
    return Finish(irp, rec, status, NT_SUCCESS(status) ? n : 0);
}

NTSTATUS SerialPort::Read(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG n = sp->Parameters.Read.Length;
    auto* buf = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    RequestRecord r;
    r.time = kclock::Now();
    r.major = IRP_MJ_READ;
    r.length = n;
    std::size_t rec = Record(std::move(r));

    std::optional<PortFault> fault = TakeFault(IRP_MJ_READ, 0);
    if (fault && fault->kind == PortFault::Kind::Fail) return Finish(irp, rec, fault->status, 0);
    NTSTATUS health = line_->Health();
    if (!NT_SUCCESS(health)) return Finish(irp, rec, health, 0);
    if (n > 0 && buf == nullptr) return Finish(irp, rec, STATUS_INVALID_PARAMETER, 0);

    SERIAL_TIMEOUTS t;
    bool complete = false;
    std::size_t got = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        t = timeouts_;
        // At once only when every byte asked for is there, and no earlier read is waiting
        // for bytes that would otherwise be handed to this one.
        if (!fault && completion_ == Completion::Immediate && readHead_ == nullptr &&
            line_->Available() >= n) {
            if (n > 0) got = line_->Read(std::span<UCHAR>(buf, n));
            complete = true;
        }
    }
    if (complete) return Finish(irp, rec, STATUS_SUCCESS, got);

    PendingRead* p;
    {
        std::lock_guard<std::mutex> lock(mu_);
        p = NewReadLocked();
    }
    p->irp = irp;
    p->record = rec;
    p->length = n;
    p->target = n;
    p->fault = fault;
    if (fault && fault->kind == PortFault::Kind::ShortRead) {
        p->target = std::min(n, fault->bytes);
        p->targetStatus = fault->status;
    }
    const kclock::Ticks now = kclock::Now();
    p->lastByte = now;
    if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        p->atOnce = true;  // whatever is there, at once
    } else if (t.ReadIntervalTimeout == kMaxUlong && t.ReadTotalTimeoutMultiplier == kMaxUlong &&
               t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxUlong) {
        p->anyByteEnds = true;
        p->totalDeadline = After(now, MsToTicks(t.ReadTotalTimeoutConstant));
    } else {
        // Multiplier x bytes + constant, in 64 bits: at most (2^32 - 1) x 2^32, no overflow.
        const std::uint64_t totalMs = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * n +
                                      t.ReadTotalTimeoutConstant;
        if (totalMs > 0) p->totalDeadline = After(now, MsToTicks(totalMs));
        if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxUlong) {
            p->interval = MsToTicks(t.ReadIntervalTimeout);
        }
    }

    IoMarkIrpPending(irp);
    // The cancel routine is put in place and the read queued in one step under the cancel
    // spin lock, so that IoCancelIrp either finds the routine and the read in the queue, or
    // has set Cancel before and the read is completed here.
    bool cancelled = false;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        cancelled = true;
    } else {
        std::lock_guard<std::mutex> lock(mu_);
        IoSetCancelRoutine(irp, CancelRead);
        if (readTail_ != nullptr) {
            readTail_->next = p;
        } else {
            readHead_ = p;
        }
        readTail_ = p;
    }
    IoReleaseCancelSpinLock(irql);
    if (cancelled) {
        FreeRead(p);
        SetOutcome(rec, STATUS_CANCELLED, 0, nullptr, true);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    // Bytes may have come since the look above: the read takes them now, or learns when its
    // time runs out.
    OnLine();
    return STATUS_PENDING;
}

SerialPort::PendingRead* SerialPort::NewReadLocked() {
    if (freeReads_ == nullptr) {
        readPool_.push_back(std::make_unique<PendingRead>());
        return readPool_.back().get();
    }
    PendingRead* p = freeReads_;
    freeReads_ = p->next;
    *p = PendingRead{};
    return p;
}

void SerialPort::FreeRead(PendingRead* p) {
    std::lock_guard<std::mutex> lock(mu_);
    p->next = freeReads_;
    freeReads_ = p;
}

void SerialPort::RemoveReadLocked(PendingRead* p) {
    PendingRead* prev = nullptr;
    for (PendingRead* q = readHead_; q != nullptr; prev = q, q = q->next) {
        if (q != p) continue;
        if (prev != nullptr) {
            prev->next = q->next;
        } else {
            readHead_ = q->next;
        }
        if (readTail_ == q) readTail_ = prev;
        q->next = nullptr;
        return;
    }
}

void SerialPort::CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    SerialPort* self = From(device);
    PendingRead* found = nullptr;
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        for (PendingRead* q = self->readHead_; q != nullptr; q = q->next) {
            if (q->irp == irp) {
                found = q;
                break;
            }
        }
        if (found != nullptr) self->RemoveReadLocked(found);
    }
    if (found != nullptr) {
        self->CompleteRead(*found, STATUS_CANCELLED);
        self->FreeRead(found);
    }
    self->Wake();  // the next read in the queue may go on
}

void SerialPort::CompleteRead(PendingRead& p, NTSTATUS status) {
    SetOutcome(p.record, status, p.got,
               static_cast<const UCHAR*>(p.irp->AssociatedIrp.SystemBuffer), true);
    p.irp->IoStatus.Status = status;
    p.irp->IoStatus.Information = p.got;
    IoCompleteRequest(p.irp, IO_NO_INCREMENT);
}

void SerialPort::CancelAllReads(NTSTATUS status) {
    PendingRead* taken = nullptr;  // in queue order, linked through next
    PendingRead* takenTail = nullptr;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (PendingRead* q = readHead_; q != nullptr;) {
            PendingRead* next = q->next;
            // A read whose cancel routine is already under way is left to that routine.
            if (IoSetCancelRoutine(q->irp, nullptr) != nullptr) {
                RemoveReadLocked(q);
                if (takenTail != nullptr) {
                    takenTail->next = q;
                } else {
                    taken = q;
                }
                takenTail = q;
            }
            q = next;
        }
    }
    while (taken != nullptr) {
        PendingRead* next = taken->next;
        CompleteRead(*taken, status);
        FreeRead(taken);
        taken = next;
    }
}

NTSTATUS SerialPort::Control(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLen = sp->Parameters.DeviceIoControl.InputBufferLength;
    const auto* in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    RequestRecord r;
    r.time = kclock::Now();
    r.major = IRP_MJ_DEVICE_CONTROL;
    r.ioctl = code;
    if (Recording() && in != nullptr && inLen > 0) r.input.assign(in, in + inLen);
    std::size_t rec = Record(std::move(r));
    if (auto f = TakeFault(IRP_MJ_DEVICE_CONTROL, code)) return Finish(irp, rec, f->status, 0);
    ULONG_PTR info = 0;
    NTSTATUS status = line_->Health();
    if (NT_SUCCESS(status)) status = ControlNow(code, irp, info);
    return Finish(irp, rec, status, NT_ERROR(status) ? 0 : info);
}

NTSTATUS SerialPort::ControlNow(ULONG code, PIRP irp, ULONG_PTR& info) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG inLen = sp->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLen = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buf = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);

    auto input = [&](void* dst, ULONG size) {
        if (inLen < size || buf == nullptr) return false;
        std::memcpy(dst, buf, size);
        return true;
    };
    auto output = [&](const void* src, ULONG size) {
        if (outLen < size || buf == nullptr) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buf, src, size);
        info = size;
        return STATUS_SUCCESS;
    };

    std::unique_lock<std::mutex> lock(mu_);
    LineSettings next = settings_;
    bool apply = false;
    switch (code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            SERIAL_BAUD_RATE b;
            if (!input(&b, sizeof(b))) return STATUS_BUFFER_TOO_SMALL;
            if (b.BaudRate == 0) return STATUS_INVALID_PARAMETER;
            next.BaudRate = b.BaudRate;
            apply = true;
            break;
        }
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            if (!input(&next.LineControl, sizeof(next.LineControl))) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            if (next.LineControl.WordLength < 5 || next.LineControl.WordLength > 8 ||
                next.LineControl.StopBits > STOP_BITS_2 || next.LineControl.Parity > SPACE_PARITY) {
                return STATUS_INVALID_PARAMETER;
            }
            apply = true;
            break;
        case IOCTL_SERIAL_SET_CHARS:
            if (!input(&next.Chars, sizeof(next.Chars))) return STATUS_BUFFER_TOO_SMALL;
            apply = true;
            break;
        case IOCTL_SERIAL_SET_HANDFLOW:
            if (!input(&next.HandFlow, sizeof(next.HandFlow))) return STATUS_BUFFER_TOO_SMALL;
            apply = true;
            break;
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            SERIAL_TIMEOUTS t;
            if (!input(&t, sizeof(t))) return STATUS_BUFFER_TOO_SMALL;
            timeouts_ = t;
            return STATUS_SUCCESS;
        }
        case IOCTL_SERIAL_GET_TIMEOUTS:
            return output(&timeouts_, sizeof(timeouts_));
        case IOCTL_SERIAL_SET_BREAK_ON:
        case IOCTL_SERIAL_SET_BREAK_OFF:
            next.Break = code == IOCTL_SERIAL_SET_BREAK_ON;
            apply = true;
            break;
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR:
            next.Dtr = code == IOCTL_SERIAL_SET_DTR;
            apply = true;
            break;
        case IOCTL_SERIAL_SET_RTS:
        case IOCTL_SERIAL_CLR_RTS:
            next.Rts = code == IOCTL_SERIAL_SET_RTS;
            apply = true;
            break;
        case IOCTL_SERIAL_SET_WAIT_MASK:
            if (!input(&waitMask_, sizeof(waitMask_))) return STATUS_BUFFER_TOO_SMALL;
            return STATUS_SUCCESS;
        case IOCTL_SERIAL_GET_WAIT_MASK:
            return output(&waitMask_, sizeof(waitMask_));
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            return inLen >= 8 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
        case IOCTL_SERIAL_GET_BAUD_RATE: {
            SERIAL_BAUD_RATE b{settings_.BaudRate};
            return output(&b, sizeof(b));
        }
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            return output(&settings_.LineControl, sizeof(settings_.LineControl));
        case IOCTL_SERIAL_GET_CHARS:
            return output(&settings_.Chars, sizeof(settings_.Chars));
        case IOCTL_SERIAL_GET_HANDFLOW:
            return output(&settings_.HandFlow, sizeof(settings_.HandFlow));
        case IOCTL_SERIAL_GET_DTRRTS: {
            ULONG v =
                (settings_.Dtr ? SERIAL_DTR_STATE : 0) | (settings_.Rts ? SERIAL_RTS_STATE : 0);
            return output(&v, sizeof(v));
        }
        case IOCTL_SERIAL_PURGE: {
            ULONG mask;
            if (!input(&mask, sizeof(mask))) return STATUS_BUFFER_TOO_SMALL;
            if (mask & ~0xFu) return STATUS_INVALID_PARAMETER;
            lock.unlock();
            if (mask & SERIAL_PURGE_RXABORT) CancelAllReads(STATUS_CANCELLED);
            line_->Purge(mask);
            return STATUS_SUCCESS;
        }
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (apply) {
        lock.unlock();
        NTSTATUS s = line_->Apply(next);
        if (!NT_SUCCESS(s)) return s;
        lock.lock();
        settings_ = next;
    }
    return STATUS_SUCCESS;
}

// ---- reads: the hand-off from the line ----

SerialPort::PendingRead* SerialPort::ServiceLocked(NTSTATUS& status, kclock::Ticks& wakeAt) {
    wakeAt = kclock::kInfinite;
    PendingRead* front = readHead_;
    if (front == nullptr) return nullptr;
    PendingRead& p = *front;
    const kclock::Ticks now = kclock::Now();
    auto* buf = static_cast<UCHAR*>(p.irp->AssociatedIrp.SystemBuffer);
    bool finished = false;
    if (p.fault && p.fault->kind == PortFault::Kind::Timeout) {
        status = STATUS_TIMEOUT;
        finished = true;
    } else {
        // When the missing bytes are due is asked before reading, never after: a line reports
        // only bytes still under way, so bytes that came between a read and a later question
        // would be reported nowhere, and the read would sleep until its time-out with its bytes
        // there. Asked first, a byte due by the read is either taken by it or makes the wait
        // below end at once.
        const kclock::Ticks due =
            p.got < p.target ? line_->ReadableAt(p.target - p.got, p.interval) : kclock::kInfinite;
        if (p.got < p.target) {
            std::size_t got = line_->Read(std::span<UCHAR>(buf + p.got, p.target - p.got));
            if (got > 0) {
                p.got += static_cast<ULONG>(got);
                p.lastByte = now;
            }
        }
        const NTSTATUS health = line_->Health();
        if (p.got >= p.target || (p.anyByteEnds && p.got > 0)) {
            status = p.targetStatus;
            finished = true;
        } else if (p.atOnce) {
            status = STATUS_SUCCESS;
            finished = true;
        } else if (!NT_SUCCESS(health)) {
            status = health;
            finished = true;
        } else if (now >= p.totalDeadline ||
                   (p.interval > 0 && p.got > 0 && now - p.lastByte >= p.interval)) {
            status = STATUS_TIMEOUT;
            finished = true;
        } else {
            wakeAt = p.totalDeadline;
            if (p.interval > 0 && p.got > 0) {
                wakeAt = std::min(wakeAt, After(p.lastByte, p.interval));
            }
            wakeAt = std::min(wakeAt, due);
        }
    }
    if (!finished) return nullptr;
    if (IoSetCancelRoutine(p.irp, nullptr) == nullptr) {
        // The cancel routine owns it; it wakes the port's thread when it is done.
        wakeAt = kclock::kInfinite;
        return nullptr;
    }
    RemoveReadLocked(front);
    return front;
}

void SerialPort::OnLine() {
    for (;;) {
        PendingRead* done;
        NTSTATUS status = STATUS_SUCCESS;
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (readHead_ == nullptr) return;  // nobody waits for bytes: nothing to hand over
            if (completion_ == Completion::Asynchronous || stopping_) {
                // Every completion comes from the port's thread in this mode.
                wake = true;
                done = nullptr;
            } else {
                kclock::Ticks wakeAt;
                done = ServiceLocked(status, wakeAt);
                // Still waiting: the port's thread keeps its time-outs, and needs waking only
                // when this read must be looked at sooner than it planned.
                if (done == nullptr && wakeAt < workerWakeAt_) {
                    workerWakeAt_ = wakeAt;
                    wake = true;
                }
            }
        }
        if (done == nullptr) {
            // Signalled once the lock is free: the woken thread takes it first thing, and would
            // otherwise run only to block on it.
            if (wake) Wake();
            return;
        }
        CompleteRead(*done, status);
        FreeRead(done);
        // The next read in the queue may have its bytes too.
    }
}

// ---- the port's own thread ----

kclock::Ticks SerialPort::IdleWakeLocked() {
    // With no read waiting while a burst of bytes is still coming in (the rest of a reply
    // whose head was just read), the next read is most likely for that burst. Planning to
    // look when the burst is in means that read finds the thread already set to wake in time,
    // instead of waking it only to have it go back to sleep until then. On a manual clock a
    // wait of this thread moves time forward, so there it waits for reads only.
    if (kclock::GetMode() == kclock::Mode::Manual) return kclock::kInfinite;
    const kclock::Ticks now = kclock::Now();
    const kclock::Ticks at = line_->ReadableAt(SIZE_MAX, kBurstGap);
    return at > now ? at : kclock::kInfinite;
}

void SerialPort::Worker() {
    // Read time-outs are this thread's own waits: on a manual clock it moves time forward to
    // them when nothing else happens.
    kclock::SetThreadDriven(false);
    for (;;) {
        PendingRead* done = nullptr;
        NTSTATUS doneStatus = STATUS_SUCCESS;
        kclock::Ticks wakeAt = kclock::kInfinite;
        {
            std::lock_guard<std::mutex> lock(mu_);
            deferredWork_.swap(deferred_);  // deferred completions first (asynchronous mode)
            if (stopping_ && readHead_ == nullptr && deferredWork_.empty()) return;
        }
        for (auto& d : deferredWork_) {
            SetOutcome(d.record, d.status, d.info,
                       static_cast<const UCHAR*>(d.irp->AssociatedIrp.SystemBuffer), true);
            d.irp->IoStatus.Status = d.status;
            d.irp->IoStatus.Information = d.info;
            IoCompleteRequest(d.irp, IO_NO_INCREMENT);
        }
        const bool hadDeferred = !deferredWork_.empty();
        deferredWork_.clear();
        {
            std::lock_guard<std::mutex> lock(mu_);
            done = ServiceLocked(doneStatus, wakeAt);
            if (done == nullptr && readHead_ == nullptr) wakeAt = IdleWakeLocked();
            workerWakeAt_ = done != nullptr || hadDeferred ? 0 : wakeAt;
        }
        if (done != nullptr) {
            CompleteRead(*done, doneStatus);
            FreeRead(done);
            continue;
        }
        if (hadDeferred) continue;
        LARGE_INTEGER timeout;
        timeout.QuadPart = wakeAt;
        KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE,
                              wakeAt == kclock::kInfinite ? nullptr : &timeout);
        std::lock_guard<std::mutex> lock(mu_);
        workerWakeAt_ = 0;  // awake: it looks at the reads before it sleeps again
    }
}

}  // namespace quor::serial
