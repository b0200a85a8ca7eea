#include <cstring>

#include "card/card.h"
#include "link/command.h"
#include "link/frame.h"
#include "reader/reader.h"

namespace {

constexpr UCHAR kProtocolT15 = 15;  // announces global interface bytes, not a protocol

struct TdView {
    USHORT present;
    UCHAR protocol;
};

}  // namespace

NTSTATUS UpdateCardStatus(PSMARTCARD_EXTENSION SmartcardExtension) {
    NTSTATUS status = ReaderCommand(SmartcardExtension, RC_GET_STATUS);
    if (status == STATUS_SUCCESS) EvaluateCardStatus(SmartcardExtension);
    return status;
}

void EvaluateCardStatus(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    SCARD_CARD_CAPABILITIES& caps = SmartcardExtension->CardCapabilities;
    ULONG state;

    if (r->ReaderStatus & READER_STATUS_CARD_IN) {
        state = SCARD_SWALLOWED;
    } else {
        caps.ATR.Length = 0;
        state = SCARD_ABSENT;
        std::memset(&r->AtrInfo, 0, sizeof(r->AtrInfo));
    }
    if (r->ReaderStatus & READER_STATUS_POWERED) {
        if (state == SCARD_SWALLOWED) state = SCARD_POWERED;
    } else {
        caps.ATR.Length = 0;
    }

    if (caps.ATR.Length == 0) {
        r->CardType = CARD_TYPE_NONE;
    } else {
        r->CardType = caps.ATR.Length == 4 ? CARD_TYPE_MEMORY : CARD_TYPE_PROCESSOR;
        state = SCARD_NEGOTIABLE;
        const ATR_INFO& a = r->AtrInfo;
        const TdView tds[] = {{a.TD1Present, a.TD1Protocol},
                              {a.TD2Present, a.TD2Protocol},
                              {a.TD3Present, a.TD3Protocol},
                              {a.TD4Present, a.TD4Protocol}};
        int count = 0;
        ULONG mask = 0;
        int lastUsable = -1;  // protocol of the last TD announcing T=0 or T=1
        for (const TdView& td : tds) {
            if (!td.present) continue;
            ++count;
            if (td.protocol == 0) {
                mask |= 1;
            } else if (td.protocol != kProtocolT15) {
                mask |= 2;
            }
            if (td.protocol == 0 || td.protocol == 1) lastUsable = td.protocol;
        }
        if (count == 1) {
            state = SCARD_SPECIFIC;
        } else if (r->ProtocolSetByDriver) {
            state = SCARD_SPECIFIC;
        } else if (mask == 3) {
            // The card offers T=0 and another protocol: it stays negotiable.
        } else {
            state = SCARD_SPECIFIC;
            // The card leaves no choice: fix its protocol on the reader. The last TD that
            // announces T=0 or T=1 decides (a trailing T=15 only announces global bytes);
            // without any TD the card speaks T=0.
            const ULONG last = count == 0        ? 0
                               : lastUsable >= 0 ? static_cast<ULONG>(lastUsable)
                                                 : a.Protocol;
            if (last == 0) {
                caps.Protocol.Selected = SCARD_PROTOCOL_T0;
            } else if (last == 1) {
                caps.Protocol.Selected = SCARD_PROTOCOL_T1;
            }
            ReaderCommand(SmartcardExtension, RC_SET_PROTOCOL);
            r->ProtocolSetByDriver = 1;
        }
    }

    SmartcardExtension->ReaderCapabilities.CurrentState = state;
    if (state == r->PreviousCardState) return;

    const bool arrived = state > SCARD_ABSENT && r->PreviousCardState <= SCARD_ABSENT;
    const bool left = state <= SCARD_ABSENT && r->PreviousCardState > SCARD_ABSENT;
    if (arrived || left) CompleteCardTracking(SmartcardExtension);
    if (arrived) {
        SERIAL_TIMEOUTS& t = r->SerialConfigData.Timeouts;
        t.ReadIntervalTimeout = 1000;
        t.ReadTotalTimeoutMultiplier = 1000;
        t.ReadTotalTimeoutConstant = 5000;
        ReaderCommand(SmartcardExtension, RC_SET_TIMEOUTS);
    }
    r->PreviousCardState = state;
    SmartcardExtension->LastError = 0;
    SmartcardUpdateCardCapabilities(SmartcardExtension);
    ULONG& current = SmartcardExtension->ReaderCapabilities.CurrentState;
    if (current != r->PreviousCardState && current == SCARD_NEGOTIABLE && r->ProtocolSetByDriver) {
        current = SCARD_SPECIFIC;
    }
}

