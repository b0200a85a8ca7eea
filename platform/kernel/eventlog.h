// The system event log and the drivers' message tables. A driver registers its message table
// once; every entry written against one of its objects carries the message text from it.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/io.h"

struct MESSAGE_TABLE_ENTRY {
    NTSTATUS Code;
    const char* Text;  // as the message resource holds it, line ends included
};

void IoRegisterMessageTable(PDRIVER_OBJECT DriverObject, const MESSAGE_TABLE_ENTRY* Entries,
                            ULONG Count);
void IoUnregisterMessageTable(PDRIVER_OBJECT DriverObject);

struct EventLogEntry {
    NTSTATUS Code;
    PVOID IoObject;         // the driver or device object the entry was written against
    PDRIVER_OBJECT Driver;  // its driver
    bool FromDevice;        // written against a device object
    ULONG DumpData;
    std::string Insertion;  // insertion string (may be empty)
    std::string Message;    // text from the driver's message table, empty when unknown
    LONGLONG Time;          // system time of the entry
};

// Writes an entry. IoObject is a DRIVER_OBJECT or a DEVICE_OBJECT.
void IoWriteEventLogEntry(PVOID IoObject, NTSTATUS Code, const char* Insertion, ULONG DumpData);

std::vector<EventLogEntry> EventLogEntries();
void EventLogClear();
