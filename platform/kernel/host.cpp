#include "platform/kernel/host.h"

#include <algorithm>
#include <chrono>

namespace khost {

struct HandleState {
    PDEVICE_OBJECT pdo = nullptr;
    FILE_OBJECT file{};
    int outstanding = 0;  // requests sent on the handle and not yet delivered
};

// ---- Request ----

Request::~Request() = default;

bool Request::Done() const {
    std::lock_guard<std::mutex> lock(mu_);
    return done_;
}

bool Request::Wait(int milliseconds) {
    std::unique_lock<std::mutex> lock(mu_);
    if (milliseconds < 0) {
        cv_.wait(lock, [&] { return done_; });
        return true;
    }
    return cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return done_; });
}

void Request::Cancel() {
    PIRP irp;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (done_ || irp_ == nullptr) return;
        irp = irp_;
        cancelling_++;
    }
    // The IRP stays allocated until the host has delivered the completion (and no cancel is
    // under way), so cancelling a request that completes meanwhile is harmless.
    IoCancelIrp(irp);
    {
        std::lock_guard<std::mutex> lock(mu_);
        cancelling_--;
    }
    cv_.notify_all();
}

NTSTATUS Request::Status() const {
    std::lock_guard<std::mutex> lock(mu_);
    return status_;
}

ULONG_PTR Request::Information() const {
    std::lock_guard<std::mutex> lock(mu_);
    return information_;
}

ULONG_PTR Request::OutputLengthLocked() const {
    return NT_ERROR(status_) ? 0 : std::min<ULONG_PTR>(information_, output_.size());
}

std::vector<UCHAR> Request::Output() const {
    std::lock_guard<std::mutex> lock(mu_);
    return {output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(OutputLengthLocked())};
}

void Request::TakeOutput(std::vector<UCHAR>* output) {
    std::lock_guard<std::mutex> lock(mu_);
    output_.resize(OutputLengthLocked());
    *output = std::move(output_);
    output_.clear();
}

int Request::Completions() const {
    std::lock_guard<std::mutex> lock(mu_);
    return completions_;
}

void Request::OnIoComplete(PIRP irp, PVOID context) {
    auto* self = static_cast<Request*>(context);
    {
        std::lock_guard<std::mutex> lock(self->mu_);
        self->completions_++;
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
    }
    // What the caller does with the result happens on the host's delivery thread.
    self->host_->Forget(self);
}

// ---- Host ----

Host::Host() {
    delivery_ = std::thread([this] { DeliveryThread(); });
}

Host::~Host() {
    {
        std::unique_lock<std::mutex> lock(mu_);
        // Requests still in flight are given a moment to finish.
        deliveryCv_.wait_for(lock, std::chrono::seconds(5),
                             [&] { return inFlight_.empty() && deliveries_.empty(); });
        stopping_ = true;
    }
    deliveryCv_.notify_all();
    delivery_.join();
    for (PDRIVER_OBJECT d : std::vector<PDRIVER_OBJECT>(drivers_)) UnloadDriver(d);
}

PDRIVER_OBJECT Host::LoadDriver(const char* name, DriverEntryFn entry) {
    PDRIVER_OBJECT driver = IoTestCreateDriverObject(name);
    if (driver == nullptr) return nullptr;
    if (!NT_SUCCESS(entry(driver, nullptr))) {
        IoTestDeleteDriverObject(driver);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mu_);
    drivers_.push_back(driver);
    return driver;
}

void Host::UnloadDriver(PDRIVER_OBJECT driver) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = std::find(drivers_.begin(), drivers_.end(), driver);
        if (it == drivers_.end()) return;
        drivers_.erase(it);
    }
    if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
    IoUnregisterMessageTable(driver);
    IoTestDeleteDriverObject(driver);
}

PDEVICE_OBJECT Host::TopOf(PDEVICE_OBJECT pdo) { return IoGetAttachedDevice(pdo); }

bool Host::Removed(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = devices_.find(pdo);
    return it == devices_.end() || it->second.removed;
}

