// Smart card driver library stand-in: the per-reader SMARTCARD_EXTENSION record, the standard
// request dispatcher, the T=0, T=1 and raw protocol engines, the card-capability analysis of
// the ATR, the remove lock and event logging.
#pragma once

#include "platform/kernel/wdm.h"

// ---- versions and sizes ----
constexpr ULONG SMCLIB_VERSION = 0x150;
constexpr ULONG SMCLIB_VERSION_REQUIRED = 0x100;  // oldest record version the library serves
constexpr ULONG MIN_BUFFER_SIZE = 288;
constexpr ULONG MAXIMUM_ATTR_STRING_LENGTH = 32;
constexpr ULONG MAXIMUM_ATR_LENGTH = 64;
constexpr ULONG MAXIMUM_HISTORICAL_LENGTH = 16;

// ---- protocols ----
constexpr ULONG SCARD_PROTOCOL_UNDEFINED = 0x00000000;
constexpr ULONG SCARD_PROTOCOL_T0 = 0x00000001;
constexpr ULONG SCARD_PROTOCOL_T1 = 0x00000002;
constexpr ULONG SCARD_PROTOCOL_Tx = 0x00000003;
constexpr ULONG SCARD_PROTOCOL_RAW = 0x00010000;
constexpr ULONG SCARD_PROTOCOL_DEFAULT = 0x80000000;
constexpr ULONG SCARD_PROTOCOL_OPTIMAL = 0x00000000;

// ---- card states (ReaderCapabilities.CurrentState) ----
constexpr ULONG SCARD_UNKNOWN = 0;
constexpr ULONG SCARD_ABSENT = 1;
constexpr ULONG SCARD_PRESENT = 2;
constexpr ULONG SCARD_SWALLOWED = 3;
constexpr ULONG SCARD_POWERED = 4;
constexpr ULONG SCARD_NEGOTIABLE = 5;
constexpr ULONG SCARD_SPECIFIC = 6;

// ---- power actions (MinorIoControlCode of IOCTL_SMARTCARD_POWER) ----
constexpr ULONG SCARD_POWER_DOWN = 0;
constexpr ULONG SCARD_COLD_RESET = 1;
constexpr ULONG SCARD_WARM_RESET = 2;

constexpr ULONG SCARD_READER_TYPE_SERIAL = 0x01;

// ---- standard control codes ----
constexpr ULONG SCARD_CTL_CODE(ULONG code) {
    return CTL_CODE(FILE_DEVICE_SMARTCARD, code, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr ULONG IOCTL_SMARTCARD_POWER = SCARD_CTL_CODE(1);
constexpr ULONG IOCTL_SMARTCARD_GET_ATTRIBUTE = SCARD_CTL_CODE(2);
constexpr ULONG IOCTL_SMARTCARD_SET_ATTRIBUTE = SCARD_CTL_CODE(3);
constexpr ULONG IOCTL_SMARTCARD_CONFISCATE = SCARD_CTL_CODE(4);
constexpr ULONG IOCTL_SMARTCARD_TRANSMIT = SCARD_CTL_CODE(5);
constexpr ULONG IOCTL_SMARTCARD_EJECT = SCARD_CTL_CODE(6);
constexpr ULONG IOCTL_SMARTCARD_SWALLOW = SCARD_CTL_CODE(7);
constexpr ULONG IOCTL_SMARTCARD_IS_PRESENT = SCARD_CTL_CODE(10);
constexpr ULONG IOCTL_SMARTCARD_IS_ABSENT = SCARD_CTL_CODE(11);
constexpr ULONG IOCTL_SMARTCARD_SET_PROTOCOL = SCARD_CTL_CODE(12);
constexpr ULONG IOCTL_SMARTCARD_GET_STATE = SCARD_CTL_CODE(14);
constexpr ULONG IOCTL_SMARTCARD_GET_LAST_ERROR = SCARD_CTL_CODE(15);
constexpr ULONG IOCTL_SMARTCARD_GET_PERF_CNTR = SCARD_CTL_CODE(16);

// ---- attributes (PC/SC tags: class << 16 | tag) ----
constexpr ULONG SCARD_ATTR_VALUE(ULONG Class, ULONG Tag) { return (Class << 16) | Tag; }
constexpr ULONG SCARD_CLASS_VENDOR_INFO = 1;
constexpr ULONG SCARD_CLASS_COMMUNICATIONS = 2;
constexpr ULONG SCARD_CLASS_PROTOCOL = 3;
constexpr ULONG SCARD_CLASS_POWER_MGMT = 4;
constexpr ULONG SCARD_CLASS_SECURITY = 5;
constexpr ULONG SCARD_CLASS_MECHANICAL = 6;
constexpr ULONG SCARD_CLASS_VENDOR_DEFINED = 7;
constexpr ULONG SCARD_CLASS_IFD_PROTOCOL = 8;
constexpr ULONG SCARD_CLASS_ICC_STATE = 9;
constexpr ULONG SCARD_CLASS_SYSTEM = 0x7FFF;

constexpr ULONG SCARD_ATTR_VENDOR_NAME = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0100);
constexpr ULONG SCARD_ATTR_VENDOR_IFD_TYPE = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0101);
constexpr ULONG SCARD_ATTR_VENDOR_IFD_VERSION = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0102);
constexpr ULONG SCARD_ATTR_VENDOR_IFD_SERIAL_NO = SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0103);
constexpr ULONG SCARD_ATTR_CHANNEL_ID = SCARD_ATTR_VALUE(SCARD_CLASS_COMMUNICATIONS, 0x0110);
constexpr ULONG SCARD_ATTR_PROTOCOL_TYPES = SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0120);
constexpr ULONG SCARD_ATTR_DEFAULT_CLK = SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0121);
constexpr ULONG SCARD_ATTR_MAX_CLK = SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0122);
constexpr ULONG SCARD_ATTR_DEFAULT_DATA_RATE = SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0123);
constexpr ULONG SCARD_ATTR_MAX_DATA_RATE = SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0124);
constexpr ULONG SCARD_ATTR_MAX_IFSD = SCARD_ATTR_VALUE(SCARD_CLASS_PROTOCOL, 0x0125);
constexpr ULONG SCARD_ATTR_POWER_MGMT_SUPPORT = SCARD_ATTR_VALUE(SCARD_CLASS_POWER_MGMT, 0x0131);
constexpr ULONG SCARD_ATTR_CHARACTERISTICS = SCARD_ATTR_VALUE(SCARD_CLASS_MECHANICAL, 0x0150);
constexpr ULONG SCARD_ATTR_CURRENT_PROTOCOL_TYPE =
    SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0201);
