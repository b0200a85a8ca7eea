#include "platform/kernel/io.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/kernel/clock.h"

namespace {

[[noreturn]] void BugCheck(const char* what) {
    std::fprintf(stderr, "I/O manager stand-in: %s\n", what);
    std::abort();
}

constexpr ULONG kDeviceTag = PoolTag("Devo");
constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kSystemBufferTag = PoolTag("IoSb");
constexpr ULONG kDriverTag = PoolTag("Drvo");

std::atomic<NTSTATUS> g_failCreateDevice{0};
std::atomic<bool> g_failAttach{false};
std::atomic<bool> g_failIrpAllocation{false};
std::atomic<LONG> g_liveDevices{0};
std::atomic<LONG> g_liveIrps{0};

// Guards the device lists of driver objects and the attachment links.
std::mutex& DeviceDatabaseLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

KSPIN_LOCK g_cancelSpinLock = 0;

// The I/O manager's lookaside lists: per target device, the IRPs built for it that came back,
// each with its system buffer, so that a device in steady use costs no pool allocation per
// request. A list goes with its device; an IRP freed after that is freed for good.
constexpr std::size_t kLookasideDepth = 4;

struct IrpLookaside {
    PIRP free[kLookasideDepth];
    std::size_t count = 0;
};

std::mutex& LookasideLock() {
    static auto* m = new std::mutex;
    return *m;
}

std::unordered_map<PDEVICE_OBJECT, IrpLookaside>& Lookasides() {
    static auto* lists = new std::unordered_map<PDEVICE_OBJECT, IrpLookaside>;
    return *lists;
}

std::atomic<LONG> g_lookasideIrps{0};

void FreeIrpMemory(PIRP Irp) {
    if (Irp->LookasideBuffer != nullptr) ExFreePoolWithTag(Irp->LookasideBuffer, kSystemBufferTag);
    ExFreePoolWithTag(Irp, kIrpTag);
}

// An IRP from the device's list, reset as IoAllocateIrp leaves one, or nullptr.
PIRP TakeFromLookaside(PDEVICE_OBJECT device) {
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> lock(LookasideLock());
        auto it = Lookasides().find(device);
        if (it == Lookasides().end()) {
            Lookasides().emplace(device, IrpLookaside{});  // the list starts with the device's use
            return nullptr;
        }
        IrpLookaside& l = it->second;
        while (l.count > 0 && irp == nullptr) {
            PIRP candidate = l.free[--l.count];
            g_lookasideIrps.fetch_sub(1);
            if (candidate->StackCount == device->StackSize) {
                irp = candidate;
            } else {
                FreeIrpMemory(candidate);  // the stack grew since: of no use any more
            }
        }
    }
    if (irp == nullptr) return nullptr;
    PVOID buffer = irp->LookasideBuffer;
    const ULONG bufferSize = irp->LookasideBufferSize;
    const CCHAR stackSize = irp->StackCount;
    std::memset(irp, 0, sizeof(IRP) + static_cast<SIZE_T>(stackSize) * sizeof(IO_STACK_LOCATION));
    irp->StackBase =
        reinterpret_cast<IO_STACK_LOCATION*>(reinterpret_cast<UCHAR*>(irp) + sizeof(IRP));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = irp->StackBase + stackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->LookasideBuffer = buffer;
    irp->LookasideBufferSize = bufferSize;
    g_liveIrps.fetch_add(1);
    return irp;
}

// Puts a freed IRP back on its device's list; false when it must be freed for good.
bool ReturnToLookaside(PIRP Irp) {
    if (Irp->LookasideDevice == nullptr) return false;
    std::lock_guard<std::mutex> lock(LookasideLock());
    auto it = Lookasides().find(Irp->LookasideDevice);
    if (it == Lookasides().end() || it->second.count == kLookasideDepth) return false;
    it->second.free[it->second.count++] = Irp;
    g_lookasideIrps.fetch_add(1);
    return true;
}

void DeleteLookaside(PDEVICE_OBJECT device) {
    IrpLookaside l;
    {
        std::lock_guard<std::mutex> lock(LookasideLock());
        auto it = Lookasides().find(device);
        if (it == Lookasides().end()) return;
        l = it->second;
        Lookasides().erase(it);
    }
    for (std::size_t i = 0; i < l.count; ++i) {
        g_lookasideIrps.fetch_sub(1);
        FreeIrpMemory(l.free[i]);
    }
}

