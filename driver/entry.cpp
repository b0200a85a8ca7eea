// Driver entry, device creation and removal.
#include <cstring>

#include "card/card.h"
#include "driver/driver.h"
#include "link/serial_io.h"
#include "reader/reader.h"
#include "terminal/terminal.h"

namespace {

ULONG g_dataRates[] = {9600};

constexpr char kVendorName[] = "VESKA Systems";
constexpr char kInitialType[] = "QUOR";
constexpr ULONG kNoUnit = 0xFFFFFFFF;

void SetText(ATTR_STRING& attr, const char* text) {
    const size_t n = std::strlen(text);
    std::memcpy(attr.Buffer, text, n + 1);
    attr.Length = static_cast<USHORT>(n + 1);
}

bool UnitTaken(PDEVICE_OBJECT first, ULONG unit) {
    for (PDEVICE_OBJECT d = first; d != nullptr; d = d->NextDevice) {
        auto* dx = static_cast<PDEVICE_EXTENSION>(d->DeviceExtension);
        if (dx != nullptr && dx->SmartcardExtension.VendorAttr.UnitNo == unit) return true;
    }
    return false;
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    // The message resource the event log takes its texts from.
    IoRegisterMessageTable(DriverObject, QuorMessageTable, QuorMessageTableSize);
    return STATUS_SUCCESS;
}

void DriverUnload(PDRIVER_OBJECT) {}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), nullptr,
                                     FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        SmartcardLogError(DriverObject, QUOR_MSG_CANT_CREATE_DEVICE, nullptr, 0);
        return status;
    }
    auto* dx = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    // The removal bookkeeping first, so that a removal of a half-built device works.
    KeInitializeEvent(&dx->RemovalBegun, NotificationEvent, FALSE);
    KeInitializeEvent(&dx->DispatchIdle, NotificationEvent, TRUE);
    dx->DispatchCount = 0;

    status = InitializeSmartcardExtension(device, ext, SerialIo);
    if (NT_SUCCESS(status)) {
        dx->WorkItem = IoAllocateWorkItem(device);
        dx->PowerWorkItem = IoAllocateWorkItem(device);
        if (dx->WorkItem == nullptr || dx->PowerWorkItem == nullptr) {
            SmartcardLogError(DriverObject, QUOR_MSG_NO_MEMORY, nullptr, 0);
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        KeInitializeEvent(&dx->ReaderStarted, NotificationEvent, FALSE);
        dx->ReaderOpen = 0;
        KeInitializeSpinLock(&dx->SpinLock);
        PREADER_EXTENSION r = ext->ReaderExtension;
        r->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
        if (r->AttachedDeviceObject == nullptr) {
            SmartcardLogError(DriverObject, QUOR_MSG_CANT_CONNECT_TO_ASSIGNED_PORT, nullptr, 0);
            status = STATUS_UNSUCCESSFUL;
        }
    }
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(
            PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, nullptr, &dx->PnPDeviceName);
    }
    if (NT_SUCCESS(status)) {
        device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    } else {
        RemoveDevice(device);
    }
    return status;
}

