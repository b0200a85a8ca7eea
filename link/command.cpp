#include "link/command.h"

#include <cstring>

#include "link/frame.h"
#include "link/serial_io.h"

namespace {

constexpr LONGLONG kProtocolErrorPause = 15'000'000;  // 1.5 s in 100 ns units

struct FrameSelector {
    UCHAR code;
    enum class Payload { None, WaitTime, Protocol, Display, Pps } payload;
};

// Frame command for a selector, or false for a serial line operation or an unknown selector.
bool LookUpFrame(ULONG selector, FrameSelector* out) {
    using P = FrameSelector::Payload;
    switch (selector) {
        case RC_RESET_READER:
        case 1:
            *out = {1, P::None};
            return true;
        case RC_CARD_ON:
        case 2:
            *out = {2, P::None};
            return true;
        case RC_CARD_OFF:
        case 3:
        case 114:
            *out = {3, P::None};
            return true;
        case RC_SET_WAIT_TIME:
        case 4:
            *out = {4, P::WaitTime};
            return true;
        case RC_SET_PROTOCOL:
        case 5:
            *out = {5, P::Protocol};
            return true;
        case RC_GET_INFO:
        case 9:
            *out = {9, P::None};
            return true;
        case RC_DISPLAY:
        case 10:
            *out = {10, P::Display};
            return true;
        case RC_GET_STATUS:
        case 11:
            *out = {11, P::None};
            return true;
        case RC_SEND_PPS:
            *out = {8, P::Pps};
            return true;
        default:
            return false;
    }
}

NTSTATUS LineOperation(PSMARTCARD_EXTENSION ext, ULONG selector) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    switch (selector) {
        case RC_CLR_RTS:
        case RC_SET_RTS:
        case RC_CLR_DTR:
        case RC_SET_DTR:
            r->SerialIoControlCode = selector == RC_CLR_RTS   ? IOCTL_SERIAL_CLR_RTS
                                     : selector == RC_SET_RTS ? IOCTL_SERIAL_SET_RTS
                                     : selector == RC_CLR_DTR ? IOCTL_SERIAL_CLR_DTR
                                                              : IOCTL_SERIAL_SET_DTR;
            ext->SmartcardRequest.BufferLength = 0;
            ext->SmartcardReply.BufferLength = 0;
            return r->SerialIoFunction(ext);
        case RC_PURGE: {
            ForgetRawReply(ext);  // a purge drops whatever reply was on the line
            r->SerialIoControlCode = IOCTL_SERIAL_PURGE;
            ext->SmartcardReply.BufferLength = 0;
            ext->SmartcardRequest.BufferLength = 4;
            const ULONG mask = SERIAL_PURGE_ALL;
            PUCHAR b = ext->SmartcardRequest.Buffer;
            b[0] = static_cast<UCHAR>(mask);
            b[1] = static_cast<UCHAR>(mask >> 8);
            b[2] = static_cast<UCHAR>(mask >> 16);
            b[3] = static_cast<UCHAR>(mask >> 24);
            return r->SerialIoFunction(ext);
        }
        case RC_SET_TIMEOUTS: {
            r->SerialIoControlCode = IOCTL_SERIAL_SET_TIMEOUTS;
            PUCHAR savedBuffer = ext->SmartcardRequest.Buffer;
            ULONG savedLength = ext->SmartcardRequest.BufferLength;
            ext->SmartcardRequest.Buffer = reinterpret_cast<PUCHAR>(&r->SerialConfigData.Timeouts);
            ext->SmartcardRequest.BufferLength = sizeof(SERIAL_TIMEOUTS);
            ext->SmartcardReply.BufferLength = 0;
            NTSTATUS status = r->SerialIoFunction(ext);
            ext->SmartcardRequest.Buffer = savedBuffer;
            ext->SmartcardRequest.BufferLength = savedLength;
            return status;
        }
        default:
            return STATUS_NOT_SUPPORTED;
    }
}

