// Terminal command interface: the vendor device-control codes (terminal commands in the style
// of the CT-BCS card terminal command set, raw frame writing and reply reading), the analysis
// of a terminal command APDU, the command table and the command handlers.
//
// Answers. A terminal command is answered in the request's system buffer, which it shares with
// the command: the answer's data bytes, then SW1 SW2. Handlers read what they need of the
// command before they write the first answer byte. The answer counter (IoRequest.Information
// while the command runs) counts the bytes written; no byte is ever written past the caller's
// output buffer (IoRequest.ReplyBufferLength). An append that would not fit writes nothing and
// leaves the counter at ANSWER_DID_NOT_FIT, and the request then completes with
// STATUS_BUFFER_TOO_SMALL and no information (what stands in the buffer is not the answer).
//
// Display timer. OUTPUT arms it with a 0x80 data object (its first value byte in seconds); at
// its expiry the display is blanked. The timer's DPC does no reader I/O: it marks the expiry
// and queues the device's work item (DEVICE_EXTENSION.WorkItem), whose routine takes
// DeviceControlMutex and ReaderMutex, as a status poll does, and sends the blank text, unless
// OUTPUT has cancelled the expiry meanwhile or the device is not started. Without a work item
// the expiry is honoured at the start of the next terminal command. TerminalShutdown cancels
// the timer and waits for a DPC or work item still under way.
#pragma once

#include "link/extension.h"

