// Library set-up and tear-down, the remove lock and event logging.
#include "platform/smclib/smclib.h"

#include <atomic>
#include <cstring>

#include "platform/kernel/clock.h"

namespace {

constexpr ULONG kOsDataTag = PoolTag("SmOs");
constexpr ULONG kBufferTag = PoolTag("SmBf");

std::atomic<NTSTATUS> g_failInitialize{0};
std::atomic<bool> g_failAfterOsData{false};

}  // namespace

void SmartcardTestFailInitialize(NTSTATUS status, bool afterOsData) {
    g_failAfterOsData.store(afterOsData);
    g_failInitialize.store(status);
}

NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
    const NTSTATUS injected = g_failInitialize.load();
    if (injected != 0 && !g_failAfterOsData.load()) return injected;

    auto* os = static_cast<PSMARTCARD_OS_DATA>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(SMARTCARD_OS_DATA), kOsDataTag));
    if (os == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(os, 0, sizeof(*os));
    KeInitializeSpinLock(&os->SpinLock);
    KeInitializeSpinLock(&os->RemoveLockSpin);
    KeInitializeEvent(&os->RemoveEvent, NotificationEvent, TRUE);
    SmartcardExtension->OsData = os;

    if (injected != 0) return injected;
    if (SmartcardExtension->Version < SMCLIB_VERSION_REQUIRED) return STATUS_UNSUCCESSFUL;

    for (SMARTCARD_REQUEST* r :
         {&SmartcardExtension->SmartcardRequest, &SmartcardExtension->SmartcardReply}) {
        if (r->BufferSize < MIN_BUFFER_SIZE) r->BufferSize = MIN_BUFFER_SIZE;
        r->Buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, r->BufferSize, kBufferTag));
        if (r->Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        std::memset(r->Buffer, 0, r->BufferSize);
        r->BufferLength = 0;
    }
    std::memset(&SmartcardExtension->T1, 0, sizeof(SmartcardExtension->T1));
    return STATUS_SUCCESS;
}

void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
    for (SMARTCARD_REQUEST* r :
         {&SmartcardExtension->SmartcardRequest, &SmartcardExtension->SmartcardReply}) {
        if (r->Buffer != nullptr) ExFreePoolWithTag(r->Buffer, kBufferTag);
        r->Buffer = nullptr;
        r->BufferLength = 0;
    }
    if (SmartcardExtension->OsData != nullptr) {
        ExFreePoolWithTag(SmartcardExtension->OsData, kOsDataTag);
        SmartcardExtension->OsData = nullptr;
    }
}

// ---- remove lock ----

NTSTATUS SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
    PSMARTCARD_OS_DATA os = SmartcardExtension->OsData;
    if (os == nullptr) return STATUS_DELETE_PENDING;
    KIRQL irql;
    KeAcquireSpinLock(&os->RemoveLockSpin, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (os->Removing) {
        status = STATUS_DELETE_PENDING;
    } else if (os->HoldCount >= MAXIMUM_REMOVE_LOCK_HOLDS) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        os->Holds[os->HoldCount++] = REMOVE_LOCK_HOLD{Tag, kclock::ThreadNumber()};
        if (os->HoldCount == 1) KeClearEvent(&os->RemoveEvent);
    }
    KeReleaseSpinLock(&os->RemoveLockSpin, irql);
    return status;
}

namespace {

// Removes hold i; with the remove-lock spin lock held. Returns true when none is left. The
// holds stay in the order they were taken, so "the caller's newest hold" keeps its meaning.
bool DropHoldLocked(PSMARTCARD_OS_DATA os, ULONG i) {
    for (ULONG j = i + 1; j < os->HoldCount; ++j) os->Holds[j - 1] = os->Holds[j];
    os->HoldCount--;
    return os->HoldCount == 0;
}

}  // namespace

void SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
    PSMARTCARD_OS_DATA os = SmartcardExtension->OsData;
    if (os == nullptr) return;
    KIRQL irql;
    KeAcquireSpinLock(&os->RemoveLockSpin, &irql);
    bool empty = false;
    bool found = false;
    // Prefer the caller's own hold with this tag, then any hold with it.
    for (int pass = 0; pass < 2 && !found; ++pass) {
        for (ULONG i = 0; i < os->HoldCount; ++i) {
            if (os->Holds[i].Tag == Tag &&
                (pass == 1 || os->Holds[i].Thread == kclock::ThreadNumber())) {
                empty = DropHoldLocked(os, i);
                found = true;
                break;
            }
        }
    }
    // The event changes under the spin lock so that it always matches the hold count.
    if (empty) KeSetEvent(&os->RemoveEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&os->RemoveLockSpin, irql);
}

void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_OS_DATA os = SmartcardExtension->OsData;
    if (os == nullptr) return;
    KIRQL irql;
    KeAcquireSpinLock(&os->RemoveLockSpin, &irql);
    os->Removing = TRUE;
    bool empty = os->HoldCount == 0;
    // The caller's own hold is the newest one it took (the remove request's). An older hold
    // of the same thread belongs to a request still in flight that another thread releases.
    for (ULONG i = os->HoldCount; i-- > 0;) {
        if (os->Holds[i].Thread == kclock::ThreadNumber()) {
            empty = DropHoldLocked(os, i);
            break;
        }
    }
    if (empty) KeSetEvent(&os->RemoveEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&os->RemoveLockSpin, irql);
    KeWaitForSingleObject(&os->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    // The last release sets the event before it lets go of the spin lock: wait until it has,
    // because the caller frees these data next.
    KeAcquireSpinLock(&os->RemoveLockSpin, &irql);
    KeReleaseSpinLock(&os->RemoveLockSpin, irql);
}

// ---- event log ----

void SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                       ULONG DumpData) {
    std::string insertion = Insertion ? RtlUnicodeStringToUtf8(Insertion) : std::string();
    IoWriteEventLogEntry(Object, ErrorCode, insertion.empty() ? nullptr : insertion.c_str(),
                         DumpData);
}
