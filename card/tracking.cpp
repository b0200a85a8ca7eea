// The pending card-tracking request: made cancellable, completed exactly once by whichever of
// a card change, a power-up, a cleanup, a drain or a cancellation comes first.
#include <cstring>

#include "card/card.h"

namespace {

// Marks a tracking request whose cancel routine has been installed. The marker tells a
// completion that finds the routine already taken that the cancel routine is under way and
// owns the request (as opposed to one cancelled before any routine was installed).
constexpr int kRoutineInstalledSlot = 3;

PVOID& RoutineInstalled(PIRP irp) { return irp->Tail.Overlay.DriverContext[kRoutineInstalledSlot]; }

// Takes the pending request (only `only` when it is given) out of NotificationIrp and
// completes it; leaves it to the cancel routine when that routine has already claimed it.
void TakeAndComplete(PSMARTCARD_EXTENSION ext, PIRP only) {
    PSMARTCARD_OS_DATA os = ext->OsData;
    if (os == nullptr) return;
    PIRP taken = nullptr;
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    PIRP irp = os->NotificationIrp;
    if (irp != nullptr && (only == nullptr || irp == only)) {
        const bool claimedByCancel = only == nullptr &&
                                     IoSetCancelRoutine(irp, nullptr) == nullptr &&
                                     RoutineInstalled(irp) != nullptr;
        if (!claimedByCancel) {
            os->NotificationIrp = nullptr;
            taken = irp;
        }
    }
    KeReleaseSpinLock(&os->SpinLock, irql);
    // The I/O manager sets the cancel flag under the cancel spin lock: read it before letting
    // go, or a cancellation arriving now would race with the read.
    bool cancelled = false;
    if (taken != nullptr) {
        IoSetCancelRoutine(taken, nullptr);
        cancelled = taken->Cancel;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    if (taken == nullptr) return;
    taken->IoStatus.Status = cancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
    taken->IoStatus.Information = 0;
    IoCompleteRequest(taken, IO_NO_INCREMENT);
}

constexpr char kVendorText[] = "Vendor IOCTL";  // 12 characters and the terminating zero

}  // namespace

NTSTATUS ReaderCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    PSMARTCARD_OS_DATA os = SmartcardExtension->OsData;
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&os->SpinLock, &irql);
    if (os->NotificationIrp != nullptr) {
        RoutineInstalled(os->NotificationIrp) = os->NotificationIrp;
        IoSetCancelRoutine(os->NotificationIrp, CardTrackingCancel);
    }
    KeReleaseSpinLock(&os->SpinLock, irql);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    return STATUS_PENDING;
}

void CompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
    TakeAndComplete(SmartcardExtension, nullptr);
}

void CardTrackingCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto* ext = static_cast<PSMARTCARD_EXTENSION>(DeviceObject->DeviceExtension);
    // Only the request being cancelled: a newer one parked meanwhile stays pending.
    TakeAndComplete(ext, Irp);
}

NTSTATUS ReaderVendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status;
    if (SmartcardExtension->IoRequest.ReplyBuffer == nullptr ||
        SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(kVendorText)) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        std::memcpy(SmartcardExtension->IoRequest.ReplyBuffer, kVendorText, sizeof(kVendorText));
        if (SmartcardExtension->IoRequest.Information != nullptr) {
            *SmartcardExtension->IoRequest.Information = sizeof(kVendorText) - 1;
        }
        status = STATUS_SUCCESS;
    }
    KeReleaseMutex(&r->ReaderMutex, FALSE);
    return status;
}
