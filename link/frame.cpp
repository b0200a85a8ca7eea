#include "link/frame.h"

#include "platform/kernel/wdm.h"

namespace {

bool AcceptedCode(UCHAR code) {
    if (code <= 13) return true;
    switch (code) {
        case 15:
        case 16:
        case 17:
        case 20:
        case 34:
        case 35:
        case 37:
        case 40:
        case 51:
            return true;
        default:
            return false;
    }
}

}  // namespace

UCHAR XorChecksum(const UCHAR* bytes, ULONG count) {
    UCHAR x = 0;
    for (ULONG i = 0; i < count; ++i) x ^= bytes[i];
    return x;
}

NTSTATUS BuildReaderFrame(UCHAR Code, const UCHAR* Data, ULONG DataLength, PUCHAR FrameBuffer,
                          ULONG BufferSize, PULONG FrameLength) {
    if (FrameLength != nullptr) *FrameLength = 0;
    if (!AcceptedCode(Code)) return STATUS_NOT_IMPLEMENTED;
    // Data may be missing only when there are none: a frame whose header announced bytes it
    // does not carry (the long-frame bit for 256 and more) would put the reader out of step.
    if (FrameBuffer == nullptr || FrameLength == nullptr || (Data == nullptr && DataLength != 0)) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (BufferSize < 5) return STATUS_BUFFER_TOO_SMALL;
    const ULONG copied = DataLength;
    // The frame must fit the buffer and the length must be expressible.
    if (copied > MAX_FRAME_DATA || copied > BufferSize - 3) return STATUS_BUFFER_TOO_SMALL;

    FrameBuffer[0] = static_cast<UCHAR>(Code | (DataLength >= 256 ? 0x80 : 0x00));
    FrameBuffer[1] = 0;
    UCHAR x = FrameBuffer[0];
    for (ULONG i = 0; i < copied; ++i) {
        FrameBuffer[2 + i] = Data[i];
        FrameBuffer[1] = static_cast<UCHAR>(FrameBuffer[1] + 1);
        x ^= Data[i];
    }
    x ^= FrameBuffer[1];
    FrameBuffer[2 + copied] = x;
    *FrameLength = copied + 3;
    return STATUS_SUCCESS;
}

LONG ParseReaderFrame(PUCHAR Buffer, PULONG Length, PUCHAR StatusByte, USHORT* LongFrame) {
    enum class State { Marker, Length, Data, Status, Checksum };
    const ULONG count = *Length;
    *Length = 0;
    if (count == 0 || count == 0xFFFFFFFF) return FRAME_BAD_CHECKSUM;

    State state = State::Marker;
    bool longFrame = false;
    UCHAR x = 0;
    ULONG full = 0;
    ULONG dataIndex = 0;
    ULONG moved = 0;
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR b = Buffer[i];
        switch (state) {
            case State::Marker:
                if (b != 0x00 && b != 0x80) return FRAME_MALFORMED;
                if (b == 0x80) {
                    longFrame = true;
                    if (LongFrame != nullptr) *LongFrame = 1;
                }
                x = b;
                state = State::Length;
                break;
            case State::Length:
                full = b + (longFrame ? 256u : 0u);
                x ^= b;
                dataIndex = 0;
                state = full == 0 ? State::Checksum : full == 1 ? State::Status : State::Data;
                break;
            case State::Data:
                if (dataIndex < full - 1) {
                    Buffer[moved] = b;  // in place: the write position trails the read position
                    ++moved;
                    ++*Length;
                    x ^= b;
                    ++dataIndex;
                    break;
                }
                [[fallthrough]];
            case State::Status:
                if (StatusByte != nullptr) *StatusByte = b;
                x ^= b;
                state = State::Checksum;
                break;
            case State::Checksum:
                if (b != x) return FRAME_BAD_CHECKSUM;
                *Length = moved;
                return FRAME_OK;
        }
    }
    return longFrame ? FRAME_MALFORMED : FRAME_TRUNCATED;
}
