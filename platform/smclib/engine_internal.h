// Helpers shared by the T=0, T=1 and raw engines: the caller's SCARD_IO_REQUEST header, the
// request buffer the builders append to, the card's reply and the caller's reply buffer.
#pragma once

#include <cstring>

#include "platform/smclib/smclib.h"

namespace smclib {

constexpr ULONG kIoHeaderLength = sizeof(SCARD_IO_REQUEST);  // 8

// The caller's request behind its header. The header must be at least 8 bytes long and lie
// within the request; its dwProtocol is not looked at (PIN commands name T=1 whatever the
// card speaks).
inline NTSTATUS GetRequestBytes(PSMARTCARD_EXTENSION ext, const UCHAR** data, ULONG* length) {
    const PUCHAR buffer = ext->IoRequest.RequestBuffer;
    const ULONG total = ext->IoRequest.RequestBufferLength;
    if (buffer == nullptr || total < kIoHeaderLength) return STATUS_INVALID_PARAMETER;
    SCARD_IO_REQUEST header;
    std::memcpy(&header, buffer, sizeof(header));
    if (header.cbPciLength < kIoHeaderLength || header.cbPciLength > total) {
        return STATUS_INVALID_PARAMETER;
    }
    *data = buffer + header.cbPciLength;
    *length = total - header.cbPciLength;
    return STATUS_SUCCESS;
}

// Appends to SmartcardRequest at BufferLength; nothing is written when it does not fit.
inline NTSTATUS AppendRequest(PSMARTCARD_EXTENSION ext, const UCHAR* data, ULONG length) {
    SMARTCARD_REQUEST& r = ext->SmartcardRequest;
    if (r.Buffer == nullptr || r.BufferLength > r.BufferSize ||
        length > r.BufferSize - r.BufferLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (length != 0) std::memcpy(r.Buffer + r.BufferLength, data, length);
    r.BufferLength += length;
    return STATUS_SUCCESS;
}

// The card's bytes in SmartcardReply; false when the record claims more than its buffer.
inline bool GetReplyBytes(PSMARTCARD_EXTENSION ext, const UCHAR** data, ULONG* length) {
    const SMARTCARD_REPLY& r = ext->SmartcardReply;
    *data = r.Buffer;
    *length = r.Buffer == nullptr ? 0 : r.BufferLength;
    return r.Buffer == nullptr ? r.BufferLength == 0 : r.BufferLength <= r.BufferSize;
}

// Writes the reply header (the selected protocol, 8) and the answer into the caller's reply
// buffer and sets the count to 8 + length. An answer that does not fit is refused and nothing
// is written.
inline NTSTATUS WriteAnswer(PSMARTCARD_EXTENSION ext, const UCHAR* data, ULONG length) {
    const PUCHAR reply = ext->IoRequest.ReplyBuffer;
    const ULONG size = ext->IoRequest.ReplyBufferLength;
    if (reply == nullptr || size < kIoHeaderLength || length > size - kIoHeaderLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const SCARD_IO_REQUEST header{ext->CardCapabilities.Protocol.Selected, kIoHeaderLength};
    std::memcpy(reply, &header, sizeof(header));
    // memmove: the caller's reply may share its buffer with the request the data came from.
    if (length != 0) std::memmove(reply + kIoHeaderLength, data, length);
    if (ext->IoRequest.Information != nullptr)
        *ext->IoRequest.Information = kIoHeaderLength + length;
    return STATUS_SUCCESS;
}

}  // namespace smclib
