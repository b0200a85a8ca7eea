// The standard request dispatcher of the smart card library: SmartcardDeviceControl checks each
// IOCTL_SMARTCARD_* request, answers what the library knows itself (state, attributes, last
// error, performance counters) and hands the rest to the driver's reader functions. It completes
// every request it is given exactly once, except a card-tracking request that it parks in
// OsData->NotificationIrp for the driver to complete later.
#include <cstring>

#include "platform/smclib/engine.h"
#include "platform/smclib/smclib.h"

namespace {

constexpr ULONG kUlongSize = sizeof(ULONG);
constexpr ULONG kIoHeaderSize = sizeof(SCARD_IO_REQUEST);
// ISO/IEC 7816-4: the shortest command APDU is its four header bytes CLA INS P1 P2.
constexpr ULONG kMinimumApdu = 4;
// The reply to a TRANSMIT carries its header and at least the status bytes SW1 SW2.
constexpr ULONG kMinimumTransmitReply = kIoHeaderSize + 2;
// Control codes of the smart card device type from this function number on are the reader
// vendor's own.
constexpr ULONG kFirstVendorFunction = 2048;
// ISO/IEC 7816-3: information field sizes before anything else has been agreed.
constexpr ULONG kDefaultIfs = T1_DEFAULT_IFS;

// PC/SC SCARD_ATTR_ICC_PRESENCE values.
constexpr UCHAR kIccNotPresent = 0;
constexpr UCHAR kIccPresent = 1;  // in the reader, not swallowed
constexpr UCHAR kIccSwallowed = 2;
constexpr UCHAR kIccConfiscated = 4;
// PC/SC SCARD_ATTR_ICC_TYPE_PER_ATR values.
constexpr UCHAR kIccTypeUnknown = 0;
constexpr UCHAR kIccTypeAsynchronous = 1;  // ISO/IEC 7816 asynchronous card

constexpr ULONG DeviceTypeOf(ULONG code) { return code >> 16; }
constexpr ULONG FunctionOf(ULONG code) { return (code >> 2) & 0xFFF; }

bool CardPresent(const SMARTCARD_EXTENSION* ext) {
    return ext->ReaderCapabilities.CurrentState > SCARD_ABSENT;
}

// What a handler decided about its request.
struct Outcome {
    NTSTATUS status;
    // False once the IRP belongs to someone else (parked for card tracking, or completed by the
    // driver): the dispatcher then neither completes it nor looks at it again.
    bool owned = true;
};

Outcome Complete(NTSTATUS status) { return Outcome{status, true}; }

// The request as the dispatcher sees it: the METHOD_BUFFERED system buffer serves as both the
// caller's input and its output. A buffer that is missing counts as one of length 0.
struct Request {
    PSMARTCARD_EXTENSION ext;
    PIRP irp;
    ULONG code;
    PUCHAR buffer;
    ULONG inputLength;
    ULONG outputLength;
    ULONG information;  // becomes IoStatus.Information; IoRequest.Information points here
};

ULONG ReadUlong(const UCHAR* p) {
    ULONG v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// Answers a ULONG into the caller's output.
Outcome AnswerUlong(Request& r, ULONG value) {
    if (r.outputLength < kUlongSize) return Complete(STATUS_BUFFER_TOO_SMALL);
    std::memcpy(r.buffer, &value, sizeof(value));
    r.information = kUlongSize;
    return Complete(STATUS_SUCCESS);
}

// Calls a reader function, counting the time spent inside it. A time-out (a success code) is
// reported as the error it is, and only card tracking may leave its request pending.
NTSTATUS CallReaderFunction(Request& r, ULONG slot) {
    PSMARTCARD_EXTENSION ext = r.ext;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    KeQuerySystemTime(&start);
    NTSTATUS status;
    try {
        status = ext->ReaderFunction[slot](ext);
    } catch (...) {
        // A reader function must not throw; the request still has to be completed.
        status = STATUS_UNSUCCESSFUL;
    }
    KeQuerySystemTime(&end);
    if (end.QuadPart > start.QuadPart) {
        ext->OsData->PerfInfo.IoTickCount.QuadPart += end.QuadPart - start.QuadPart;
    }
    if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;
    if (status == STATUS_PENDING && slot != RDF_CARD_TRACKING) {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    return status;
}

// Hands the request as it stands to a reader function; an empty slot means the reader does
// not offer the request.
Outcome PassThrough(Request& r, ULONG slot) {
    if (r.ext->ReaderFunction[slot] == nullptr) return Complete(STATUS_NOT_SUPPORTED);
    return Complete(CallReaderFunction(r, slot));
}

// ---- IOCTL_SMARTCARD_POWER ----

Outcome Power(Request& r) {
    PSMARTCARD_EXTENSION ext = r.ext;
    if (ext->ReaderFunction[RDF_CARD_POWER] == nullptr) return Complete(STATUS_NOT_SUPPORTED);
    if (r.inputLength < kUlongSize) return Complete(STATUS_INVALID_PARAMETER);
    const ULONG action = ReadUlong(r.buffer);
    if (action != SCARD_POWER_DOWN && action != SCARD_COLD_RESET && action != SCARD_WARM_RESET) {
        return Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
    ext->MinorIoControlCode = action;
    // A reset card knows nothing of an earlier T=1 session.
    if (action != SCARD_POWER_DOWN) SmartcardT1ResetSession(ext);
    return Complete(CallReaderFunction(r, RDF_CARD_POWER));
}

// ---- IOCTL_SMARTCARD_SET_PROTOCOL ----

Outcome SetProtocol(Request& r) {
    PSMARTCARD_EXTENSION ext = r.ext;
    if (ext->ReaderFunction[RDF_SET_PROTOCOL] == nullptr) return Complete(STATUS_NOT_SUPPORTED);
    if (r.inputLength < kUlongSize) return Complete(STATUS_INVALID_PARAMETER);
    if (r.outputLength < kUlongSize) return Complete(STATUS_BUFFER_TOO_SMALL);
    ULONG mask = ReadUlong(r.buffer);
    if (mask & SCARD_PROTOCOL_DEFAULT) mask |= SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    mask &= SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    if (mask == 0) return Complete(STATUS_INVALID_DEVICE_REQUEST);
    if (!CardPresent(ext)) return Complete(STATUS_NO_MEDIA);
    ext->MinorIoControlCode = mask;
    const SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
    const bool negotiates = ext->ReaderCapabilities.CurrentState > SCARD_POWERED &&
                            (caps.Protocol.Selected & mask) == 0 &&
                            (caps.Protocol.Supported & mask) != 0;
    // Negotiation resets the card, which ends its T=1 session.
    if (negotiates) SmartcardT1ResetSession(ext);
    return Complete(CallReaderFunction(r, RDF_SET_PROTOCOL));
}

// ---- IOCTL_SMARTCARD_TRANSMIT ----

Outcome Transmit(Request& r) {
    PSMARTCARD_EXTENSION ext = r.ext;
    if (ext->ReaderFunction[RDF_TRANSMIT] == nullptr) return Complete(STATUS_NOT_SUPPORTED);
    if (ext->ReaderCapabilities.CurrentState != SCARD_SPECIFIC) {
        return Complete(CardPresent(ext) ? STATUS_INVALID_DEVICE_STATE : STATUS_NO_MEDIA);
    }
    if (r.inputLength < kIoHeaderSize) return Complete(STATUS_INVALID_PARAMETER);
    SCARD_IO_REQUEST header;
    std::memcpy(&header, r.buffer, sizeof(header));
    const ULONG selected = ext->CardCapabilities.Protocol.Selected;
    if ((header.dwProtocol & selected) == 0) return Complete(STATUS_INVALID_DEVICE_REQUEST);
    if (header.cbPciLength < kIoHeaderSize || header.cbPciLength > r.inputLength) {
        return Complete(STATUS_INVALID_PARAMETER);
    }
    const ULONG apduLength = r.inputLength - header.cbPciLength;
    if ((selected & SCARD_PROTOCOL_Tx) != 0 && apduLength < kMinimumApdu) {
        return Complete(STATUS_INVALID_PARAMETER);
    }
    if (r.outputLength < kMinimumTransmitReply) return Complete(STATUS_BUFFER_TOO_SMALL);

    SmartcardT1StartApdu(ext);
    PERF_INFO& perf = ext->OsData->PerfInfo;
    perf.NumTransmissions++;
    perf.BytesSent += apduLength;
    const NTSTATUS status = CallReaderFunction(r, RDF_TRANSMIT);
    if (NT_SUCCESS(status)) {
        const ULONG answered = r.information < r.outputLength ? r.information : r.outputLength;
        if (answered > kIoHeaderSize) perf.BytesReceived += answered - kIoHeaderSize;
    }
    return Complete(status);
}

// ---- IOCTL_SMARTCARD_IS_PRESENT / IS_ABSENT ----

// Takes the request back out of NotificationIrp if it is still parked there. Only the one who
// takes it may complete it.
bool Unpark(PSMARTCARD_EXTENSION ext, PIRP irp) {
    KIRQL cancelIrql;
    KIRQL irql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
    const bool taken = ext->OsData->NotificationIrp == irp;
    if (taken) ext->OsData->NotificationIrp = nullptr;
    KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
    if (taken) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(cancelIrql);
    return taken;
}

Outcome TrackCard(Request& r) {
    PSMARTCARD_EXTENSION ext = r.ext;
    const bool wantPresent = r.code == IOCTL_SMARTCARD_IS_PRESENT;
    if (CardPresent(ext) == wantPresent) return Complete(STATUS_SUCCESS);
    if (ext->ReaderFunction[RDF_CARD_TRACKING] == nullptr) return Complete(STATUS_NOT_SUPPORTED);

    PIRP irp = r.irp;
    PSMARTCARD_OS_DATA os = ext->OsData;
    // The request is marked pending before anyone else can see it: from the moment it is
    // parked, the driver may complete it on another thread.
    IoMarkIrpPending(irp);
    KIRQL cancelIrql;
    KIRQL irql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&os->SpinLock, &irql);
    NTSTATUS refusal = STATUS_SUCCESS;
    if (os->NotificationIrp != nullptr) {
        refusal = STATUS_DEVICE_BUSY;  // one waiter at a time
    } else if (irp->Cancel) {
        refusal = STATUS_CANCELLED;  // cancelled before it could be parked
    } else {
        os->NotificationIrp = irp;
    }
    KeReleaseSpinLock(&os->SpinLock, irql);
    IoReleaseCancelSpinLock(cancelIrql);
    if (refusal != STATUS_SUCCESS) {
        IoGetCurrentIrpStackLocation(irp)->Control &= static_cast<UCHAR>(~SL_PENDING_RETURNED);
        return Complete(refusal);
    }

    const NTSTATUS status = CallReaderFunction(r, RDF_CARD_TRACKING);
    if (status == STATUS_PENDING) return Outcome{STATUS_PENDING, false};
    // The driver did not keep the request. If it is still parked it is ours again and is
    // answered now with the driver's status; otherwise the driver has already finished it.
    if (!Unpark(ext, irp)) return Outcome{STATUS_PENDING, false};
    IoGetCurrentIrpStackLocation(irp)->Control &= static_cast<UCHAR>(~SL_PENDING_RETURNED);
    return Complete(status);
}

// ---- attributes ----

// An attribute value as PC/SC encodes it: texts as their bytes, numbers as little-endian
// DWORDs or single bytes.
struct AttributeValue {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG length = 0;
    UCHAR bytes[MAXIMUM_ATR_LENGTH] = {};
};

AttributeValue Dword(ULONG v) {
    AttributeValue a;
    a.length = sizeof(v);
    std::memcpy(a.bytes, &v, sizeof(v));
    return a;
}

AttributeValue Byte(UCHAR v) {
    AttributeValue a;
    a.length = 1;
    a.bytes[0] = v;
    return a;
}

AttributeValue Refuse(NTSTATUS status) {
    AttributeValue a;
    a.status = status;
    return a;
}

// A text attribute: its bytes as the record holds them, terminating zero included. A text the
// driver has not set is not available.
AttributeValue Text(const ATTR_STRING& s) {
    if (s.Length == 0) return Refuse(STATUS_NOT_SUPPORTED);
    AttributeValue a;
    a.length = s.Length < MAXIMUM_ATTR_STRING_LENGTH ? s.Length : MAXIMUM_ATTR_STRING_LENGTH;
    std::memcpy(a.bytes, s.Buffer, a.length);
    return a;
}

AttributeValue AtrString(const SMARTCARD_EXTENSION& ext) {
    if (!CardPresent(&ext)) return Refuse(STATUS_NO_MEDIA);
    const auto& atr = ext.CardCapabilities.ATR;
    // A card that is in but has not answered a reset has no ATR to report.
    if (atr.Length == 0) return Refuse(STATUS_UNRECOGNIZED_MEDIA);
    AttributeValue a;
    a.length = atr.Length < MAXIMUM_ATR_LENGTH ? atr.Length : MAXIMUM_ATR_LENGTH;
    std::memcpy(a.bytes, atr.Buffer, a.length);
    return a;
}

UCHAR IccPresence(const SMARTCARD_EXTENSION& ext) {
    if (ext.ReaderCapabilities.CardConfiscated) return kIccConfiscated;
    const ULONG state = ext.ReaderCapabilities.CurrentState;
    if (state <= SCARD_ABSENT) return kIccNotPresent;
    return state == SCARD_PRESENT ? kIccPresent : kIccSwallowed;
}

// Contacts are active from SCARD_POWERED on.
bool CardPowered(const SMARTCARD_EXTENSION& ext) {
    return ext.ReaderCapabilities.CurrentState >= SCARD_POWERED;
}

ULONG CurrentIfsc(const SMARTCARD_EXTENSION& ext) {
    if (ext.T1.SessionStarted && ext.T1.IFSC != 0) return ext.T1.IFSC;
    if (ext.CardCapabilities.T1.IFSC != 0) return ext.CardCapabilities.T1.IFSC;
    return kDefaultIfs;
}

ULONG CurrentIfsd(const SMARTCARD_EXTENSION& ext) {
    if (ext.T1.SessionStarted && ext.T1.IFSD != 0) return ext.T1.IFSD;
    return kDefaultIfs;
}

struct AttributeRow {
    ULONG tag;
    AttributeValue (*read)(const SMARTCARD_EXTENSION& ext);
};

// Every attribute the library reports. None of them can be set by an application.
constexpr AttributeRow kAttributes[] = {
    {SCARD_ATTR_VENDOR_NAME,
     [](const SMARTCARD_EXTENSION& e) { return Text(e.VendorAttr.VendorName); }},
    {SCARD_ATTR_VENDOR_IFD_TYPE,
     [](const SMARTCARD_EXTENSION& e) { return Text(e.VendorAttr.IfdType); }},
    {SCARD_ATTR_VENDOR_IFD_VERSION,
     [](const SMARTCARD_EXTENSION& e) {
         const auto& v = e.VendorAttr.IfdVersion;
         return Dword(ULONG{v.VersionMajor} << 24 | ULONG{v.VersionMinor} << 16 | v.BuildNumber);
     }},
    {SCARD_ATTR_VENDOR_IFD_SERIAL_NO,
     [](const SMARTCARD_EXTENSION& e) { return Text(e.VendorAttr.IfdSerialNo); }},
    {SCARD_ATTR_DEVICE_UNIT,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.VendorAttr.UnitNo); }},
    // 0xDDDDCCCC: the channel type (the reader type: 0x0001 for a serial port) over the channel.
    {SCARD_ATTR_CHANNEL_ID,
     [](const SMARTCARD_EXTENSION& e) {
         return Dword(e.ReaderCapabilities.ReaderType << 16 |
                      (e.ReaderCapabilities.Channel & 0xFFFF));
     }},
    {SCARD_ATTR_PROTOCOL_TYPES,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.SupportedProtocols); }},
    {SCARD_ATTR_DEFAULT_CLK,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.CLKFrequency.Default); }},
    {SCARD_ATTR_MAX_CLK,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.CLKFrequency.Max); }},
    {SCARD_ATTR_DEFAULT_DATA_RATE,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.DataRate.Default); }},
    {SCARD_ATTR_MAX_DATA_RATE,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.DataRate.Max); }},
    {SCARD_ATTR_MAX_IFSD,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.MaxIFSD); }},
    {SCARD_ATTR_POWER_MGMT_SUPPORT,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.PowerMgmtSupport); }},
    {SCARD_ATTR_CHARACTERISTICS,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.ReaderCapabilities.MechProperties); }},
    // No protocol is in use until the card has reached the specific state.
    {SCARD_ATTR_CURRENT_PROTOCOL_TYPE,
     [](const SMARTCARD_EXTENSION& e) {
         return Dword(e.ReaderCapabilities.CurrentState == SCARD_SPECIFIC
                          ? e.CardCapabilities.Protocol.Selected
                          : SCARD_PROTOCOL_UNDEFINED);
     }},
    // The card is clocked only while it is powered.
    {SCARD_ATTR_CURRENT_CLK,
     [](const SMARTCARD_EXTENSION& e) {
         return Dword(CardPowered(e) ? e.ReaderCapabilities.CLKFrequency.Default : 0);
     }},
    {SCARD_ATTR_CURRENT_F,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.Fi); }},
    {SCARD_ATTR_CURRENT_D,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.Di); }},
    {SCARD_ATTR_CURRENT_N,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.N); }},
    {SCARD_ATTR_CURRENT_W,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.T0.WI); }},
    {SCARD_ATTR_CURRENT_IFSC, [](const SMARTCARD_EXTENSION& e) { return Dword(CurrentIfsc(e)); }},
    {SCARD_ATTR_CURRENT_IFSD, [](const SMARTCARD_EXTENSION& e) { return Dword(CurrentIfsd(e)); }},
    {SCARD_ATTR_CURRENT_BWT,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.T1.BWT); }},
    {SCARD_ATTR_CURRENT_CWT,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.T1.CWT); }},
    {SCARD_ATTR_CURRENT_EBC_ENCODING,
     [](const SMARTCARD_EXTENSION& e) { return Dword(e.CardCapabilities.T1.EDC); }},
    {SCARD_ATTR_ATR_STRING, AtrString},
    {SCARD_ATTR_ICC_PRESENCE, [](const SMARTCARD_EXTENSION& e) { return Byte(IccPresence(e)); }},
    {SCARD_ATTR_ICC_INTERFACE_STATUS,
     [](const SMARTCARD_EXTENSION& e) { return Byte(CardPowered(e) ? 1 : 0); }},
    {SCARD_ATTR_ICC_TYPE_PER_ATR,
     [](const SMARTCARD_EXTENSION& e) {
         return Byte(CardPresent(&e) && e.CardCapabilities.ATR.Length != 0 ? kIccTypeAsynchronous
                                                                           : kIccTypeUnknown);
     }},
};