NTSTATUS Host::SendSync(PDEVICE_OBJECT top, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
    IoCallDriver(top, irp);
    // The I/O manager's completion sets the event whether the request pended or not.
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    return iosb->Status;
}

NTSTATUS Host::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, PDEVICE_OBJECT* fdo) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    PDEVICE_OBJECT before = IoGetAttachedDevice(pdo);
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    if (fdo != nullptr) *fdo = NT_SUCCESS(status) && top != before ? top : nullptr;
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> lock(mu_);
        devices_[pdo] = DeviceState{top, false, false, 0};
    }
    return status;
}

NTSTATUS Host::SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = TopOf(pdo);
    PIRP irp = IoBuildPnpPowerRequest(top, IRP_MJ_PNP, minor, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return SendSync(top, irp, &done, &iosb);
}

NTSTATUS Host::Start(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    return SendPnp(pdo, IRP_MN_START_DEVICE);
}

NTSTATUS Host::Stop(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnp(pdo, IRP_MN_STOP_DEVICE);
}

NTSTATUS Host::RemoveLocked(PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    std::lock_guard<std::mutex> lock(mu_);
    devices_[pdo].removed = true;
    return status;
}

NTSTATUS Host::Remove(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return RemoveLocked(pdo);
}

NTSTATUS Host::SurpriseRemove(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    bool removeNow;
    {
        std::lock_guard<std::mutex> lock(mu_);
        DeviceState& d = devices_[pdo];
        d.surpriseRemoved = true;
        removeNow = d.openHandles == 0;
    }
    if (removeNow) RemoveLocked(pdo);
    return status;
}

NTSTATUS Host::SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = TopOf(pdo);
    PIRP irp = IoBuildPnpPowerRequest(top, IRP_MJ_POWER, minor, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType =
        state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    return SendSync(top, irp, &done, &iosb);
}

NTSTATUS Host::Sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    NTSTATUS status = SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
    if (!NT_SUCCESS(status)) {
        SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
        return status;
    }
    return SendSystemPower(pdo, IRP_MN_SET_POWER, state);
}

NTSTATUS Host::Wake(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> pnp(pnpLock_);
    return SendSystemPower(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
}

NTSTATUS Host::Open(PDEVICE_OBJECT pdo, Handle* handle, const char* path) {
    *handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = devices_.find(pdo);
        if (it == devices_.end() || it->second.removed || it->second.surpriseRemoved) {
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    // Applications find the device through its interface: no create before it is enabled.
    if (!IoTestInterfaceEnabledFor(pdo)) return STATUS_NO_SUCH_DEVICE;
    auto* h = new HandleState;
    h->pdo = pdo;
    if (path != nullptr && *path != 0 &&
        !NT_SUCCESS(RtlCreateUnicodeStringFromUtf8(&h->file.FileName, path))) {
        delete h;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = TopOf(pdo);
    h->file.DeviceObject = top;
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildPnpPowerRequest(top, IRP_MJ_CREATE, 0, &done, &iosb);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        IoGetNextIrpStackLocation(irp)->FileObject = &h->file;
        irp->Tail.Overlay.OriginalFileObject = &h->file;
        status = SendSync(top, irp, &done, &iosb);
    }
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&h->file.FileName);
        delete h;
        return status;
    }
    std::lock_guard<std::mutex> lock(mu_);
    devices_[pdo].openHandles++;
    *handle = h;
    return status;
}

