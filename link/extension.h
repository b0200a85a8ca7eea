// The per-reader records: the device extension (the library's SMARTCARD_EXTENSION followed by
// the driver's own fields) and the READER_EXTENSION behind SMARTCARD_EXTENSION.ReaderExtension.
#pragma once

#include "platform/kernel/ntddser.h"
#include "platform/kernel/wdm.h"
#include "platform/smclib/smclib.h"

constexpr ULONG READER_BUFFER_SIZE = 1048;  // command, reply and PIN request buffers
constexpr ULONG SAVED_REPLY_SIZE = 64;
constexpr ULONG READER_EXTENSION_TAG = PoolTag("SCQ2");

// Reader power states.
constexpr ULONG READER_POWER_WORKING = 1;
constexpr ULONG READER_POWER_SLEEPING = 2;

// Card types.
constexpr ULONG CARD_TYPE_NONE = 0;
constexpr ULONG CARD_TYPE_PROCESSOR = 1;
constexpr ULONG CARD_TYPE_MEMORY = 10;

// PIN modes of the transmit path.
constexpr ULONG PIN_MODE_NONE = 0;
constexpr ULONG PIN_MODE_VERIFY = 1;
constexpr ULONG PIN_MODE_MODIFY = 2;

// The driver's own analysis of the ATR's interface bytes (ISO/IEC 7816-3 terms).
struct ATR_INFO {
    ULONG Fi;
    ULONG Di;
    ULONG II;
    ULONG PI1;
    ULONG PI2;
    ULONG N;
    ULONG WI;
    ULONG IFSC;
    ULONG IFSD;
    ULONG CWI;
    ULONG BWI;
    ULONG EDC;
    ULONG T14TA3Low;
    ULONG T14TA3High;
    ULONG T14TB3;
    ULONG HistoricalCount;
    ULONG Protocol;
    ULONG TB2Present;
    UCHAR TA2;
    USHORT TD1Present;
    UCHAR TD1Protocol;
    USHORT TD2Present;
    UCHAR TD2Protocol;
    USHORT TD3Present;
    UCHAR TD3Protocol;
    USHORT TD4Present;
    UCHAR TD4Protocol;
};

struct SERIAL_CONFIG_DATA {
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS SerialChars;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_BAUD_RATE BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    ULONG WaitMask;
};

using PSERIAL_IO_FUNCTION = NTSTATUS (*)(PSMARTCARD_EXTENSION SmartcardExtension);

struct READER_EXTENSION {
    PDEVICE_OBJECT AttachedDeviceObject;
    KEVENT SerialCloseDone;  // signalled while the port is closed
    ULONG SerialIoControlCode;
    SERIAL_CONFIG_DATA SerialConfigData;
    UCHAR CardPresentBeforeSleep;
    ULONG ReaderPowerState;
    UCHAR ReaderStatus;
    ULONG ReplyDataLength;
    ULONG CardType;
    ULONG PreviousCardState;
    USHORT ExtendedReply;
    PUCHAR DisplayText;
    ULONG DisplayTextLength;
    KTIMER DisplayTimer;
    KDPC DisplayDpc;
    LARGE_INTEGER DisplayDueTime;
    USHORT WaitTimeParameter[3];  // first word: the waiting time, most significant byte first
    PSERIAL_IO_FUNCTION SerialIoFunction;
    UCHAR ReplyBuffer[READER_BUFFER_SIZE];
    UCHAR CommandBuffer[READER_BUFFER_SIZE];
    UCHAR PinRequest[READER_BUFFER_SIZE];
    UCHAR SavedReply[SAVED_REPLY_SIZE];
    ULONG ReplyLength;
    ULONG CommandLength;
    ULONG PinApduLength;
    ULONG SavedReplyLength;
    KMUTEX DeviceControlMutex;
    HANDLE PollThreadHandle;
    KEVENT PollThreadStop;
    KEVENT PollThreadStopped;
    UCHAR PortAccessDenied;
    UCHAR SkipDetach;
    ULONG PinMode;
    UCHAR PinParameters[3];
    ULONG PinTimeout;
    ULONG ReaderModel;
    UCHAR FirmwareBytes[4];
    struct {
        PUCHAR Buffer;
        ULONG Length;
    } PpsRequest;
    ATR_INFO AtrInfo;
    USHORT ProtocolSetByDriver;
    LONG PollErrorCount;
    KMUTEX ReaderMutex;
    ULONG ClockFrequency;  // kHz
    // The display timer's expiry on its way to the display (terminal/terminal.h).
    LONG DisplayExpired;     // set by the timer's DPC; cleared when honoured or by OUTPUT
    LONG DisplayWorkQueued;  // the device's work item is queued for an expiry
    LONG DisplayWorkRefs;    // 1 until TerminalShutdown, plus 1 per expiry work item under way
    KEVENT DisplayWorkIdle;  // signalled once DisplayWorkRefs has dropped to 0
    // Set by the transmit path when the reader answered a PIN frame with two bytes of its own
    // (left in SavedReply) instead of the card's block.
    UCHAR PinReaderAnswered;
    // A raw write's reply is still on its way or on the line (link/command.h): set by the raw
    // write, cleared by the next reply read, a purge or a close, and ignored after the
    // deadline (system time).
    LONG RawReplyPending;
    LONGLONG RawReplyDeadline;
    // Signalled while the polling thread is being stopped: the port requests it waits for are
    // cancelled and its pauses end, so that closing the device never waits out a silent
    // reader's time-outs.
    KEVENT IoAbort;
};
using PREADER_EXTENSION_RECORD = READER_EXTENSION*;

struct DEVICE_EXTENSION {
    SMARTCARD_EXTENSION SmartcardExtension;  // first: the library finds one from the other
    LONG IoCount;
    KEVENT ReaderStarted;
    LONG ReaderOpen;
    UNICODE_STRING PnPDeviceName;
    KSPIN_LOCK SpinLock;
    PIO_WORKITEM WorkItem;       // the display timer's expiry (terminal/terminal.h)
    PIO_WORKITEM PowerWorkItem;  // the reader's re-identification after wake-up
    // Removal bookkeeping: RemovalBegun is set when the device is surprise-removed or removed,
    // so that device-control requests still waiting to be admitted give up; DispatchCount
    // counts the requests inside the device-control dispatch (waiting ones included), and the
    // removal waits for DispatchIdle before it frees the records they use.
    KEVENT RemovalBegun;
    LONG DispatchCount;
    KEVENT DispatchIdle;
};
using PDEVICE_EXTENSION = DEVICE_EXTENSION*;

// Puts the serial settings and the reader power state to their values at device creation:
// 9600 baud, 8 data bits, no parity, 2 stop bits, read time-outs 1000/1000/5000 ms.
void SetSerialDefaults(PREADER_EXTENSION ReaderExtension);

// Pauses the calling thread for `Units` of 100 ns, or until IoAbort is signalled.
void ReaderPause(PREADER_EXTENSION ReaderExtension, LONGLONG Units);

// Stores a waiting time in the first word of WaitTimeParameter, most significant byte first,
// and sets the second word to 1 and the third to 0.
void SetWaitTimeParameter(PREADER_EXTENSION ReaderExtension, USHORT WaitTime);