NTSTATUS InitializeSmartcardExtension(PDEVICE_OBJECT DeviceObject,
                                      PSMARTCARD_EXTENSION SmartcardExtension,
                                      PSERIAL_IO_FUNCTION SerialIoFunction) {
    PSMARTCARD_EXTENSION ext = SmartcardExtension;
    auto* r = static_cast<PREADER_EXTENSION>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), READER_EXTENSION_TAG));
    ext->ReaderExtension = r;
    if (r == nullptr) {
        SmartcardLogError(DeviceObject->DriverObject, QUOR_MSG_NO_MEMORY, nullptr, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(r, 0, sizeof(*r));
    // The port counts as closed from the start, so a teardown of a half-built device never
    // talks to it.
    KeInitializeEvent(&r->SerialCloseDone, NotificationEvent, TRUE);
    KeInitializeMutex(&r->DeviceControlMutex, 0);
    KeInitializeMutex(&r->ReaderMutex, 0);
    KeInitializeEvent(&r->PollThreadStop, NotificationEvent, FALSE);
    KeInitializeEvent(&r->PollThreadStopped, NotificationEvent, FALSE);
    KeInitializeEvent(&r->IoAbort, NotificationEvent, FALSE);
    r->SerialIoFunction = SerialIoFunction;
    TerminalInitialize(ext);

    ext->Version = SMCLIB_VERSION;
    ext->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    ext->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    NTSTATUS status = SmartcardInitialize(ext);
    if (!NT_SUCCESS(status)) {
        SmartcardLogError(DeviceObject->DriverObject,
                          ext->OsData != nullptr ? QUOR_MSG_SMCLIB_VERSION : QUOR_MSG_NO_MEMORY,
                          nullptr, 0);
        return status;
    }
    ext->OsData->DeviceObject = DeviceObject;
    r->AttachedDeviceObject = DeviceObject;

    ext->ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
    ext->ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
    ext->ReaderFunction[RDF_CARD_POWER] = ReaderPower;
    ext->ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
    ext->ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;

    VENDOR_ATTR& v = ext->VendorAttr;
    SetText(v.VendorName, kVendorName);
    SetText(v.IfdType, kInitialType);
    v.IfdVersion.BuildNumber = 64;
    v.IfdVersion.VersionMinor = 150;
    v.IfdVersion.VersionMajor = 0;

    // The smallest unit number no other device of this driver holds.
    v.UnitNo = kNoUnit;
    ULONG unit = 0;
    while (UnitTaken(DeviceObject->DriverObject->DeviceObject, unit)) ++unit;
    v.UnitNo = unit;

    SCARD_READER_CAPABILITIES& c = ext->ReaderCapabilities;
    c.CLKFrequency.Default = 4000;
    c.CLKFrequency.Max = 4000;
    c.DataRate.Default = 9600;
    c.DataRate.Max = 9600;
    c.DataRatesSupported.List = g_dataRates;
    c.DataRatesSupported.Entries = 1;
    c.MaxIFSD = 254;
    c.CurrentState = SCARD_UNKNOWN;
    c.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    c.MechProperties = 0;
    c.ReaderType = SCARD_READER_TYPE_SERIAL;

    SetSerialDefaults(r);
    return STATUS_SUCCESS;
}

void RemoveDevice(PDEVICE_OBJECT DeviceObject) {
    if (DeviceObject == nullptr) return;
    auto* dx = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;

    // Requests still waiting to be admitted give up now; wait until they have left.
    KeSetEvent(&dx->RemovalBegun, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&dx->DispatchIdle, Executive, KernelMode, FALSE, nullptr);

    DrainDevice(ext);
    PREADER_EXTENSION r = ext->ReaderExtension;
    if (r != nullptr) {
        StopDevice(DeviceObject);
        PDEVICE_OBJECT below = r->AttachedDeviceObject;
        if (below != nullptr && below != DeviceObject) {
            if (!r->SkipDetach) IoDetachDevice(below);
            r->SkipDetach = 0;
        }
    }
    FreeReaderResources(ext);
    if (dx->PnPDeviceName.Buffer != nullptr) RtlFreeUnicodeString(&dx->PnPDeviceName);
    for (PIO_WORKITEM* item : {&dx->WorkItem, &dx->PowerWorkItem}) {
        if (*item != nullptr) {
            IoFreeWorkItem(*item);
            *item = nullptr;
        }
    }
    IoDeleteDevice(DeviceObject);
}

NTSTATUS DrainDevice(PSMARTCARD_EXTENSION SmartcardExtension) {
    if (SmartcardExtension->OsData != nullptr) {
        if (SmartcardExtension->ReaderExtension != nullptr) {
            CompleteCardTracking(SmartcardExtension);
        }
        SmartcardReleaseRemoveLockAndWait(SmartcardExtension);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FreeReaderResources(PSMARTCARD_EXTENSION SmartcardExtension) {
    // The display timer must not expire on freed memory.
    if (SmartcardExtension->ReaderExtension != nullptr) TerminalShutdown(SmartcardExtension);
    if (SmartcardExtension->OsData != nullptr) SmartcardExit(SmartcardExtension);
    if (SmartcardExtension->ReaderExtension != nullptr) {
        ExFreePoolWithTag(SmartcardExtension->ReaderExtension, READER_EXTENSION_TAG);
        SmartcardExtension->ReaderExtension = nullptr;
    }
    return STATUS_SUCCESS;
}