NTSTATUS Host::SendFileRequest(Handle handle, UCHAR major) {
    PDEVICE_OBJECT top = TopOf(handle->pdo);
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildPnpPowerRequest(top, major, 0, &done, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = &handle->file;
    return SendSync(top, irp, &done, &iosb);
}

NTSTATUS Host::Close(Handle handle) {
    if (handle == nullptr) return STATUS_INVALID_PARAMETER;
    // The I/O manager closes a handle only when its requests have finished. Cleanup comes
    // first: it makes the driver finish requests that wait for a card event.
    SendFileRequest(handle, IRP_MJ_CLEANUP);
    {
        std::unique_lock<std::mutex> lock(mu_);
        deliveryCv_.wait(lock, [&] { return handle->outstanding == 0; });
    }
    NTSTATUS status = SendFileRequest(handle, IRP_MJ_CLOSE);
    PDEVICE_OBJECT pdo = handle->pdo;
    RtlFreeUnicodeString(&handle->file.FileName);
    delete handle;
    bool removeNow = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        DeviceState& d = devices_[pdo];
        d.openHandles--;
        removeNow = d.surpriseRemoved && !d.removed && d.openHandles == 0;
    }
    if (removeNow) {
        std::lock_guard<std::mutex> pnp(pnpLock_);
        RemoveLocked(pdo);
    }
    return status;
}

std::shared_ptr<Request> Host::IoctlAsync(Handle handle, ULONG code, std::span<const UCHAR> input,
                                          ULONG outputLength,
                                          std::function<void(Request&)> callback) {
    auto req = std::make_shared<Request>(Request::Token{});
    req->host_ = this;
    req->handle_ = handle;
    req->callback_ = std::move(callback);
    req->output_.assign(outputLength, 0);
    KeInitializeEvent(&req->event_, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = TopOf(handle->pdo);
    // The input is copied into the request's system buffer: the caller's stays untouched.
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, top, input.empty() ? nullptr : const_cast<UCHAR*>(input.data()),
        static_cast<ULONG>(input.size()), outputLength ? req->output_.data() : nullptr,
        outputLength, FALSE, &req->event_, &req->iosb_);
    if (irp == nullptr) {
        req->status_ = STATUS_INSUFFICIENT_RESOURCES;
        req->done_ = true;
        return req;
    }
    irp->Flags |= IRP_KEEP_AFTER_COMPLETION;
    irp->IoManagerCompletion = Request::OnIoComplete;
    irp->IoManagerContext = req.get();
    irp->Tail.Overlay.OriginalFileObject = &handle->file;
    IoGetNextIrpStackLocation(irp)->FileObject = &handle->file;
    req->irp_ = irp;
    {
        std::lock_guard<std::mutex> lock(mu_);
        handle->outstanding++;
        inFlight_.push_back(req);
    }
    IoCallDriver(top, irp);
    return req;
}

NTSTATUS Host::Ioctl(Handle handle, ULONG code, std::span<const UCHAR> input, ULONG outputLength,
                     std::vector<UCHAR>* output, ULONG_PTR* information) {
    std::shared_ptr<Request> req = IoctlAsync(handle, code, input, outputLength);
    req->Wait();
    if (output != nullptr) req->TakeOutput(output);
    if (information != nullptr) *information = req->Information();
    return req->Status();
}

void Host::Forget(Request* request) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
        if (it->get() == request) {
            deliveries_.push_back(*it);
            inFlight_.erase(it);
            break;
        }
    }
    deliveryCv_.notify_all();
}

void Host::DeliveryThread() {
    for (;;) {
        std::shared_ptr<Request> req;
        {
            std::unique_lock<std::mutex> lock(mu_);
            deliveryCv_.wait(lock, [&] { return stopping_ || !deliveries_.empty(); });
            if (deliveries_.empty()) return;
            req = deliveries_.front();
            deliveries_.pop_front();
        }
        // The completion has left the driver: free the IRP, then tell the caller.
        PIRP irp;
        {
            std::unique_lock<std::mutex> lock(req->mu_);
            req->cv_.wait(lock, [&] { return req->cancelling_ == 0; });
            irp = req->irp_;
            req->irp_ = nullptr;
        }
        if (irp != nullptr) IoFreeIrp(irp);
        {
            std::lock_guard<std::mutex> lock(req->mu_);
            req->done_ = true;
        }
        req->cv_.notify_all();
        if (req->callback_) req->callback_(*req);
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (req->handle_ != nullptr) req->handle_->outstanding--;
        }
        deliveryCv_.notify_all();
    }
}

}  // namespace khost
