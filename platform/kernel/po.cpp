#include "platform/kernel/po.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/kernel/clock.h"

namespace {

struct InterfaceRegistry {
    std::mutex lock;
    std::vector<DeviceInterfaceRecord> interfaces;
    ULONG next = 0;
    std::vector<PowerStateRecord> powerStates;
};

InterfaceRegistry& Registry() {
    static InterfaceRegistry* r = new InterfaceRegistry;
    return *r;
}

std::atomic<NTSTATUS> g_failRegistration{0};
std::atomic<NTSTATUS> g_failPowerRequest{0};

std::string GuidText(const GUID* g) {
    char text[64];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  g->Data1, g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3],
                  g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
    return text;
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* ClassGuid,
                                   PUNICODE_STRING, PUNICODE_STRING SymbolicLinkName) {
    NTSTATUS fail = g_failRegistration.load();
    if (fail != 0) return fail;
    InterfaceRegistry& r = Registry();
    std::string link;
    {
        std::lock_guard<std::mutex> lock(r.lock);
        for (auto& i : r.interfaces) {
            if (i.physicalDevice == PhysicalDeviceObject) link = i.link;
        }
        if (link.empty()) {
            link = "\\??\\QUOR#" + std::to_string(r.next++) + "#" + GuidText(ClassGuid);
            r.interfaces.push_back({link, PhysicalDeviceObject, false});
        }
    }
    return RtlCreateUnicodeStringFromUtf8(SymbolicLinkName, link.c_str());
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string link = RtlUnicodeStringToUtf8(SymbolicLinkName);
    InterfaceRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.lock);
    for (auto& i : r.interfaces) {
        if (i.link == link) {
            i.enabled = Enable != 0;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

std::vector<DeviceInterfaceRecord> IoTestDeviceInterfaces() {
    InterfaceRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.lock);
    return r.interfaces;
}

bool IoTestInterfaceEnabledFor(PDEVICE_OBJECT PhysicalDeviceObject) {
    InterfaceRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.lock);
    for (auto& i : r.interfaces) {
        if (i.physicalDevice == PhysicalDeviceObject) return i.enabled;
    }
    return false;
}

void IoTestFailInterfaceRegistration(NTSTATUS status) { g_failRegistration.store(status); }

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IofCallDriver(DeviceObject, Irp);
}

void PoStartNextPowerIrp(PIRP) {}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    InterfaceRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.lock);
    POWER_STATE previous{};
    for (auto it = r.powerStates.rbegin(); it != r.powerStates.rend(); ++it) {
        if (it->device == DeviceObject && it->type == Type) {
            previous.DeviceState = static_cast<DEVICE_POWER_STATE>(it->state);
            break;
        }
    }
    r.powerStates.push_back({DeviceObject, Type,
                             Type == SystemPowerState ? static_cast<ULONG>(State.SystemState)
                                                      : static_cast<ULONG>(State.DeviceState)});
    return previous;
}

std::vector<PowerStateRecord> PoTestPowerStates() {
    InterfaceRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.lock);
    return r.powerStates;
}

void PoTestClearPowerStates() {
    InterfaceRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.powerStates.clear();
}

void PoTestFailRequestPowerIrp(NTSTATUS status) { g_failPowerRequest.store(status); }

PIRP IoBuildPnpPowerRequest(PDEVICE_OBJECT DeviceObject, UCHAR MajorFunction, UCHAR MinorFunction,
                            PKEVENT Event, PIO_STATUS_BLOCK IoStatus) {
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) return nullptr;
    irp->Flags = IRP_THREADED;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatus;
    // Plug and Play requests start out as "not supported" until a driver says otherwise.
    irp->IoStatus.Status = MajorFunction == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = MajorFunction;
    next->MinorFunction = MinorFunction;
    return irp;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    NTSTATUS fail = g_failPowerRequest.load();
    if (fail != 0) return fail;
    if (Irp != nullptr) *Irp = nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    const bool driven = kclock::NewThreadsDriven();
    // Device power IRPs go to the stack from a thread of their own, never from the thread that
    // asked (which waits for them) and never from a thread the serial reads need.
    std::thread([top, DeviceObject, MinorFunction, PowerState, CompletionFunction, Context,
                 driven] {
        kclock::SetThreadDriven(driven);
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildPnpPowerRequest(top, IRP_MJ_POWER, MinorFunction, &done, &iosb);
        if (irp == nullptr) {
            iosb.Status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->Parameters.Power.Type = DevicePowerState;
            next->Parameters.Power.State = PowerState;
            // The event is set at completion whether or not the IRP pended.
            IoCallDriver(top, irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        if (CompletionFunction != nullptr) {
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &iosb);
        }
    }).detach();
    return STATUS_PENDING;
}