NTSTATUS InvalidRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The I/O manager's part of completion for an IRP it built: copy buffered output back, fill
// the caller's status block, signal its event, free the IRP.
void FinishThreadedIrp(PIRP Irp) {
    if ((Irp->Flags & IRP_BUFFERED_IO) && (Irp->Flags & IRP_INPUT_OPERATION) &&
        !NT_ERROR(Irp->IoStatus.Status) && Irp->UserBuffer != nullptr &&
        Irp->AssociatedIrp.SystemBuffer != nullptr) {
        ULONG_PTR n = Irp->IoStatus.Information;
        if (n > Irp->UserBufferLength) n = Irp->UserBufferLength;  // never past the caller's room
        if (n > 0) std::memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, n);
    }
    if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    PIO_MANAGER_COMPLETION hook = Irp->IoManagerCompletion;
    PVOID hookContext = Irp->IoManagerContext;
    if (Irp->Flags & IRP_KEEP_AFTER_COMPLETION) {
        if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        // Last: the hook may hand a kept IRP to another thread, which frees it.
        if (hook != nullptr) hook(Irp, hookContext);
        return;
    }
    if (hook != nullptr) hook(Irp, hookContext);
    IoFreeIrp(Irp);
    if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

// ---- driver objects ----

PDRIVER_OBJECT IoTestCreateDriverObject(const char* name) {
    auto* d = static_cast<PDRIVER_OBJECT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DRIVER_OBJECT), kDriverTag));
    if (d == nullptr) return nullptr;
    std::memset(d, 0, sizeof(*d));
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &d->Extension;
    d->Extension.DriverObject = d;
    for (auto& f : d->MajorFunction) f = InvalidRequest;
    if (name != nullptr && !NT_SUCCESS(RtlCreateUnicodeStringFromUtf8(&d->DriverName, name))) {
        d->DriverName = {};
    }
    return d;
}

void IoTestDeleteDriverObject(PDRIVER_OBJECT DriverObject) {
    if (DriverObject == nullptr) return;
    RtlFreeUnicodeString(&DriverObject->DriverName);
    ExFreePoolWithTag(DriverObject, kDriverTag);
}

// ---- device objects ----

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    NTSTATUS fail = g_failCreateDevice.load();
    if (fail != 0) return fail;
    // The extension starts on a 16-byte boundary, like a pool allocation of its own.
    constexpr SIZE_T kHeader = (sizeof(DEVICE_OBJECT) + 15) & ~SIZE_T{15};
    SIZE_T size = kHeader + ((SIZE_T{DeviceExtensionSize} + 15) & ~SIZE_T{15});
    auto* mem = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kDeviceTag));
    if (mem == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(mem, 0, size);
    auto* dev = reinterpret_cast<PDEVICE_OBJECT>(mem);
    dev->Type = IO_TYPE_DEVICE;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
    dev->DriverObject = DriverObject;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->StackSize = 1;
    dev->DeviceExtension = DeviceExtensionSize ? mem + kHeader : nullptr;
    {
        std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
        dev->NextDevice = DriverObject->DeviceObject;  // newest device first, as the kernel does
        DriverObject->DeviceObject = dev;
    }
    g_liveDevices.fetch_add(1);
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
        if (*link == DeviceObject) *link = DeviceObject->NextDevice;
        if (DeviceObject->AttachedTo != nullptr &&
            DeviceObject->AttachedTo->AttachedDevice == DeviceObject) {
            DeviceObject->AttachedTo->AttachedDevice = nullptr;
        }
    }
    DeleteLookaside(DeviceObject);
    g_liveDevices.fetch_sub(1);
    ExFreePoolWithTag(DeviceObject, kDeviceTag);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    if (g_failAttach.load()) return nullptr;
    std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->AttachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above != nullptr) above->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> lock(DeviceDatabaseLock());
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

void IoTestFailCreateDevice(NTSTATUS status) { g_failCreateDevice.store(status); }
void IoTestFailAttach(bool fail) { g_failAttach.store(fail); }
void IoTestFailIrpAllocation(bool fail) { g_failIrpAllocation.store(fail); }
LONG IoTestLiveDevices() { return g_liveDevices.load(); }
LONG IoTestLiveIrps() { return g_liveIrps.load(); }
LONG IoTestLookasideIrps() { return g_lookasideIrps.load(); }

