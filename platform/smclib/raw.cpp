// Raw engine: the bytes behind the caller's header go to the card unchanged, and the card's
// bytes come back behind the reply header.
#include "platform/smclib/engine_internal.h"

namespace {

// Room the reader's frame needs around the bytes.
constexpr ULONG kFrameOverhead = 6;

}  // namespace

NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
    const UCHAR* data = nullptr;
    ULONG length = 0;
    const NTSTATUS status = smclib::GetRequestBytes(SmartcardExtension, &data, &length);
    if (!NT_SUCCESS(status)) return status;
    const ULONG size = SmartcardExtension->SmartcardRequest.BufferSize;
    if (size < kFrameOverhead || length > size - kFrameOverhead) return STATUS_BUFFER_TOO_SMALL;
    return smclib::AppendRequest(SmartcardExtension, data, length);
}

NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    const UCHAR* data = nullptr;
    ULONG length = 0;
    if (!smclib::GetReplyBytes(SmartcardExtension, &data, &length)) {
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    return smclib::WriteAnswer(SmartcardExtension, data, length);
}
