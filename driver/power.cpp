// Power management: system sleep and wake-up turned into device power changes of our own.
#include "card/card.h"
#include "driver/driver.h"
#include "reader/reader.h"

namespace {

PDEVICE_EXTENSION Dx(PDEVICE_OBJECT device) {
    return static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

bool SleepingSystemState(ULONG s) { return s >= PowerSystemSleeping3 && s <= PowerSystemShutdown; }

// Identification exchanges frames with the reader: the polling thread keeps running while the
// system sleeps and must not take the replies. The card state is the polling thread's as well,
// written under the same mutex, so it is read under it here.
void LockReader(PREADER_EXTENSION r) {
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
}

void UnlockReader(PREADER_EXTENSION r) { KeReleaseMutex(&r->ReaderMutex, FALSE); }

// A device counts as started while its port is open; only then may requests be admitted.
bool Started(PREADER_EXTENSION r) { return KeReadStateEvent(&r->SerialCloseDone) == 0; }

bool CardIn(PSMARTCARD_EXTENSION ext) {
    return ext->ReaderCapabilities.CurrentState > SCARD_ABSENT;
}

NTSTATUS PassDown(PSMARTCARD_EXTENSION ext, PIRP irp) {
    PDEVICE_OBJECT lower = ext->ReaderExtension->AttachedDeviceObject;
    SmartcardReleaseRemoveLockWithTag(ext, TAG_POWER);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

NTSTATUS CompletePower(PSMARTCARD_EXTENSION ext, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    SmartcardReleaseRemoveLockWithTag(ext, TAG_POWER);
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT device, PIRP irp, DEVICE_POWER_STATE state) {
    PSMARTCARD_EXTENSION ext = &Dx(device)->SmartcardExtension;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    POWER_STATE ps;
    ps.DeviceState = state;
    NTSTATUS status =
        PoRequestPowerIrp(device, IRP_MN_SET_POWER, ps, PowerRequestCompletion, &done, nullptr);
    if (status != STATUS_PENDING) return CompletePower(ext, irp, status);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    PDEVICE_OBJECT lower = ext->ReaderExtension->AttachedDeviceObject;
    SmartcardReleaseRemoveLockWithTag(ext, TAG_POWER);
    if (state == PowerDeviceD0) {
        POWER_STATE working;
        working.SystemState = PowerSystemWorking;
        PoSetPowerState(device, SystemPowerState, working);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

}  // namespace

void PowerRequestCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
}

NTSTATUS PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    NTSTATUS status = SmartcardAcquireRemoveLockWithTag(ext, TAG_POWER);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    PREADER_EXTENSION r = ext->ReaderExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    const POWER_STATE_TYPE type = sp->Parameters.Power.Type;
    const POWER_STATE state = sp->Parameters.Power.State;

    if (type == DevicePowerState && sp->MinorFunction == IRP_MN_SET_POWER) {
        if (state.DeviceState == PowerDeviceD0) {
            // The IRP is finished by the power-up work item, whatever the port answers now.
            IoMarkIrpPending(Irp);
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, PowerUpCompletion, ext, TRUE, TRUE, TRUE);
            // The remove lock stays held until the power-up work item has finished.
            PoCallDriver(r->AttachedDeviceObject, Irp);
            return STATUS_PENDING;
        }
        if (state.DeviceState == PowerDeviceD3) {
            PoSetPowerState(DeviceObject, DevicePowerState, state);
            // Taken afresh at every power-down, so a sleep without a card after one with a
            // card neither resets the reader nor reports a card change.
            LockReader(r);
            r->CardPresentBeforeSleep = CardIn(ext) ? 1 : 0;
            if (r->CardPresentBeforeSleep) {
                IdentifyReader(ext);  // also drops the card's power
                Irp->IoStatus.Status = STATUS_SUCCESS;
            }
            UnlockReader(r);
            r->ReaderPowerState = READER_POWER_SLEEPING;
        }
        return PassDown(ext, Irp);
    }
    if (type == SystemPowerState && sp->MinorFunction == IRP_MN_QUERY_POWER) {
        if (SleepingSystemState(state.SystemState)) {
            KIRQL irql;
            KeAcquireSpinLock(&dx->SpinLock, &irql);
            const bool busy = dx->IoCount != 0;
            if (!busy) KeClearEvent(&dx->ReaderStarted);
            KeReleaseSpinLock(&dx->SpinLock, irql);
            if (busy) return CompletePower(ext, Irp, STATUS_DEVICE_BUSY);
        }
        return PassDown(ext, Irp);
    }
    if (type == SystemPowerState && sp->MinorFunction == IRP_MN_SET_POWER) {
        const ULONG s = state.SystemState;
        if ((s >= PowerSystemWorking && s <= PowerSystemSleeping2) || s == PowerSystemMaximum) {
            if (r->ReaderPowerState == READER_POWER_WORKING) {
                if (Started(r)) KeSetEvent(&dx->ReaderStarted, IO_NO_INCREMENT, FALSE);
                return PassDown(ext, Irp);
            }
            return RequestDevicePower(DeviceObject, Irp, PowerDeviceD0);
        }
        if (SleepingSystemState(s)) {
            if (r->ReaderPowerState == READER_POWER_SLEEPING) return PassDown(ext, Irp);
            POWER_STATE sleeping;
            sleeping.SystemState = PowerSystemSleeping3;
            PoSetPowerState(DeviceObject, SystemPowerState, sleeping);
            return RequestDevicePower(DeviceObject, Irp, PowerDeviceD3);
        }
    }
    return PassDown(ext, Irp);
}

NTSTATUS PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID) {
    // The completion may run in the port's own thread, the one that delivers the replies the
    // re-identification waits for: the reader I/O goes to the device's power work item, which
    // finishes the IRP.
    IoQueueWorkItem(Dx(DeviceObject)->PowerWorkItem, PowerUpWork, DelayedWorkQueue, Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void PowerUpWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    auto* irp = static_cast<PIRP>(Context);
    PDEVICE_EXTENSION dx = Dx(DeviceObject);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    ext->MinorIoControlCode = SCARD_COLD_RESET;
    LockReader(r);
    IdentifyReader(ext);
    const bool cardIn = CardIn(ext);
    UnlockReader(r);
    if (r->CardPresentBeforeSleep || cardIn) {
        CompleteCardTracking(ext);
    }
    r->ReaderPowerState = READER_POWER_WORKING;
    PoSetPowerState(DeviceObject, DevicePowerState,
                    IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    // A device that is stopped, or was never started, waits for its start instead.
    if (Started(r)) KeSetEvent(&dx->ReaderStarted, IO_NO_INCREMENT, FALSE);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    // Last: the removal may free the device as soon as the lock is given up.
    SmartcardReleaseRemoveLockWithTag(ext, TAG_POWER);
}