// ---- IRPs ----

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    if (g_failIrpAllocation.load() || StackSize <= 0) return nullptr;
    SIZE_T size = sizeof(IRP) + static_cast<SIZE_T>(StackSize) * sizeof(IO_STACK_LOCATION);
    auto* mem = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
    if (mem == nullptr) return nullptr;
    std::memset(mem, 0, size);
    auto* irp = reinterpret_cast<PIRP>(mem);
    irp->StackBase = reinterpret_cast<IO_STACK_LOCATION*>(mem + sizeof(IRP));
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CCHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = irp->StackBase + StackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    g_liveIrps.fetch_add(1);
    return irp;
}

void IoFreeIrp(PIRP Irp) {
    if (Irp == nullptr) return;
    PVOID sb = Irp->AssociatedIrp.SystemBuffer;
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && sb != Irp->LookasideBuffer) {
        // The kept buffer was taken off the IRP (its taker frees it) or replaced.
        Irp->LookasideBuffer = nullptr;
        Irp->LookasideBufferSize = 0;
        if (sb != nullptr) ExFreePoolWithTag(sb, kSystemBufferTag);
    }
    g_liveIrps.fetch_sub(1);
    if (ReturnToLookaside(Irp)) return;
    FreeIrpMemory(Irp);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = TakeFromLookaside(DeviceObject);
    if (irp == nullptr) irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->LookasideDevice = DeviceObject;
    irp->Flags = IRP_THREADED;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->UserBuffer = OutputBuffer;
    irp->UserBufferLength = OutputBufferLength;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if ((IoControlCode & 3) == METHOD_BUFFERED) {
        ULONG size =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size > 0) {
            PVOID sb = nullptr;
            if (irp->LookasideBuffer != nullptr && irp->LookasideBufferSize >= size) {
                sb = irp->LookasideBuffer;  // the buffer the IRP kept from its last request
            } else {
                sb = ExAllocatePoolWithTag(NonPagedPool, size, kSystemBufferTag);
                if (sb == nullptr) {
                    irp->LookasideDevice = nullptr;  // a failed build leaves nothing kept
                    IoFreeIrp(irp);
                    return nullptr;
                }
                if (irp->LookasideBuffer != nullptr) {
                    ExFreePoolWithTag(irp->LookasideBuffer, kSystemBufferTag);
                }
                // Kept with the IRP; the smallest kept is a reader frame's worth.
                irp->LookasideBuffer = sb;
                irp->LookasideBufferSize = size;
            }
            std::memset(sb, 0, size);
            if (InputBuffer != nullptr && InputBufferLength > 0) {
                std::memcpy(sb, InputBuffer, InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = sb;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
        }
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    }
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (Irp->CurrentLocation <= 1) BugCheck("IRP has no stack location left");
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    return DeviceObject->DriverObject->MajorFunction[sp->MajorFunction](DeviceObject, Irp);
}

void IofCompleteRequest(PIRP Irp, KPRIORITY) {
    if (Irp->CurrentLocation > Irp->StackCount + 1) BugCheck("IRP completed twice");
    if (Irp->IoStatus.Status == STATUS_PENDING) BugCheck("IRP completed with STATUS_PENDING");
    // Walk up the stack. The completion routine of a location was set by the driver above it
    // and is called with that driver's device object.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
        const UCHAR control = sp->Control;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        std::memset(sp, 0, sizeof(*sp));
        IoSkipCurrentIrpStackLocation(Irp);
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                        : nullptr;
            // The routine may free the IRP or delete the device: neither is touched after a
            // STATUS_MORE_PROCESSING_REQUIRED answer.
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    if (Irp->Flags & IRP_THREADED) {
        FinishThreadedIrp(Irp);
        return;
    }
    // A driver-allocated IRP must come back through a completion routine that answers
    // STATUS_MORE_PROCESSING_REQUIRED; reaching the top means its owner lost it.
    BugCheck("driver-allocated IRP completed past its owner");
}

void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, cur, sizeof(IO_STACK_LOCATION));
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
}

void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                            BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// ---- cancellation ----

void IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&g_cancelSpinLock, Irql); }

void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelSpinLock, Irql); }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return std::atomic_ref<PDRIVER_CANCEL>(Irp->CancelRoutine).exchange(CancelRoutine);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    // The routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

// ---- work items ----

struct IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
};

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), PoolTag("IoWi")));
    if (item != nullptr) item->DeviceObject = DeviceObject;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) { ExFreePool(IoWorkItem); }

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE,
                     PVOID Context) {
    PDEVICE_OBJECT device = IoWorkItem->DeviceObject;
    const bool driven = kclock::NewThreadsDriven();
    std::thread([device, WorkerRoutine, Context, driven] {
        kclock::SetThreadDriven(driven);
        WorkerRoutine(device, Context);
    }).detach();
}