constexpr ULONG SCARD_ATTR_CURRENT_CLK = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0202);
constexpr ULONG SCARD_ATTR_CURRENT_F = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0203);
constexpr ULONG SCARD_ATTR_CURRENT_D = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0204);
constexpr ULONG SCARD_ATTR_CURRENT_N = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0205);
constexpr ULONG SCARD_ATTR_CURRENT_W = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0206);
constexpr ULONG SCARD_ATTR_CURRENT_IFSC = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0207);
constexpr ULONG SCARD_ATTR_CURRENT_IFSD = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0208);
constexpr ULONG SCARD_ATTR_CURRENT_BWT = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x0209);
constexpr ULONG SCARD_ATTR_CURRENT_CWT = SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020A);
constexpr ULONG SCARD_ATTR_CURRENT_EBC_ENCODING =
    SCARD_ATTR_VALUE(SCARD_CLASS_IFD_PROTOCOL, 0x020B);
constexpr ULONG SCARD_ATTR_ICC_PRESENCE = SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0300);
constexpr ULONG SCARD_ATTR_ICC_INTERFACE_STATUS = SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0301);
constexpr ULONG SCARD_ATTR_ATR_STRING = SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0303);
constexpr ULONG SCARD_ATTR_ICC_TYPE_PER_ATR = SCARD_ATTR_VALUE(SCARD_CLASS_ICC_STATE, 0x0304);
constexpr ULONG SCARD_ATTR_DEVICE_UNIT = SCARD_ATTR_VALUE(SCARD_CLASS_SYSTEM, 0x0001);

// ---- reader function slots ----
constexpr ULONG RDF_CARD_POWER = 0;
constexpr ULONG RDF_TRANSMIT = 1;
constexpr ULONG RDF_CARD_EJECT = 2;
constexpr ULONG RDF_READER_SWALLOW = 3;
constexpr ULONG RDF_CARD_TRACKING = 4;
constexpr ULONG RDF_SET_PROTOCOL = 5;
constexpr ULONG RDF_DEBUG_LEVEL = 6;
constexpr ULONG RDF_CARD_CONFISCATE = 7;
constexpr ULONG RDF_IOCTL_VENDOR = 8;
constexpr ULONG RDF_ATR_PARSE = 9;
constexpr ULONG NUMBER_OF_READER_FUNCTIONS = 16;

// The header in front of a TRANSMIT request and its reply (PC/SC SCARD_IO_REQUEST).
struct SCARD_IO_REQUEST {
    ULONG dwProtocol;
    ULONG cbPciLength;  // header length, at least 8
};

struct SMARTCARD_EXTENSION;
using PSMARTCARD_EXTENSION = SMARTCARD_EXTENSION*;
struct READER_EXTENSION;  // the driver's own record
using PREADER_EXTENSION = READER_EXTENSION*;
using PREADER_FUNCTION = NTSTATUS (*)(PSMARTCARD_EXTENSION SmartcardExtension);

struct ATTR_STRING {
    USHORT Length;  // bytes, with the terminating zero for texts
    UCHAR Buffer[MAXIMUM_ATTR_STRING_LENGTH];
};

struct VENDOR_ATTR {
    ATTR_STRING VendorName;
    ATTR_STRING IfdType;
    ULONG UnitNo;
    struct {
        USHORT BuildNumber;
        UCHAR VersionMinor;
        UCHAR VersionMajor;
    } IfdVersion;
    ATTR_STRING IfdSerialNo;
};

