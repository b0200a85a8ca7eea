// T=0 engine: command APDUs become TPDUs (ISO/IEC 7816-3 and -4). The reader deals with the
// procedure bytes itself, so the card's reply arrives as its data followed by SW1 SW2.
#include "platform/smclib/engine_internal.h"

namespace {

constexpr ULONG kHeaderLength = 4;  // CLA INS P1 P2
constexpr ULONG kSwLength = 2;

}  // namespace

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    const UCHAR* apdu = nullptr;
    ULONG length = 0;
    const NTSTATUS status = smclib::GetRequestBytes(SmartcardExtension, &apdu, &length);
    if (!NT_SUCCESS(status)) return status;
    if (length < kHeaderLength) return STATUS_INVALID_PARAMETER;

    UCHAR tpdu[kHeaderLength + 1 + 255];
    std::memcpy(tpdu, apdu, kHeaderLength);
    ULONG dataLength = 0;
    if (length == kHeaderLength) {
        tpdu[4] = 0x00;  // case 1
    } else if (length == kHeaderLength + 1) {
        tpdu[4] = apdu[4];  // case 2: P3 = Le, 00 standing for 256
    } else {
        // Cases 3 and 4: P3 = Lc and the data; Le of case 4 is dropped, so the card's 61 xx
        // goes back to the caller. A first length byte of 00 opens an extended APDU, which
        // T=0 cannot carry.
        dataLength = apdu[4];
        if (dataLength == 0) return STATUS_INVALID_PARAMETER;
        const ULONG body = length - kHeaderLength - 1;
        if (body != dataLength && body != dataLength + 1) return STATUS_INVALID_PARAMETER;
        tpdu[4] = apdu[4];
        std::memcpy(tpdu + kHeaderLength + 1, apdu + kHeaderLength + 1, dataLength);
    }
    return smclib::AppendRequest(SmartcardExtension, tpdu, kHeaderLength + 1 + dataLength);
}

NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    const UCHAR* data = nullptr;
    ULONG length = 0;
    if (!smclib::GetReplyBytes(SmartcardExtension, &data, &length) || length < kSwLength) {
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    return smclib::WriteAnswer(SmartcardExtension, data, length);
}
