// Plug and Play and power services: device interfaces and power IRPs.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/io.h"

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};

// Registers an interface of the class for the physical device; the symbolic link name goes to
// SymbolicLinkName (a pool string the caller frees with RtlFreeUnicodeString). New interfaces
// are disabled.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* ClassGuid,
                                   PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);

struct DeviceInterfaceRecord {
    std::string link;
    PDEVICE_OBJECT physicalDevice;
    bool enabled;
};
// Every registered interface, as a host enumerates them.
std::vector<DeviceInterfaceRecord> IoTestDeviceInterfaces();
bool IoTestInterfaceEnabledFor(PDEVICE_OBJECT PhysicalDeviceObject);
// Makes the next registrations fail with the status (0: succeed).
void IoTestFailInterfaceRegistration(NTSTATUS status);

// ---- power ----
using PREQUEST_POWER_COMPLETE = void (*)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                         POWER_STATE PowerState, PVOID Context,
                                         PIO_STATUS_BLOCK IoStatus);

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void PoStartNextPowerIrp(PIRP Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);
// Sends a device power IRP to the top of the device's stack from another thread and calls
// CompletionFunction when it has completed. Answers STATUS_PENDING.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);

struct PowerStateRecord {
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    ULONG state;
};
std::vector<PowerStateRecord> PoTestPowerStates();
void PoTestClearPowerStates();
// Makes PoRequestPowerIrp refuse at once with the status (0: accept).
void PoTestFailRequestPowerIrp(NTSTATUS status);

// Builds an IRP the way the I/O manager sends it: threaded, completed up to the top, where the
// result goes to *IoStatus and Event is set (either may be null). For METHOD_BUFFERED device
// control use IoBuildDeviceIoControlRequest instead.
PIRP IoBuildPnpPowerRequest(PDEVICE_OBJECT DeviceObject, UCHAR MajorFunction, UCHAR MinorFunction,
                            PKEVENT Event, PIO_STATUS_BLOCK IoStatus);
