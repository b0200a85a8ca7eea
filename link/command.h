// The reader command layer: one call carries out one reader command, named by a selector.
#pragma once

#include "link/extension.h"

// Frame commands (with their short selectors, equal to the frame code).
constexpr ULONG RC_RESET_READER = 101;
constexpr ULONG RC_CARD_ON = 109;
constexpr ULONG RC_CARD_OFF = 102;
constexpr ULONG RC_SET_WAIT_TIME = 117;
constexpr ULONG RC_SET_PROTOCOL = 113;
constexpr ULONG RC_GET_INFO = 116;
constexpr ULONG RC_DISPLAY = 115;
constexpr ULONG RC_GET_STATUS = 103;
constexpr ULONG RC_SEND_PPS = 124;
// Serial line operations.
constexpr ULONG RC_CLR_RTS = 118;
constexpr ULONG RC_SET_RTS = 119;
constexpr ULONG RC_CLR_DTR = 120;
constexpr ULONG RC_SET_DTR = 121;
constexpr ULONG RC_PURGE = 122;
constexpr ULONG RC_SET_TIMEOUTS = 123;

// The reader's own protocol value for the PPS exchange mode.
constexpr ULONG READER_PROTOCOL_PPS = 0x10;

constexpr ULONG SERIAL_PURGE_ALL =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// Carries out one command. For a frame command: STATUS_SUCCESS when a correct reply frame
// arrived (its status byte is in ReaderStatus and may itself report a failure), the reply data
// at the start of ReplyBuffer and their count in ReplyDataLength.
NTSTATUS ReaderCommand(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Selector);

// Reads and checks one reply frame; with CopyOut set also copies the data into
// SmartcardReply.Buffer with their count in SmartcardReply.BufferLength.
NTSTATUS ReadReaderReply(PSMARTCARD_EXTENSION SmartcardExtension, USHORT CopyOut);

// A raw write leaves the reader's reply on the line for the raw read that follows. Until that
// read (or any other reply read, a purge or a close) takes it, or RAW_REPLY_HOLD has passed,
// the polling thread and the display work leave the reader alone, so that they do not take
// the reply for their own.
constexpr LONGLONG RAW_REPLY_HOLD = 50'000'000;  // 5 s in 100 ns units
void ExpectRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
void ForgetRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
BOOLEAN RawReplyOutstanding(PSMARTCARD_EXTENSION SmartcardExtension);

// Whether the reader answers at all: a status request with a short read time-out, after a
// command got no reply in its full time-out. Tells a silent reader (nothing to wait for any
// more) from a frame lost on the line (worth a repeat). Leaves the time-outs, ReaderStatus
// and the reply counts as they were.
constexpr ULONG READER_PROBE_TIMEOUT_MS = 1000;
BOOLEAN ReaderAnswers(PSMARTCARD_EXTENSION SmartcardExtension);
