#include "card/card.h"
#include "link/command.h"
#include "link/frame.h"
#include "reader/reader.h"

namespace {

constexpr int kNegotiationAttempts = 4;
constexpr ULONG kMinIntervalMs = 1000;
constexpr ULONG kMinTotalMs = 5000;

void RaiseTimeouts(SERIAL_TIMEOUTS& t) {
    if (t.ReadIntervalTimeout < kMinIntervalMs) t.ReadIntervalTimeout = kMinIntervalMs;
    if (t.ReadTotalTimeoutConstant < kMinTotalMs) t.ReadTotalTimeoutConstant = kMinTotalMs;
}

// Writes the selected protocol into the caller's reply on every way out of ReaderSetProtocol.
class SelectedProtocolReply {
  public:
    explicit SelectedProtocolReply(PSMARTCARD_EXTENSION ext) : ext_(ext) {}
    ~SelectedProtocolReply() { ReturnSelectedProtocol(ext_); }
    SelectedProtocolReply(const SelectedProtocolReply&) = delete;
    SelectedProtocolReply& operator=(const SelectedProtocolReply&) = delete;

  private:
    PSMARTCARD_EXTENSION ext_;
};

class ReaderMutexHold {
  public:
    explicit ReaderMutexHold(PREADER_EXTENSION r) : r_(r) {
        KeWaitForSingleObject(&r_->ReaderMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~ReaderMutexHold() { KeReleaseMutex(&r_->ReaderMutex, FALSE); }
    ReaderMutexHold(const ReaderMutexHold&) = delete;
    ReaderMutexHold& operator=(const ReaderMutexHold&) = delete;

  private:
    PREADER_EXTENSION r_;
};

NTSTATUS Negotiate(PSMARTCARD_EXTENSION ext) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
    for (int attempt = 0; attempt < kNegotiationAttempts; ++attempt) {
        ReaderCommand(ext, RC_PURGE);
        if (ReaderCommand(ext, RC_CARD_ON) != STATUS_SUCCESS || r->ReplyDataLength == 0) {
            continue;
        }
        r->PpsRequest.Length = 0;
        caps.Protocol.Selected = READER_PROTOCOL_PPS;
        ReaderCommand(ext, RC_SET_PROTOCOL);

        // Of T=0 and T=1 the driver takes T=1, but only when the card offers it: a T=0-only
        // card asked for either must not get a T=1 PPS.
        if (ext->MinorIoControlCode == SCARD_PROTOCOL_Tx) {
            ext->MinorIoControlCode = (caps.Protocol.Supported & SCARD_PROTOCOL_T1)
                                          ? SCARD_PROTOCOL_T1
                                          : SCARD_PROTOCOL_T0;
        }
        if (ext->MinorIoControlCode == SCARD_PROTOCOL_T1) {
            UCHAR pps[4] = {0xFF, 0x11, 0x11, 0};
            pps[3] = XorChecksum(pps, 3);
            r->PpsRequest.Buffer = pps;
            r->PpsRequest.Length = 4;
            ReaderCommand(ext, RC_SEND_PPS);
            r->PpsRequest.Buffer = nullptr;
            r->PpsRequest.Length = 0;
        }
        caps.Protocol.Selected = ext->MinorIoControlCode;
        ReaderCommand(ext, RC_SET_PROTOCOL);
        ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
        r->ProtocolSetByDriver = 1;

        // The card's waiting times are in microseconds; the port's time-outs in milliseconds.
        SERIAL_TIMEOUTS& t = r->SerialConfigData.Timeouts;
        if (caps.Protocol.Selected & SCARD_PROTOCOL_T1) {
            t.ReadIntervalTimeout = caps.T1.CWT / 1000;
            t.ReadTotalTimeoutConstant = caps.T1.BWT / 1000 + 1000;
        } else if (caps.Protocol.Selected & SCARD_PROTOCOL_T0) {
            const ULONG wtMs = caps.T0.WT / 1000;
            t.ReadIntervalTimeout = wtMs / 10;
            t.ReadTotalTimeoutConstant = wtMs * 30 + 1000;
        }
        RaiseTimeouts(t);
        return ReaderCommand(ext, RC_SET_TIMEOUTS);
    }
    r->ReaderStatus = 0;
    EvaluateCardStatus(ext);
    return STATUS_UNRECOGNIZED_MEDIA;
}

}  // namespace

void ReturnSelectedProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
    auto& io = SmartcardExtension->IoRequest;
    if (io.ReplyBuffer != nullptr && io.ReplyBufferLength >= sizeof(ULONG)) {
        const ULONG selected = SmartcardExtension->CardCapabilities.Protocol.Selected;
        io.ReplyBuffer[0] = static_cast<UCHAR>(selected);
        io.ReplyBuffer[1] = static_cast<UCHAR>(selected >> 8);
        io.ReplyBuffer[2] = static_cast<UCHAR>(selected >> 16);
        io.ReplyBuffer[3] = static_cast<UCHAR>(selected >> 24);
    }
    if (io.Information != nullptr) *io.Information = sizeof(ULONG);
}

NTSTATUS ApplyProtocolTimeouts(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    const SCARD_CARD_CAPABILITIES& caps = SmartcardExtension->CardCapabilities;
    SERIAL_TIMEOUTS& t = r->SerialConfigData.Timeouts;
    if (caps.Protocol.Selected & SCARD_PROTOCOL_T1) {
        t.ReadIntervalTimeout = caps.T1.CWT / 1000;
        t.ReadTotalTimeoutConstant = caps.T1.BWT / 1000 + 1000;
    } else if (caps.Protocol.Selected & SCARD_PROTOCOL_T0) {
        t.ReadIntervalTimeout = caps.T0.WT / 1000;
        t.ReadTotalTimeoutMultiplier = t.ReadIntervalTimeout;
        t.ReadTotalTimeoutConstant = caps.T0.WT / 100 + 1000;
    }
    RaiseTimeouts(t);
    return ReaderCommand(SmartcardExtension, RC_SET_TIMEOUTS);
}

NTSTATUS ReaderSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    ReaderMutexHold hold(ext->ReaderExtension);
    SelectedProtocolReply reply(ext);  // runs before the mutex is released

    const SCARD_CARD_CAPABILITIES& caps = ext->CardCapabilities;
    if (ext->ReaderCapabilities.CurrentState <= SCARD_POWERED) return STATUS_INVALID_DEVICE_STATE;
    if (caps.Protocol.Selected & ext->MinorIoControlCode) {
        ApplyProtocolTimeouts(ext);
        return STATUS_SUCCESS;
    }
    if (!(caps.Protocol.Supported & ext->MinorIoControlCode)) return STATUS_NOT_SUPPORTED;
    return Negotiate(ext);
}