void ReaderNotAnswering(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    SmartcardExtension->CardCapabilities.ATR.Length = 0;
    std::memset(&r->AtrInfo, 0, sizeof(r->AtrInfo));
    r->CardType = CARD_TYPE_NONE;
    SmartcardExtension->ReaderCapabilities.CurrentState = SCARD_UNKNOWN;
    // An application waiting for the card to leave learns that it can no longer be used; one
    // waiting for a card learns of it when the reader answers again.
    if (r->PreviousCardState > SCARD_ABSENT) CompleteCardTracking(SmartcardExtension);
    r->PreviousCardState = SCARD_UNKNOWN;
}

NTSTATUS StartPollThread(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    if (InterlockedCompareExchangePointer(&r->PollThreadHandle, nullptr, nullptr) != nullptr) {
        // A thread runs: withdraw a stop request it has not seen yet.
        KeResetEvent(&r->PollThreadStop);
        return STATUS_DEVICE_BUSY;
    }
    KeInitializeEvent(&r->PollThreadStop, NotificationEvent, FALSE);
    KeInitializeEvent(&r->PollThreadStopped, NotificationEvent, FALSE);
    PsCreateSystemThread(&r->PollThreadHandle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                         PollThread, SmartcardExtension);
    return STATUS_SUCCESS;
}

NTSTATUS StopPollThread(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    if (InterlockedCompareExchangePointer(&r->PollThreadHandle, nullptr, nullptr) != nullptr) {
        KeSetEvent(&r->PollThreadStop, IO_NO_INCREMENT, FALSE);
        // A poll under way against a silent reader ends at once instead of after its
        // time-outs: its port requests are cancelled and its pauses cut short.
        KeSetEvent(&r->IoAbort, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&r->PollThreadStopped, Executive, KernelMode, FALSE, nullptr);
        KeClearEvent(&r->IoAbort);
    }
    return STATUS_SUCCESS;
}

void PollThread(PVOID Context) {
    auto* ext = static_cast<PSMARTCARD_EXTENSION>(Context);
    PREADER_EXTENSION r = ext->ReaderExtension;
    PVOID mutexOrStop[2] = {&r->DeviceControlMutex, &r->PollThreadStop};
    for (;;) {
        // Wait for the mutex or a stop request, whichever comes first: a device-control request
        // may hold the mutex for as long as the device is stopped.
        NTSTATUS w = KeWaitForMultipleObjects(2, mutexOrStop, WaitAny, Executive, KernelMode, FALSE,
                                              nullptr, nullptr);
        if (w != STATUS_WAIT_0) break;
        KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);

        // While the reader owes a raw write its reply, a poll would take that reply for its
        // own: the poll is skipped, and a skipped poll is no failed one.
        if (RawReplyOutstanding(ext)) {
            // nothing this round
        } else if (UpdateCardStatus(ext) == STATUS_SUCCESS) {
            r->PollErrorCount = 0;
        } else if (KeReadStateEvent(&r->PollThreadStop) != 0) {
            // Cut short by the stop request: no failure of the reader's.
        } else if (++r->PollErrorCount >= POLL_ERRORS_BEFORE_RESET) {
            r->PollErrorCount = 0;
            const bool inUse = ext->ReaderCapabilities.CurrentState == SCARD_SPECIFIC;
            if (IdentifyReader(ext) != STATUS_SUCCESS) {
                ReaderNotAnswering(ext);
            } else if (inUse) {
                // The reset took the card's power and the reader's protocol and waiting time
                // with it: a card in use gets a full power-up, as a cold reset gives it.
                RepowerCard(ext);
            }
        }

        KeReleaseMutex(&r->ReaderMutex, FALSE);
        KeReleaseMutex(&r->DeviceControlMutex, FALSE);

        // The pause between polls ends at once when the thread is told to stop.
        LARGE_INTEGER pause;
        pause.QuadPart = -POLL_PAUSE;
        if (KeWaitForSingleObject(&r->PollThreadStop, Executive, KernelMode, FALSE, &pause) ==
            STATUS_WAIT_0) {
            break;
        }
    }
    // The handle is this thread's mark that it runs: close it and clear the mark before the
    // end is signalled, so a new start after StopPollThread starts a fresh thread.
    HANDLE handle = InterlockedExchangePointer(&r->PollThreadHandle, nullptr);
    if (handle != nullptr) ZwClose(handle);
    KeSetEvent(&r->PollThreadStopped, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