struct SCARD_READER_CAPABILITIES {
    ULONG SupportedProtocols;
    ULONG ReaderType;
    ULONG MechProperties;
    ULONG CurrentState;
    ULONG Channel;
    struct {
        ULONG Default;
        ULONG Max;
    } CLKFrequency;  // kHz
    struct {
        ULONG Default;
        ULONG Max;
    } DataRate;  // bps
    ULONG MaxIFSD;
    ULONG PowerMgmtSupport;
    ULONG CardConfiscated;
    struct {
        PULONG List;
        UCHAR Entries;
    } DataRatesSupported;
    struct {
        PULONG List;
        UCHAR Entries;
    } CLKFrequenciesSupported;
};

struct SCARD_CARD_CAPABILITIES {
    BOOLEAN InversConvention;
    ULONG etu;  // microseconds per elementary time unit at the current F, D and clock
    struct {
        UCHAR Buffer[MAXIMUM_ATR_LENGTH];
        UCHAR Length;
    } ATR;
    struct {
        UCHAR Buffer[MAXIMUM_HISTORICAL_LENGTH];
        UCHAR Length;
    } HistoricalChars;
    ULONG Fl;  // TA1 high nibble (clock rate conversion index)
    ULONG Dl;  // TA1 low nibble (bit rate adjustment index)
    ULONG Fi;  // clock rate conversion factor from the Fl table
    ULONG Di;  // bit rate adjustment factor from the Dl table
    UCHAR II;
    UCHAR P;
    UCHAR N;   // extra guard time integer (TC1)
    ULONG GT;  // extra guard time in microseconds
    struct {
        ULONG Supported;
        ULONG Selected;
    } Protocol;
    struct {
        UCHAR WI;
        ULONG WT;  // microseconds
    } T0;
    struct {
        UCHAR IFSC;
        UCHAR CWI;
        UCHAR BWI;
        UCHAR EDC;  // 0 LRC, 1 CRC
        ULONG CWT;  // microseconds
        ULONG BWT;  // microseconds
        ULONG BGT;  // microseconds
    } T1;
};

struct SMARTCARD_REQUEST {
    PUCHAR Buffer;
    ULONG BufferSize;
    ULONG BufferLength;
};
using SMARTCARD_REPLY = SMARTCARD_REQUEST;

#include "platform/smclib/t1.h"

struct PERF_INFO {
    ULONG NumTransmissions;
    ULONG BytesSent;
    ULONG BytesReceived;
    LARGE_INTEGER IoTickCount;  // 100 ns spent inside the reader functions
};

struct REMOVE_LOCK_HOLD {
    ULONG Tag;
    ULONG Thread;  // kclock::ThreadNumber of the acquiring thread
};
constexpr ULONG MAXIMUM_REMOVE_LOCK_HOLDS = 64;

struct SMARTCARD_OS_DATA {
    PDEVICE_OBJECT DeviceObject;
    PIRP NotificationIrp;  // the pending card-tracking request, under SpinLock
    PIRP CurrentIrp;
    KSPIN_LOCK SpinLock;
    // Remove lock, under RemoveLockSpin.
    KSPIN_LOCK RemoveLockSpin;
    BOOLEAN Removing;
    ULONG HoldCount;
    REMOVE_LOCK_HOLD Holds[MAXIMUM_REMOVE_LOCK_HOLDS];
    KEVENT RemoveEvent;  // signalled while no hold is left
    PERF_INFO PerfInfo;
};
using PSMARTCARD_OS_DATA = SMARTCARD_OS_DATA*;

struct SMARTCARD_EXTENSION {
    ULONG Version;
    VENDOR_ATTR VendorAttr;
    PREADER_FUNCTION ReaderFunction[NUMBER_OF_READER_FUNCTIONS];
    SCARD_CARD_CAPABILITIES CardCapabilities;
    ULONG LastError;  // status of the last request that failed in a reader function
    struct {
        PULONG Information;
        PUCHAR RequestBuffer;
        ULONG RequestBufferLength;
        PUCHAR ReplyBuffer;
        ULONG ReplyBufferLength;
    } IoRequest;
    ULONG MajorIoControlCode;
    ULONG MinorIoControlCode;
    PSMARTCARD_OS_DATA OsData;
    SCARD_READER_CAPABILITIES ReaderCapabilities;
    PREADER_EXTENSION ReaderExtension;
    SMARTCARD_REPLY SmartcardReply;
    SMARTCARD_REQUEST SmartcardRequest;
    T1_DATA T1;
};

// ---- library calls ----
NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension);
void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);

NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension);

NTSTATUS SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
void SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag);
// Gives up the calling thread's own hold (if it has one), refuses new ones, and returns when
// no other holder is left.
void SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension);

void SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData);

// Four characters as a remove-lock tag value: RemoveLockTag("PnP ") == 0x20506E50.
constexpr ULONG RemoveLockTag(const char (&t)[5]) { return PoolTag(t); }

// Test support: the next SmartcardInitialize calls fail with `status` (0: succeed), either
// after creating OsData (as for a record version the library does not serve) or before.
void SmartcardTestFailInitialize(NTSTATUS status, bool afterOsData);
