// The serial layer: settings put into force on the port below, the gateway for every serial
// request and byte transfer (SerialIo), and the plain byte writer for command frames.
#pragma once

#include "link/extension.h"

// The driver's own request codes for SerialIo (device type 0x31, buffered, any access).
constexpr ULONG READER_SERIAL_READ = CTL_CODE(FILE_DEVICE_SMARTCARD, 1000, METHOD_BUFFERED,
                                              FILE_ANY_ACCESS);  // 0x310FA0
constexpr ULONG READER_SERIAL_WRITE = CTL_CODE(FILE_DEVICE_SMARTCARD, 1001, METHOD_BUFFERED,
                                               FILE_ANY_ACCESS);  // 0x310FA4
static_assert(READER_SERIAL_READ == 0x310FA0 && READER_SERIAL_WRITE == 0x310FA4);

// Event-log code for a transfer that does not fit its buffer.
constexpr NTSTATUS SMARTCARD_BUFFER_TOO_SMALL_EVENT = static_cast<NTSTATUS>(0xC0100003u);

// Sends the eight settings requests in order; stops at the first failure and returns it.
NTSTATUS ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension);

// Carries out SerialIoControlCode against the port below with SMCLIB's request and reply
// records as parameter block (see the header of serial_io.cpp).
NTSTATUS SerialIo(PSMARTCARD_EXTENSION SmartcardExtension);

// Writes `Length` bytes one byte per request, without pauses. Only IRP_MJ_WRITE is served.
NTSTATUS SerialReadWrite(PDEVICE_OBJECT PortDevice, UCHAR MajorFunction, PUCHAR Buffer,
                         ULONG Length);
