// Create, close, cleanup, system-control and device-control requests.
#include "card/card.h"
#include "driver/driver.h"
#include "link/command.h"
#include "reader/reader.h"
#include "terminal/terminal.h"

namespace {

PDEVICE_EXTENSION Dx(PDEVICE_OBJECT device) {
    return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool StandardCode(ULONG code) {
    switch (code) {
        case IOCTL_SMARTCARD_POWER:
        case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        case IOCTL_SMARTCARD_SET_ATTRIBUTE:
        case IOCTL_SMARTCARD_CONFISCATE:
        case IOCTL_SMARTCARD_TRANSMIT:
        case IOCTL_SMARTCARD_EJECT:
        case IOCTL_SMARTCARD_SWALLOW:
        case IOCTL_SMARTCARD_IS_PRESENT:
        case IOCTL_SMARTCARD_IS_ABSENT:
        case IOCTL_SMARTCARD_SET_PROTOCOL:
        case IOCTL_SMARTCARD_GET_STATE:
        case IOCTL_SMARTCARD_GET_LAST_ERROR:
        case IOCTL_SMARTCARD_GET_PERF_CNTR:
            return true;
        default:
            return false;
    }
}

bool VendorCode(ULONG code) {
    return code == IOCTL_TERMINAL_COMMAND || code == IOCTL_READER_RAW_WRITE ||
           code == IOCTL_READER_RAW_READ;
}

// Counts a request into the device-control dispatch; the removal waits until none is left.
void EnterDispatch(PDEVICE_EXTENSION dx) {
    KIRQL irql;
    KeAcquireSpinLock(&dx->SpinLock, &irql);
    if (dx->DispatchCount++ == 0) KeClearEvent(&dx->DispatchIdle);
    KeReleaseSpinLock(&dx->SpinLock, irql);
}

void LeaveDispatch(PDEVICE_EXTENSION dx) {
    KIRQL irql;
    KeAcquireSpinLock(&dx->SpinLock, &irql);
    if (--dx->DispatchCount == 0) KeSetEvent(&dx->DispatchIdle, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&dx->SpinLock, irql);
}

// Waits for `object` or the start of the removal, whichever comes first. False: removal.
bool WaitOrRemoval(PDEVICE_EXTENSION dx, PVOID object) {
    PVOID objects[2] = {object, &dx->RemovalBegun};
    return KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                    nullptr) == STATUS_WAIT_0;
}

}  // namespace

NTSTATUS CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (sp->MajorFunction == IRP_MJ_CREATE) {
        if (sp->FileObject != nullptr && sp->FileObject->FileName.Length != 0) {
            status = STATUS_ACCESS_DENIED;  // no paths below the device
        } else if (!NT_SUCCESS(SmartcardAcquireRemoveLockWithTag(ext, TAG_CREATE_CLOSE))) {
            status = STATUS_DELETE_PENDING;
        } else if (InterlockedCompareExchange(&dx->ReaderOpen, 1, 0) != 0) {
            SmartcardReleaseRemoveLockWithTag(ext, TAG_CREATE_CLOSE);
            status = STATUS_ACCESS_DENIED;  // one handle at a time
        } else {
            StartPollThread(ext);
        }
    } else {
        // The polling thread ends before the device counts as closed, so a create racing this
        // close starts a fresh thread instead of withdrawing the stop of this one.
        StopPollThread(ext);
        // A raw reply nobody read is no reason to keep the reader from the next handle.
        if (ext->ReaderExtension != nullptr) ForgetRawReply(ext);
        InterlockedExchange(&dx->ReaderOpen, 0);
        SmartcardReleaseRemoveLockWithTag(ext, TAG_CREATE_CLOSE);
    }
    return Complete(Irp, status);
}

NTSTATUS Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CompleteCardTracking(&Dx(DeviceObject)->SmartcardExtension);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS SystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_OBJECT lower =
        Dx(DeviceObject)->SmartcardExtension.ReaderExtension->AttachedDeviceObject;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}

NTSTATUS DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    EnterDispatch(dx);
    if (KeReadStateEvent(&dx->RemovalBegun) != 0) {
        LeaveDispatch(dx);
        return Complete(Irp, STATUS_DELETE_PENDING);
    }
    PREADER_EXTENSION r = ext->ReaderExtension;

    // 1. One request at a time, and never during a poll.
    if (!WaitOrRemoval(dx, &r->DeviceControlMutex)) {
        LeaveDispatch(dx);
        return Complete(Irp, STATUS_DELETE_PENDING);
    }
    // 2. Admission: while the reader is stopped or asleep, wait until it may be used again.
    // The state is looked at again under the spin lock after every wait: a query-stop or a
    // sleep query may have cleared it in between.
    KIRQL irql;
    KeAcquireSpinLock(&dx->SpinLock, &irql);
    while (dx->IoCount == 0 && KeReadStateEvent(&dx->ReaderStarted) == 0) {
        KeReleaseSpinLock(&dx->SpinLock, irql);
        if (!WaitOrRemoval(dx, &dx->ReaderStarted)) {
            KeReleaseMutex(&r->DeviceControlMutex, FALSE);
            LeaveDispatch(dx);
            return Complete(Irp, STATUS_DELETE_PENDING);
        }
        KeAcquireSpinLock(&dx->SpinLock, &irql);
    }
    dx->IoCount++;
    KeReleaseSpinLock(&dx->SpinLock, irql);

    // 3. The remove lock; a refusal gives the count back so it cannot block stops and sleeps.
    NTSTATUS status = SmartcardAcquireRemoveLockWithTag(ext, TAG_IOCTL);
    if (!NT_SUCCESS(status)) {
        KeAcquireSpinLock(&dx->SpinLock, &irql);
        dx->IoCount--;
        KeReleaseSpinLock(&dx->SpinLock, irql);
        Complete(Irp, STATUS_DELETE_PENDING);
        KeReleaseMutex(&r->DeviceControlMutex, FALSE);
        LeaveDispatch(dx);
        return STATUS_DELETE_PENDING;
    }

    // 4. Serve the request.
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    if (StandardCode(code)) {
        status = SmartcardDeviceControl(ext, Irp);
    } else if (VendorCode(code)) {
        status = TerminalDeviceControl(ext, Irp, code);
    } else {
        status = Complete(Irp, STATUS_NOT_SUPPORTED);
    }

    // 5. Leave in the opposite order.
    SmartcardReleaseRemoveLockWithTag(ext, TAG_IOCTL);
    KeAcquireSpinLock(&dx->SpinLock, &irql);
    dx->IoCount--;
    KeReleaseSpinLock(&dx->SpinLock, irql);
    KeReleaseMutex(&r->DeviceControlMutex, FALSE);
    LeaveDispatch(dx);
    return status;
}