const AttributeRow* FindAttribute(ULONG tag) {
    for (const AttributeRow& row : kAttributes) {
        if (row.tag == tag) return &row;
    }
    return nullptr;
}

Outcome GetAttribute(Request& r) {
    if (r.inputLength < kUlongSize) return Complete(STATUS_INVALID_PARAMETER);
    const AttributeRow* row = FindAttribute(ReadUlong(r.buffer));
    if (row == nullptr) return Complete(STATUS_NOT_SUPPORTED);
    const AttributeValue value = row->read(*r.ext);
    if (!NT_SUCCESS(value.status)) return Complete(value.status);
    if (r.outputLength < value.length) return Complete(STATUS_BUFFER_TOO_SMALL);
    std::memcpy(r.buffer, value.bytes, value.length);
    r.information = value.length;
    return Complete(STATUS_SUCCESS);
}

Outcome SetAttribute(Request& r) {
    if (r.inputLength < kUlongSize) return Complete(STATUS_INVALID_PARAMETER);
    // The attributes above describe the reader and the card; an application changes none.
    if (FindAttribute(ReadUlong(r.buffer)) != nullptr) {
        return Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
    return Complete(STATUS_NOT_SUPPORTED);
}

// ---- what the library knows itself ----

Outcome GetPerfCounters(Request& r) {
    PERF_INFO counters;
    std::memset(&counters, 0, sizeof(counters));
    const PERF_INFO& perf = r.ext->OsData->PerfInfo;
    counters.NumTransmissions = perf.NumTransmissions;
    counters.BytesSent = perf.BytesSent;
    counters.BytesReceived = perf.BytesReceived;
    counters.IoTickCount = perf.IoTickCount;
    if (r.outputLength < sizeof(counters)) return Complete(STATUS_BUFFER_TOO_SMALL);
    std::memcpy(r.buffer, &counters, sizeof(counters));
    r.information = sizeof(counters);
    return Complete(STATUS_SUCCESS);
}

Outcome Dispatch(Request& r) {
    switch (r.code) {
        case IOCTL_SMARTCARD_POWER:
            return Power(r);
        case IOCTL_SMARTCARD_GET_ATTRIBUTE:
            return GetAttribute(r);
        case IOCTL_SMARTCARD_SET_ATTRIBUTE:
            return SetAttribute(r);
        case IOCTL_SMARTCARD_CONFISCATE:
            return PassThrough(r, RDF_CARD_CONFISCATE);
        case IOCTL_SMARTCARD_TRANSMIT:
            return Transmit(r);
        case IOCTL_SMARTCARD_EJECT:
            return PassThrough(r, RDF_CARD_EJECT);
        case IOCTL_SMARTCARD_SWALLOW:
            return PassThrough(r, RDF_READER_SWALLOW);
        case IOCTL_SMARTCARD_IS_PRESENT:
        case IOCTL_SMARTCARD_IS_ABSENT:
            return TrackCard(r);
        case IOCTL_SMARTCARD_SET_PROTOCOL:
            return SetProtocol(r);
        case IOCTL_SMARTCARD_GET_STATE:
            return AnswerUlong(r, r.ext->ReaderCapabilities.CurrentState);
        case IOCTL_SMARTCARD_GET_LAST_ERROR:
            return AnswerUlong(r, r.ext->LastError);
        case IOCTL_SMARTCARD_GET_PERF_CNTR:
            return GetPerfCounters(r);
        default:
            break;
    }
    if (DeviceTypeOf(r.code) == FILE_DEVICE_SMARTCARD &&
        FunctionOf(r.code) >= kFirstVendorFunction) {
        return PassThrough(r, RDF_IOCTL_VENDOR);
    }
    return Complete(STATUS_NOT_SUPPORTED);
}

}  // namespace

NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    if (ext == nullptr || ext->OsData == nullptr) {
        // The library was never set up for this reader.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_STATE;
    }
    const PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    Request r{};
    r.ext = ext;
    r.irp = Irp;
    r.code = sp->Parameters.DeviceIoControl.IoControlCode;
    r.buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    if (r.buffer != nullptr) {
        r.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        r.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
    }
    r.information = 0;

    ext->IoRequest.RequestBuffer = r.buffer;
    ext->IoRequest.RequestBufferLength = r.inputLength;
    ext->IoRequest.ReplyBuffer = r.buffer;
    ext->IoRequest.ReplyBufferLength = r.outputLength;
    ext->IoRequest.Information = &r.information;
    ext->MajorIoControlCode = r.code;
    ext->MinorIoControlCode = 0;

    const Outcome outcome = Dispatch(r);

    // IoRequest pointed into this request and at a local of this call: neither outlives it.
    std::memset(&ext->IoRequest, 0, sizeof(ext->IoRequest));
    if (!outcome.owned) return outcome.status;

    NTSTATUS status = outcome.status;
    ULONG information = 0;
    if (NT_SUCCESS(status) || NT_WARNING(status)) {
        information = r.information < r.outputLength ? r.information : r.outputLength;
    }
    if (!NT_SUCCESS(status)) ext->LastError = static_cast<ULONG>(status);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
