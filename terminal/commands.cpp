// Reset and request card, GET STATUS, OUTPUT with its display timer, and select protocol.
#include <type_traits>

#include "link/command.h"
#include "link/frame.h"
#include "terminal/answer.h"
#include "terminal/terminal.h"

namespace {

using namespace terminal;

constexpr UCHAR kP1Terminal = 0x00;
constexpr UCHAR kP1Slot = 0x01;
constexpr UCHAR kP1Display = 0x40;
constexpr UCHAR kP2ReturnAtr = 0x01;

constexpr UCHAR kAskManufacturer = 0x46;
constexpr UCHAR kAskSlotStatus = 0x80;
constexpr UCHAR kAskFunctionalUnits = 0x81;

constexpr UCHAR kManufacturerObject[] = {0x46, 0x0F, 'D', 'E', 'x', 'x', 'x', 'C', 'T',
                                         '1',  '9',  '8', 'V', '1', '.', '6', '1'};
static_assert(sizeof(kManufacturerObject) == 17);
constexpr UCHAR kUnitsWithKeypad[] = {0x81, 0x03, 0x01, 0x40, 0x50};  // slot, display, keypad
constexpr UCHAR kUnitsSlotOnly[] = {0x81, 0x01, 0x01};

constexpr UCHAR kSlotEmpty = 0x00;
constexpr UCHAR kSlotCardIn = 0x03;
constexpr UCHAR kSlotCardPowered = 0x05;

constexpr LONGLONG kTicksPerSecond = 10'000'000;

bool ModelHasKeypad(ULONG model) {
    switch (model) {
        case 2:
        case 3:
        case 5:
        case 6:
        case 10:
            return true;
        default:
            return false;
    }
}

// States outside SCARD_UNKNOWN..SCARD_SPECIFIC do not occur; they count as no card.
UCHAR SlotStatus(ULONG state) {
    switch (state) {
        case SCARD_SWALLOWED:
            return kSlotCardIn;
        case SCARD_POWERED:
        case SCARD_NEGOTIABLE:
        case SCARD_SPECIFIC:
            return kSlotCardPowered;
        default:
            return kSlotEmpty;
    }
}

static_assert(std::is_standard_layout_v<DEVICE_EXTENSION>);

// The SMARTCARD_EXTENSION is the first member of the device extension.
PDEVICE_EXTENSION DeviceExtensionOf(PSMARTCARD_EXTENSION ext) {
    return reinterpret_cast<PDEVICE_EXTENSION>(ext);
}

void DisplayExpiryWork(PDEVICE_OBJECT, PVOID context) {
    auto* ext = static_cast<PSMARTCARD_EXTENSION>(context);
    PREADER_EXTENSION r = ext->ReaderExtension;
    KeWaitForSingleObject(&r->DeviceControlMutex, Executive, KernelMode, FALSE, nullptr);
    // From here on a new expiry queues the work item again: this run may be past its check.
    InterlockedExchange(&r->DisplayWorkQueued, 0);
    // A raw write's reply waiting on the line must not be taken for the display's: the
    // expiry then stays marked for the next terminal command.
    if (!RawReplyOutstanding(ext)) HonourDisplayExpiry(ext);
    KeReleaseMutex(&r->DeviceControlMutex, FALSE);
    if (InterlockedDecrement(&r->DisplayWorkRefs) == 0) {
        KeSetEvent(&r->DisplayWorkIdle, IO_NO_INCREMENT, FALSE);  // last touch of the record
    }
}

// At DISPATCH_LEVEL: no reader I/O here, only the hand-over to the work item.
void DisplayTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ext = static_cast<PSMARTCARD_EXTENSION>(context);
    PREADER_EXTENSION r = ext->ReaderExtension;
    InterlockedExchange(&r->DisplayExpired, 1);
    PIO_WORKITEM item = DeviceExtensionOf(ext)->WorkItem;
    if (item == nullptr) return;  // the next terminal command honours the expiry
    if (InterlockedCompareExchange(&r->DisplayWorkQueued, 1, 0) != 0) return;  // on its way
    InterlockedIncrement(&r->DisplayWorkRefs);
    IoQueueWorkItem(item, DisplayExpiryWork, DelayedWorkQueue, ext);
}

}  // namespace

void TerminalInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    if (r == nullptr) return;
    KeInitializeTimer(&r->DisplayTimer);
    KeInitializeDpc(&r->DisplayDpc, DisplayTimerDpc, SmartcardExtension);
    r->DisplayDueTime.QuadPart = 0;
    r->DisplayExpired = 0;
    r->DisplayWorkQueued = 0;
    r->DisplayWorkRefs = 1;
    KeInitializeEvent(&r->DisplayWorkIdle, NotificationEvent, FALSE);
}

void TerminalShutdown(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    if (r == nullptr) return;
    KeCancelTimer(&r->DisplayTimer);
    // An expiry that came before the cancel has its DPC queued or running: let it finish, so
    // that it has counted any work item it queued.
    KeFlushQueuedDpcs();
    if (InterlockedDecrement(&r->DisplayWorkRefs) > 0) {
        KeWaitForSingleObject(&r->DisplayWorkIdle, Executive, KernelMode, FALSE, nullptr);
    }
}

