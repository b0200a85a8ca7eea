// The reader's frame format: command frames to the reader, reply frames from it.
//
// Command frame: code (bit 7 set for 256 or more data bytes), data length (low 8 bits), data,
// XOR checksum of everything before it. Reply frame: marker 0x00 or 0x80 (long), length L of
// data plus status byte (L + 256 for a long frame), data, status byte, XOR checksum.
#pragma once

#include "platform/kernel/ntdef.h"

constexpr ULONG MAX_FRAME_DATA = 511;  // what the length byte and bit 7 can express

// Reply status byte bits.
constexpr UCHAR READER_STATUS_FAILED = 0x80;
constexpr UCHAR READER_STATUS_CARD_IN = 0x40;
constexpr UCHAR READER_STATUS_POWERED = 0x20;
constexpr UCHAR READER_STATUS_CARD_ERROR = 0x10;
constexpr UCHAR READER_STATUS_KIND_MASK = 0x0F;
constexpr UCHAR READER_ERROR_KIND_FATAL = 3;  // card exchange failure that is not retried

// Command frame codes.
constexpr UCHAR FRAME_RESET_READER = 1;
constexpr UCHAR FRAME_CARD_ON = 2;
constexpr UCHAR FRAME_CARD_OFF = 3;
constexpr UCHAR FRAME_SET_WAIT_TIME = 4;
constexpr UCHAR FRAME_SET_PROTOCOL = 5;
constexpr UCHAR FRAME_CARD_EXCHANGE = 8;
constexpr UCHAR FRAME_GET_INFO = 9;
constexpr UCHAR FRAME_DISPLAY = 10;
constexpr UCHAR FRAME_GET_STATUS = 11;
constexpr UCHAR FRAME_PIN_VERIFY = 15;
constexpr UCHAR FRAME_PIN_MODIFY = 20;

// Verdicts of ParseReaderFrame.
constexpr LONG FRAME_OK = 1;
constexpr LONG FRAME_BAD_CHECKSUM = -2;  // or an entry length of 0 or 0xFFFFFFFF
constexpr LONG FRAME_MALFORMED = 4;      // bad marker, or a long frame cut short
constexpr LONG FRAME_TRUNCATED = -4;     // a short frame cut before its checksum

// XOR of `count` bytes; 0 for none.
UCHAR XorChecksum(const UCHAR* bytes, ULONG count);

// Builds a command frame. Refuses an unknown code (STATUS_NOT_IMPLEMENTED), a missing buffer
// or length out, or missing data with a non-zero length (STATUS_DEVICE_DATA_ERROR), and a
// buffer below 5 bytes, data longer than 511 bytes or data that does not fit the buffer
// (STATUS_BUFFER_TOO_SMALL); nothing is written on a refusal and *FrameLength is 0 unless the
// build succeeded.
NTSTATUS BuildReaderFrame(UCHAR Code, const UCHAR* Data, ULONG DataLength, PUCHAR FrameBuffer,
                          ULONG BufferSize, PULONG FrameLength);

// Checks a reply frame in place: on FRAME_OK the data bytes are at the start of Buffer and
// *Length is their count; the status byte and the long-frame flag go to the optional outs
// (the flag is only ever set, never cleared).
LONG ParseReaderFrame(PUCHAR Buffer, PULONG Length, PUCHAR StatusByte, USHORT* LongFrame);
