// The driver frame: entry, device creation and removal, Plug and Play, power management and
// the dispatch of create, close, cleanup and device-control requests.
#pragma once

#include "link/extension.h"

// The smart card reader device interface class {50DD5230-BA8A-11D1-BF5D-0000F805F530}.
extern const GUID GUID_DEVINTERFACE_SMARTCARD_READER;

// Event-log message codes.
constexpr NTSTATUS QUOR_MSG_SMCLIB_VERSION = static_cast<NTSTATUS>(0x40040006u);
constexpr NTSTATUS QUOR_MSG_SHARED_IRQ_BUSY = static_cast<NTSTATUS>(0x40040007u);
constexpr NTSTATUS QUOR_MSG_CANT_CREATE_DEVICE = static_cast<NTSTATUS>(0xC0040001u);
constexpr NTSTATUS QUOR_MSG_NO_MEMORY = static_cast<NTSTATUS>(0xC0040002u);
constexpr NTSTATUS QUOR_MSG_CANT_CONNECT_TO_ASSIGNED_PORT = static_cast<NTSTATUS>(0xC0040004u);
constexpr NTSTATUS QUOR_MSG_TOO_MANY_DEVICES = static_cast<NTSTATUS>(0xC0040005u);
constexpr NTSTATUS QUOR_MSG_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0100003u);

// The driver's message table (language 0x409), texts with their line ends.
extern const MESSAGE_TABLE_ENTRY QuorMessageTable[];
extern const ULONG QuorMessageTableSize;

// Remove-lock tags.
constexpr ULONG TAG_PNP = RemoveLockTag("PnP ");
constexpr ULONG TAG_POWER = RemoveLockTag("Powr");
constexpr ULONG TAG_CREATE_CLOSE = RemoveLockTag("CrCl");
constexpr ULONG TAG_IOCTL = RemoveLockTag("Ioct");

// ---- entry, creation, removal ----
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS InitializeSmartcardExtension(PDEVICE_OBJECT DeviceObject,
                                      PSMARTCARD_EXTENSION SmartcardExtension,
                                      PSERIAL_IO_FUNCTION SerialIoFunction);
void RemoveDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS DrainDevice(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS FreeReaderResources(PSMARTCARD_EXTENSION SmartcardExtension);
void DriverUnload(PDRIVER_OBJECT DriverObject);

// ---- Plug and Play ----
NTSTATUS PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);
void StopDevice(PDEVICE_OBJECT DeviceObject);
void CloseSerialPort(PDEVICE_OBJECT DeviceObject);
NTSTATUS CallLowerDriverSync(PDEVICE_OBJECT LowerDevice, PIRP Irp);

// ---- power ----
NTSTATUS PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Completion of the D0 request: hands the IRP to PowerUpWork and keeps it.
NTSTATUS PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Re-identifies the reader after wake-up, reports a card change, completes the D0 request and
// gives up its hold of the remove lock. Runs as the device's power work item.
void PowerUpWork(PDEVICE_OBJECT DeviceObject, PVOID Context);
void PowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                            POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);

// ---- request dispatch ----
NTSTATUS CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