void HonourDisplayExpiry(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    if (InterlockedExchange(&r->DisplayExpired, 0) == 0) return;
    // A stopped or sleeping reader is left alone; it is reset before it is used again.
    if (KeReadStateEvent(&DeviceExtensionOf(ext)->ReaderStarted) == 0) return;

    KeWaitForSingleObject(&r->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    const SMARTCARD_REQUEST request = ext->SmartcardRequest;
    const SMARTCARD_REPLY reply = ext->SmartcardReply;
    const PUCHAR text = r->DisplayText;
    const ULONG textLength = r->DisplayTextLength;
    SetBlankDisplayText(r);
    ReaderCommand(ext, RC_DISPLAY);  // nothing to tell anyone when it fails
    r->DisplayText = text;
    r->DisplayTextLength = textLength;
    ext->SmartcardRequest = request;
    ext->SmartcardReply = reply;
    KeReleaseMutex(&r->ReaderMutex, FALSE);
}

NTSTATUS CtResetOrRequest(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    ClearAnswer(ext);
    if (Apdu->P1 == kP1Terminal || (Apdu->P1 == kP1Slot && Apdu->P2 != kP2ReturnAtr)) {
        AppendStatusWord(ext, CT_SW_DONE);
        return STATUS_SUCCESS;
    }
    if (Apdu->P1 != kP1Slot) return STATUS_SUCCESS;  // no answer

    switch (ext->ReaderCapabilities.CurrentState) {
        case SCARD_SWALLOWED:
        case SCARD_POWERED:
        case SCARD_NEGOTIABLE:
            AppendStatusWord(ext, CT_SW_CARD_NOT_ACTIVE);
            break;
        case SCARD_SPECIFIC: {
            const SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
            const ULONG length = caps.ATR.Length <= sizeof(caps.ATR.Buffer)
                                     ? caps.ATR.Length
                                     : static_cast<ULONG>(sizeof(caps.ATR.Buffer));
            AppendAnswer(ext, caps.ATR.Buffer, length);
            AppendStatusWord(ext, ext->ReaderExtension->CardType == CARD_TYPE_PROCESSOR
                                      ? CT_SW_DONE_PROCESSOR_CARD
                                      : CT_SW_DONE);
            break;
        }
        default:
            AppendStatusWord(ext, CT_SW_NO_CARD);
            break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CtGetStatus(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    const NTSTATUS status = ReaderCommand(ext, RC_GET_STATUS);
    if (status != STATUS_SUCCESS) return status;

    ClearAnswer(ext);
    switch (Apdu->P2) {
        case kAskManufacturer:
            AppendAnswer(ext, kManufacturerObject, sizeof(kManufacturerObject));
            AppendStatusWord(ext, CT_SW_DONE);
            break;
        case kAskSlotStatus: {
            if (Apdu->P1 > 1) {
                AppendStatusWord(ext, CT_SW_WRONG_PARAMETERS);
                break;
            }
            const UCHAR object[3] = {kAskSlotStatus, 0x01,
                                     SlotStatus(ext->ReaderCapabilities.CurrentState)};
            AppendAnswer(ext, object, sizeof(object));
            AppendStatusWord(ext, CT_SW_DONE);
            break;
        }
        case kAskFunctionalUnits:
            if (ModelHasKeypad(ext->ReaderExtension->ReaderModel)) {
                AppendAnswer(ext, kUnitsWithKeypad, sizeof(kUnitsWithKeypad));
            } else {
                AppendAnswer(ext, kUnitsSlotOnly, sizeof(kUnitsSlotOnly));
            }
            AppendStatusWord(ext, CT_SW_DONE);
            break;
        default:
            AppendStatusWord(ext, CT_SW_WRONG_PARAMETERS);
            break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CtOutput(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    PREADER_EXTENSION r = ext->ReaderExtension;
    ClearAnswer(ext);

    // A new output ends the time the last one was given, also when the timer has already run
    // out and its blanking is still on its way.
    KeCancelTimer(&r->DisplayTimer);
    InterlockedExchange(&r->DisplayExpired, 0);

    bool ownText = false;
    ULONG position = 0;
    DATA_OBJECT object;
    while (NextDataObject(Apdu, &position, &object)) {
        if (object.Tag == CT_TAG_DISPLAY_TEXT) {
            SetDisplayText(r, object.Value, object.Length);
            ownText = true;
        } else if (object.Tag == CT_TAG_TIMEOUT && object.Length > 0) {
            // The display time in seconds; an empty value names no time and arms nothing.
            r->DisplayDueTime.QuadPart = -LONGLONG{object.Value[0]} * kTicksPerSecond;
            KeSetTimer(&r->DisplayTimer, r->DisplayDueTime, &r->DisplayDpc);
        }
    }

    NTSTATUS status = STATUS_SUCCESS;
    if (Apdu->P1 == kP1Display && Apdu->Lc > 0 && r->DisplayText != nullptr) {
        status = ReaderCommand(ext, RC_DISPLAY);
        if (status == STATUS_SUCCESS) AppendStatusWord(ext, CT_SW_DONE);
    }
    if (ownText) SetBlankDisplayText(r);
    return status;
}

NTSTATUS CtSelectProtocol(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    ClearAnswer(ext);
    ULONG position = 0;
    DATA_OBJECT object;
    while (NextDataObject(Apdu, &position, &object)) {
        if (object.Tag != CT_TAG_PROTOCOL) continue;
        // An empty value names no protocol: the selection stays, the reader is still told.
        if (object.Length > 0) {
            const UCHAR v = object.Value[0];
            if (v == SCARD_PROTOCOL_T0 || v == SCARD_PROTOCOL_T1) {
                ext->CardCapabilities.Protocol.Selected = v;
            }
        }
        ReaderCommand(ext, RC_SET_PROTOCOL);  // refused for no protocol: nothing to answer
    }
    return STATUS_SUCCESS;
}