// Vendor device-control codes (device type FILE_DEVICE_SMARTCARD, buffered, any access).
constexpr ULONG IOCTL_TERMINAL_COMMAND =
    CTL_CODE(FILE_DEVICE_SMARTCARD, 55, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_READER_RAW_WRITE =
    CTL_CODE(FILE_DEVICE_SMARTCARD, 56, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_READER_RAW_READ =
    CTL_CODE(FILE_DEVICE_SMARTCARD, 57, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_TERMINAL_COMMAND == 0x3100DC && IOCTL_READER_RAW_WRITE == 0x3100E0 &&
              IOCTL_READER_RAW_READ == 0x3100E4);

// Status words (SW1 << 8 | SW2).
constexpr USHORT CT_SW_DONE = 0x9000;
constexpr USHORT CT_SW_DONE_PROCESSOR_CARD = 0x9001;
constexpr USHORT CT_SW_INPUT_TIMEOUT = 0x6400;
constexpr USHORT CT_SW_NO_CARD = 0x64A1;
constexpr USHORT CT_SW_CARD_NOT_ACTIVE = 0x64A2;
constexpr USHORT CT_SW_WRONG_LENGTH = 0x6700;
constexpr USHORT CT_SW_WRONG_PARAMETERS = 0x6A00;
constexpr USHORT CT_SW_NO_LE = 0x6C00;
constexpr USHORT CT_SW_NOT_SERVED = 0x6D00;

// Data object tags.
constexpr UCHAR CT_TAG_DISPLAY_TEXT = 0x50;
constexpr UCHAR CT_TAG_COMMAND_TO_PERFORM = 0x52;
constexpr UCHAR CT_TAG_TIMEOUT = 0x80;
constexpr UCHAR CT_TAG_PROTOCOL = 0x22;

// Flags of a table row.
constexpr ULONG CT_NEEDS_DATA = 0x01;
constexpr ULONG CT_NEEDS_LE_ALT = 0x08;  // same effect as CT_NEEDS_LE; no row uses it
constexpr ULONG CT_NEEDS_LE = 0x10;

// The answer counter's value for an answer that did not fit the caller's output buffer.
constexpr ULONG ANSWER_DID_NOT_FIT = 0xFFFFFFFF;

// The reader's display shows this many characters.
constexpr ULONG DISPLAY_WIDTH = 8;
// Eight spaces: the text that clears the display.
extern const UCHAR BlankDisplayText[DISPLAY_WIDTH];

// Longest card APDU a PIN command can carry (PinRequest less its SCARD_IO_REQUEST header).
constexpr ULONG PIN_APDU_MAX = READER_BUFFER_SIZE - sizeof(SCARD_IO_REQUEST);
// PIN entry time-out of the transmit path while a PIN command runs, in milliseconds.
constexpr ULONG PIN_TIMEOUT_MS = 31000;

// Result of AnalyzeApdu.
struct ApduInfo {
    USHORT Lc;          // data bytes; 0 without a data field
    USHORT Le;          // Le as coded; 0 when absent
    const UCHAR* Data;  // first data byte; meaningful only with LcPresent
    USHORT LePresent;
    USHORT ShortForm;  // 1 for the short coding, 0 once the body is recognised as extended
    USHORT LcPresent;
    USHORT ExtendedLc;
    UCHAR P1;
    UCHAR P2;
};

using TERMINAL_HANDLER = NTSTATUS (*)(PSMARTCARD_EXTENSION SmartcardExtension,
                                      const ApduInfo* Apdu);

struct TERMINAL_COMMAND_ROW {
    UCHAR Cla;
    UCHAR Ins;
    TERMINAL_HANDLER Handler;
    ULONG Flags;
};

// Searched in order; ends at the first row whose Cla or Ins is 0xFF.
constexpr ULONG TERMINAL_COMMAND_ROWS = 9;
extern const TERMINAL_COMMAND_ROW TerminalCommandTable[TERMINAL_COMMAND_ROWS];

// One SIMPLE-TLV data object of a command's data field.
struct DATA_OBJECT {
    UCHAR Tag;
    ULONG Length;
    const UCHAR* Value;
};

// ---- vendor codes ----

// Serves IOCTL_TERMINAL_COMMAND, IOCTL_READER_RAW_WRITE and IOCTL_READER_RAW_READ (any other
// code: STATUS_INVALID_DEVICE_REQUEST). The caller holds DeviceControlMutex. Completes the IRP
// and returns its status.
NTSTATUS TerminalDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp, ULONG Code);

// Runs the command at IoRequest.RequestBuffer (low 16 bits of RequestBufferLength) and answers
// into IoRequest.ReplyBuffer through the counter at IoRequest.Information. SMCLIB's request and
// reply buffer fields are restored before it returns. Always STATUS_SUCCESS.
NTSTATUS TerminalCommand(PSMARTCARD_EXTENSION SmartcardExtension);

// Fills `Info` from the command; FALSE for a malformed command.
BOOLEAN AnalyzeApdu(const UCHAR* Command, USHORT Length, ApduInfo* Info);

// Analyses IoRequest's command for a table row; answers 0x67 0x00 or 0x6C 0x00 and returns
// STATUS_UNSUCCESSFUL when the command is malformed or lacks what the row needs.
NTSTATUS CheckApduCase(PSMARTCARD_EXTENSION SmartcardExtension, const TERMINAL_COMMAND_ROW* Row,
                       ApduInfo* Info);

// The data-object walk shared by the handlers: *Position is the offset of the next object in
// the data field (start at 0). Returns FALSE, which ends the walk, when no whole object starts
// there: the end of the data, or a header (long-form length bytes included) or value that runs
// past it. Otherwise fills `Object` and advances *Position past it.
BOOLEAN NextDataObject(const ApduInfo* Apdu, ULONG* Position, DATA_OBJECT* Object);

// ---- handlers ----
NTSTATUS CtResetOrRequest(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);
NTSTATUS CtGetStatus(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);
NTSTATUS CtOutput(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);
NTSTATUS CtSelectProtocol(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);
NTSTATUS CtInput(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);
NTSTATUS CtPerformVerification(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);
NTSTATUS CtModifyVerification(PSMARTCARD_EXTENSION SmartcardExtension, const ApduInfo* Apdu);

// System time in milliseconds, as a 32-bit count that wraps; only differences count.
ULONG MillisecondClock();

// ---- display timer ----

// Sets up the display timer, its DPC and the expiry hand-over; called once the reader
// extension exists, before any terminal command.
void TerminalInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
// Cancels the display timer and waits until no expiry is under way (DPC or work item); called
// before the reader extension is freed, at passive level, without DeviceControlMutex held and
// once no request can reach the terminal commands any more. Tolerates a reader extension that
// TerminalInitialize never saw, and a missing one.
void TerminalShutdown(PSMARTCARD_EXTENSION SmartcardExtension);
// Honours an expired display timer whose blanking has not happened yet. The caller holds
// DeviceControlMutex.
void HonourDisplayExpiry(PSMARTCARD_EXTENSION SmartcardExtension);