// Empties the port's receive queue, as after a broken reply head: what the reader sent
// behind it would otherwise be read as the head of the next reply. The request and reply
// records are left as they were.
void DropReceived(PSMARTCARD_EXTENSION ext) {
    PREADER_EXTENSION r = ext->ReaderExtension;
    const SMARTCARD_REQUEST request = ext->SmartcardRequest;
    const SMARTCARD_REPLY reply = ext->SmartcardReply;
    ULONG mask = SERIAL_PURGE_RXCLEAR;
    r->SerialIoControlCode = IOCTL_SERIAL_PURGE;
    ext->SmartcardRequest.Buffer = reinterpret_cast<PUCHAR>(&mask);
    ext->SmartcardRequest.BufferLength = sizeof(mask);
    ext->SmartcardReply.BufferLength = 0;
    r->SerialIoFunction(ext);
    ext->SmartcardRequest = request;
    ext->SmartcardReply = reply;
}

}  // namespace

void ExpectRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    r->RawReplyDeadline = now.QuadPart + RAW_REPLY_HOLD;
    InterlockedExchange(&r->RawReplyPending, 1);
}

void ForgetRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    InterlockedExchange(&SmartcardExtension->ReaderExtension->RawReplyPending, 0);
}

BOOLEAN RawReplyOutstanding(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    if (InterlockedCompareExchange(&r->RawReplyPending, 0, 0) == 0) return FALSE;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart < r->RawReplyDeadline) return TRUE;
    ForgetRawReply(SmartcardExtension);  // nobody came for it
    return FALSE;
}

BOOLEAN ReaderAnswers(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    SERIAL_TIMEOUTS& t = r->SerialConfigData.Timeouts;
    const SERIAL_TIMEOUTS saved = t;
    const UCHAR status = r->ReaderStatus;
    const ULONG replyLength = r->ReplyLength;
    const ULONG dataLength = r->ReplyDataLength;
    const ULONG smclibLength = SmartcardExtension->SmartcardReply.BufferLength;
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = READER_PROBE_TIMEOUT_MS;
    ReaderCommand(SmartcardExtension, RC_SET_TIMEOUTS);
    const bool answered = ReaderCommand(SmartcardExtension, RC_GET_STATUS) == STATUS_SUCCESS;
    t = saved;
    ReaderCommand(SmartcardExtension, RC_SET_TIMEOUTS);
    r->ReaderStatus = status;
    r->ReplyLength = replyLength;
    r->ReplyDataLength = dataLength;
    SmartcardExtension->SmartcardReply.BufferLength = smclibLength;
    return answered ? TRUE : FALSE;
}

NTSTATUS ReaderCommand(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Selector) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    r->SerialIoControlCode = READER_SERIAL_WRITE;
    r->CommandLength = READER_BUFFER_SIZE;

    FrameSelector f;
    if (!LookUpFrame(Selector, &f)) return LineOperation(SmartcardExtension, Selector);

    const UCHAR* payload = nullptr;
    ULONG payloadLength = 0;
    UCHAR protocolByte = 0;
    switch (f.payload) {
        case FrameSelector::Payload::None:
            break;
        case FrameSelector::Payload::WaitTime:
            payload = reinterpret_cast<const UCHAR*>(r->WaitTimeParameter);
            payloadLength = 2;
            break;
        case FrameSelector::Payload::Protocol:
            switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
                case SCARD_PROTOCOL_T0:
                    protocolByte = 0;
                    break;
                case SCARD_PROTOCOL_T1:
                    protocolByte = 1;
                    break;
                case READER_PROTOCOL_PPS:
                    protocolByte = 2;
                    break;
                default:
                    return STATUS_NOT_SUPPORTED;
            }
            payload = &protocolByte;
            payloadLength = 1;
            break;
        case FrameSelector::Payload::Display:
            payload = r->DisplayText;
            payloadLength = r->DisplayTextLength;
            break;
        case FrameSelector::Payload::Pps:
            payload = r->PpsRequest.Buffer;
            payloadLength = r->PpsRequest.Length;
            break;
    }

    ULONG frameLength = 0;
    NTSTATUS status = BuildReaderFrame(f.code, payload, payloadLength, r->CommandBuffer,
                                       r->CommandLength, &frameLength);
    r->CommandLength = frameLength;
    if (status != STATUS_SUCCESS) return status;

    if (SerialReadWrite(r->AttachedDeviceObject, IRP_MJ_WRITE, r->CommandBuffer,
                        r->CommandLength) != STATUS_SUCCESS) {
        return STATUS_DATA_ERROR;
    }
    status = ReadReaderReply(SmartcardExtension, 0);
    r->ReplyDataLength = r->ReplyLength;
    return status;
}

