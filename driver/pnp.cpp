// Plug and Play requests, and the serial port's open and close.
#include "driver/driver.h"
#include "link/serial_io.h"
#include "reader/reader.h"

namespace {

PDEVICE_EXTENSION Dx(PDEVICE_OBJECT device) {
    return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

NTSTATUS LowerSyncCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    if (Irp->Cancel) Irp->IoStatus.Status = STATUS_CANCELLED;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    // The IRP comes back to its sender, which completes or frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a create or close request of this driver's own to the port below.
NTSTATUS SendOwnRequest(PDEVICE_OBJECT device, UCHAR major, PIRP irp) {
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->DeviceObject = device;
    return CallLowerDriverSync(Dx(device)->SmartcardExtension.ReaderExtension->AttachedDeviceObject,
                               irp);
}

}  // namespace

NTSTATUS CallLowerDriverSync(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, LowerSyncCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    NTSTATUS status = SmartcardAcquireRemoveLockWithTag(ext, TAG_PNP);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PREADER_EXTENSION r = ext->ReaderExtension;
    PDEVICE_OBJECT lower = r->AttachedDeviceObject;
    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    bool releaseLock = true;

    switch (minor) {
        case IRP_MN_START_DEVICE:
            status = CallLowerDriverSync(lower, Irp);
            if (NT_SUCCESS(status)) status = StartDevice(DeviceObject);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            IoSetDeviceInterfaceState(&dx->PnPDeviceName, FALSE);
            status = dx->ReaderOpen ? STATUS_UNSUCCESSFUL : CallLowerDriverSync(lower, Irp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            // RemoveDevice gives up this request's hold of the remove lock while it waits for
            // every holder, and frees the records: the port below is the one known on entry.
            RemoveDevice(DeviceObject);
            status = CallLowerDriverSync(lower, Irp);
            releaseLock = false;
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            status = CallLowerDriverSync(lower, Irp);
            // The query disabled the interface; a started device must be reachable again.
            if (KeReadStateEvent(&r->SerialCloseDone) == 0) {
                IoSetDeviceInterfaceState(&dx->PnPDeviceName, TRUE);
            }
            break;
        case IRP_MN_STOP_DEVICE:
            StopDevice(DeviceObject);
            status = CallLowerDriverSync(lower, Irp);
            break;
        case IRP_MN_QUERY_STOP_DEVICE: {
            KIRQL irql;
            KeAcquireSpinLock(&dx->SpinLock, &irql);
            const bool busy = dx->IoCount > 0;
            if (!busy) KeClearEvent(&dx->ReaderStarted);
            KeReleaseSpinLock(&dx->SpinLock, irql);
            status = busy ? STATUS_DEVICE_BUSY : CallLowerDriverSync(lower, Irp);
            break;
        }
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = CallLowerDriverSync(lower, Irp);
            KeSetEvent(&dx->ReaderStarted, IO_NO_INCREMENT, FALSE);
            break;
        default:
            // A surprise removal also ends the wait of requests that have not been admitted:
            // the reader is gone and will not start again.
            if (minor == IRP_MN_SURPRISE_REMOVAL) {
                KeSetEvent(&dx->RemovalBegun, IO_NO_INCREMENT, FALSE);
            }
            IoSkipCurrentIrpStackLocation(Irp);
            SmartcardReleaseRemoveLockWithTag(ext, TAG_PNP);
            return IoCallDriver(lower, Irp);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (releaseLock) SmartcardReleaseRemoveLockWithTag(ext, TAG_PNP);
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(DeviceObject->StackSize + 1), FALSE);
    if (irp == nullptr) return STATUS_NO_MEMORY;

    NTSTATUS status = SendOwnRequest(DeviceObject, IRP_MJ_CREATE, irp);
    r->PortAccessDenied = 0;
    if (status == STATUS_ACCESS_DENIED) {
        // The port answered the open with a refusal; the start goes on through it, and no
        // close is ever sent for it.
        r->PortAccessDenied = 1;
    }
    if (status == STATUS_SUCCESS || status == STATUS_ACCESS_DENIED) {
        KeClearEvent(&r->SerialCloseDone);
        status = ConfigureSerialPort(ext);
        if (status == STATUS_SUCCESS) {
            InitializeReader(ext);
            status = IoSetDeviceInterfaceState(&dx->PnPDeviceName, TRUE);
            if (status == STATUS_SUCCESS) KeSetEvent(&dx->ReaderStarted, IO_NO_INCREMENT, FALSE);
        }
    }
    if (status == STATUS_SHARED_IRQ_BUSY) {
        SmartcardLogError(DeviceObject, QUOR_MSG_SHARED_IRQ_BUSY, nullptr,
                          static_cast<ULONG>(STATUS_SHARED_IRQ_BUSY));
    }
    if (status != STATUS_SUCCESS) StopDevice(DeviceObject);
    IoFreeIrp(irp);
    return status;
}

void StopDevice(PDEVICE_OBJECT DeviceObject) {
    PSMARTCARD_EXTENSION ext = &Dx(DeviceObject)->SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    if (r == nullptr || KeReadStateEvent(&r->SerialCloseDone) != 0) return;
    StopPollThread(ext);
    CloseSerialPort(DeviceObject);
}

void CloseSerialPort(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PREADER_EXTENSION r = dx->SmartcardExtension.ReaderExtension;
    IoSetDeviceInterfaceState(&dx->PnPDeviceName, FALSE);
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(DeviceObject->StackSize + 1), FALSE);
    if (irp != nullptr) {
        if (r->PortAccessDenied) {
            r->PortAccessDenied = 0;
            r->SkipDetach = 1;
        } else {
            SendOwnRequest(DeviceObject, IRP_MJ_CLOSE, irp);
        }
        IoFreeIrp(irp);
    }
    KeSetEvent(&r->SerialCloseDone, IO_NO_INCREMENT, FALSE);
}