NTSTATUS ReadReaderReply(PSMARTCARD_EXTENSION SmartcardExtension, USHORT CopyOut) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    SMARTCARD_REPLY& rep = SmartcardExtension->SmartcardReply;

    ForgetRawReply(SmartcardExtension);  // whatever reply comes now is this read's

    // The two-byte head: marker and length. A port completes a failed read at once without a
    // count, so only STATUS_SUCCESS with both bytes means the head is there; anything else
    // leaves stale bytes in the reply buffer, which must never be parsed.
    r->SerialIoControlCode = READER_SERIAL_READ;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    rep.BufferLength = 2;
    NTSTATUS status = r->SerialIoFunction(SmartcardExtension);
    if (NT_ERROR(status)) return status;
    if (status != STATUS_SUCCESS || rep.BufferLength < 2) {
        // Nothing, or not all of a head, came in time: the reader did not answer.
        return status == STATUS_SUCCESS || status == STATUS_TIMEOUT ? STATUS_TIMEOUT
                                                                    : STATUS_DEVICE_PROTOCOL_ERROR;
    }

    r->ReplyBuffer[0] = rep.Buffer[0];
    r->ReplyBuffer[1] = rep.Buffer[1];
    r->ReplyLength = 2;
    const ULONG rest = r->ReplyBuffer[1] + 1u + ((r->ReplyBuffer[0] & 0x80) ? 256u : 0u);

    // A first byte that is no marker, or a length that cannot fit the reply buffer (a marker
    // bit flipped on the line turns a short frame into a long one), is a broken frame: let the
    // line fall quiet, drop what came meanwhile and report a protocol error, which the
    // callers retry.
    if ((r->ReplyBuffer[0] & 0x7F) || rest > rep.BufferSize) {
        ReaderPause(r, kProtocolErrorPause);
        DropReceived(SmartcardExtension);
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }

    rep.BufferLength = rest;
    status = r->SerialIoFunction(SmartcardExtension);
    // The rest counts only when the port delivered all of it with STATUS_SUCCESS: a read that
    // failed or timed out, or came short, leaves stale bytes behind it in the reply buffer.
    if (status != STATUS_SUCCESS || rep.BufferLength != rest) {
        return NT_ERROR(status) ? status : STATUS_DEVICE_PROTOCOL_ERROR;
    }

    std::memcpy(r->ReplyBuffer + 2, rep.Buffer, rest);
    r->ReplyLength += rest;

    LONG verdict =
        ParseReaderFrame(r->ReplyBuffer, &r->ReplyLength, &r->ReaderStatus, &r->ExtendedReply);
    status = verdict == FRAME_OK ? STATUS_SUCCESS : STATUS_DATA_ERROR;
    r->ReplyDataLength = r->ReplyLength;

    if (CopyOut) {
        std::memcpy(rep.Buffer, r->ReplyBuffer, r->ReplyLength);
        rep.BufferLength = r->ReplyLength;
    }
    return status;
}
