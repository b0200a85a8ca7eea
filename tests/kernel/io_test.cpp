#include "platform/kernel/io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "platform/kernel/eventlog.h"
#include "tests/kernel/kernel_test_env.h"

namespace quor::kernel_test {
namespace {

using kernel_Device = KernelTest;
using kernel_Irp = KernelTest;
using kernel_EventLog = KernelTest;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_SMARTCARD, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A driver with one device whose every dispatch entry runs `dispatch`; the device extension
// points back here, and CancelThunk forwards a cancel routine call to `cancel`.
struct Layer {
    explicit Layer(const char* name) : driver(IoTestCreateDriverObject(name)) {
        for (auto& f : driver->MajorFunction) f = Dispatch;
        EXPECT_EQ(IoCreateDevice(driver, sizeof(Layer*), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE,
                                 &device),
                  STATUS_SUCCESS);
        *static_cast<Layer**>(device->DeviceExtension) = this;
    }
    ~Layer() {
        if (device != nullptr) IoDeleteDevice(device);
        IoTestDeleteDriverObject(driver);
    }
    static Layer& Of(PDEVICE_OBJECT d) { return **static_cast<Layer**>(d->DeviceExtension); }
    static NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) { return Of(d).dispatch(d, irp); }
    static void CancelThunk(PDEVICE_OBJECT d, PIRP irp) { Of(d).cancel(d, irp); }

    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT device = nullptr;
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch;
    std::function<void(PDEVICE_OBJECT, PIRP)> cancel;
};

std::set<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
    std::set<PDEVICE_OBJECT> s;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) s.insert(d);
    return s;
}

// Completes the IRP on a thread of its own, as a driver finishing a pended request.
std::thread CompleteLater(PIRP irp) {
    return std::thread([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
}

// Records how a completion routine was called; answers `answer`.
struct RoutineLog {
    RoutineLog() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    static NTSTATUS Routine(PDEVICE_OBJECT d, PIRP irp, PVOID self) {
        auto* log = static_cast<RoutineLog*>(self);
        log->calls++;
        log->device = d;
        log->pendingReturned = irp->PendingReturned;
        KeSetEvent(&log->done, IO_NO_INCREMENT, FALSE);
        return log->answer;
    }
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS answer = STATUS_SUCCESS;
    KEVENT done;
};

TEST_F(kernel_Device, DriverListAndDeviceStack) {
    PDRIVER_OBJECT driver = IoTestCreateDriverObject("stack");
    PDEVICE_OBJECT a, b, c, d, e;
    for (PDEVICE_OBJECT* p : {&a, &b, &c, &d, &e}) {
        ASSERT_EQ(IoCreateDevice(driver, 24, nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, p),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(DevicesOf(driver), (std::set<PDEVICE_OBJECT>{a, b, c, d, e}));
    EXPECT_EQ(a->DriverObject, driver);
    EXPECT_EQ(a->StackSize, 1);
    auto* ext = static_cast<UCHAR*>(a->DeviceExtension);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(ext) % alignof(std::max_align_t), 0u);
    EXPECT_TRUE(std::all_of(ext, ext + 24, [](UCHAR x) { return x == 0; }));
    IoDeleteDevice(b);
    EXPECT_EQ(DevicesOf(driver), (std::set<PDEVICE_OBJECT>{a, c, d, e}));

    EXPECT_EQ(IoAttachDeviceToDeviceStack(c, a), a);
    EXPECT_EQ(c->StackSize, 2);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(d, a), c);  // goes on top, returns the former top
    EXPECT_EQ(d->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(a), d);
    IoTestFailAttach(true);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(e, a), nullptr);
    IoTestFailAttach(false);
    EXPECT_EQ(IoGetAttachedDevice(a), d);
    IoDetachDevice(c);
    EXPECT_EQ(IoGetAttachedDevice(a), c);
    IoDetachDevice(a);
    EXPECT_EQ(IoGetAttachedDevice(a), a);
    for (PDEVICE_OBJECT x : {a, c, d, e}) IoDeleteDevice(x);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    IoTestDeleteDriverObject(driver);
}

TEST_F(kernel_Device, FailureHooksLeaveNothingBehind) {
    Layer layer("hooks");
    int allocations = 0;
    auto failAllocationNumber = [&](int n) {
        allocations = 0;
        ExTestSetAllocationFailureHook(
            [&, n](POOL_TYPE, SIZE_T, ULONG) { return ++allocations == n; });
    };
    auto createDevice = [&] {
        PDEVICE_OBJECT d = reinterpret_cast<PDEVICE_OBJECT>(1);
        NTSTATUS s = IoCreateDevice(layer.driver, 8, nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &d);
        EXPECT_EQ(d, nullptr);
        return s;
    };
    UCHAR buffer[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    struct Case {
        const char* name;
        std::function<void()> arm;
        std::function<bool()> failsAsArmed;
    };
    const Case cases[] = {
        {"device creation status", [] { IoTestFailCreateDevice(STATUS_NO_SUCH_DEVICE); },
         [&] { return createDevice() == STATUS_NO_SUCH_DEVICE; }},
        {"device pool", [&] { failAllocationNumber(1); },
         [&] { return createDevice() == STATUS_INSUFFICIENT_RESOURCES; }},
        {"IRP allocation", [] { IoTestFailIrpAllocation(true); },
         [] { return IoAllocateIrp(2, FALSE) == nullptr; }},
        {"IRP pool", [&] { failAllocationNumber(1); },
         [] { return IoAllocateIrp(2, FALSE) == nullptr; }},
        {"system buffer pool", [&] { failAllocationNumber(2); },
         [&] {
             return IoBuildDeviceIoControlRequest(kIoctl, layer.device, buffer, 8, buffer, 8, FALSE,
                                                  &event, &iosb) == nullptr;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LONG irps = IoTestLiveIrps();
        const LONG devices = IoTestLiveDevices();
        const SIZE_T pool = ExTestOutstandingAllocations(0);
        c.arm();
        EXPECT_TRUE(c.failsAsArmed());
        DisarmHooks();
        EXPECT_EQ(IoTestLiveIrps(), irps);
        EXPECT_EQ(IoTestLiveDevices(), devices);
        EXPECT_EQ(ExTestOutstandingAllocations(0), pool);
        EXPECT_EQ(DevicesOf(layer.driver), std::set<PDEVICE_OBJECT>{layer.device});
    }
    const ULONG tag = PoolTag("TstA");
    PVOID p = ExAllocatePoolWithTag(PagedPool, 16, tag);
    EXPECT_EQ(ExTestOutstandingAllocations(tag), 1u);
    ExFreePoolWithTag(p, tag);
    EXPECT_EQ(ExTestOutstandingAllocations(tag), 0u);
}

// The test owns the IRP (its routine answers STATUS_MORE_PROCESSING_REQUIRED) and sends it
// to `upper`, attached above `lower`.
struct TwoLayers {
    TwoLayers() {
        EXPECT_EQ(IoAttachDeviceToDeviceStack(upper.device, lower.device), lower.device);
    }
    ~TwoLayers() { IoDetachDevice(lower.device); }
    PIRP Send(RoutineLog& owner) {
        PIRP irp = IoAllocateIrp(upper.device->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = kIoctl;
        owner.answer = STATUS_MORE_PROCESSING_REQUIRED;
        IoSetCompletionRoutine(irp, RoutineLog::Routine, &owner, TRUE, TRUE, TRUE);
        status = IoCallDriver(upper.device, irp);
        return irp;
    }
    Layer lower{"lower"};
    Layer upper{"upper"};
    NTSTATUS status = STATUS_UNSUCCESSFUL;
};

TEST_F(kernel_Irp, CompletionRoutinesRunByTheirInvokeFlags) {
    struct Case {
        const char* name;
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool called;
    };
    const Case cases[] = {
        {"success, on success", STATUS_SUCCESS, false, true, false, false, true},
        {"success, on error only", STATUS_SUCCESS, false, false, true, true, false},
        {"error, on error", STATUS_IO_TIMEOUT, false, false, true, false, true},
        {"error, on success only", STATUS_IO_TIMEOUT, false, true, false, false, false},
        {"warning counts as failure", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        {"cancelled, on cancel", STATUS_CANCELLED, true, false, false, true, true},
        {"on cancel, not cancelled", STATUS_CANCELLED, false, true, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TwoLayers stack;
        RoutineLog owner, upperRoutine;
        stack.upper.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RoutineLog::Routine, &upperRoutine, c.onSuccess, c.onError,
                                   c.onCancel);
            if (c.cancel) irp->Cancel = TRUE;
            return IoCallDriver(stack.lower.device, irp);
        };
        stack.lower.dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(sp, irp->StackBase);  // the bottom location
            EXPECT_EQ(sp->DeviceObject, d);
            EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kIoctl);
            irp->IoStatus.Status = c.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        };
        PIRP irp = stack.Send(owner);
        EXPECT_EQ(stack.status, c.status);
        EXPECT_EQ(upperRoutine.calls, c.called ? 1 : 0);
        EXPECT_EQ(upperRoutine.device, c.called ? stack.upper.device : nullptr);
        EXPECT_EQ(owner.calls, 1);
        EXPECT_EQ(owner.device, nullptr);  // the originator has no location of its own
        IoFreeIrp(irp);
    }
}

TEST_F(kernel_Irp, MoreProcessingRequiredHandsTheIrpBack) {
    auto completeAtOnce = [](PDEVICE_OBJECT, PIRP irp) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    {  // The upper routine keeps the IRP and completes it again later.
        TwoLayers stack;
        RoutineLog owner, upperRoutine;
        upperRoutine.answer = STATUS_MORE_PROCESSING_REQUIRED;
        stack.upper.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RoutineLog::Routine, &upperRoutine, TRUE, TRUE, TRUE);
            return IoCallDriver(stack.lower.device, irp);
        };
        stack.lower.dispatch = completeAtOnce;
        PIRP irp = stack.Send(owner);
        EXPECT_EQ(upperRoutine.calls, 1);
        EXPECT_EQ(owner.calls, 0);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_EQ(owner.calls, 1);
        IoFreeIrp(irp);
    }
    // The routine frees the IRP and deletes its own device before answering: completion must
    // touch neither afterwards (the address sanitizer watches).
    Layer lower("lower");
    Layer upper("upper");
    IoAttachDeviceToDeviceStack(upper.device, lower.device);
    lower.dispatch = completeAtOnce;
    PIRP irp = IoAllocateIrp(upper.device->StackSize, FALSE);
    IoSetNextIrpStackLocation(irp);  // upper takes a location of its own
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = upper.device;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT d, PIRP irp, PVOID layer) {
            EXPECT_EQ(d, static_cast<Layer*>(layer)->device);
            IoFreeIrp(irp);
            IoDetachDevice(d->AttachedTo);
            IoDeleteDevice(d);
            static_cast<Layer*>(layer)->device = nullptr;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &upper, TRUE, TRUE, TRUE);
    IoCallDriver(lower.device, irp);
    EXPECT_EQ(upper.device, nullptr);  // the routine ran
}

TEST_F(kernel_Irp, PendingReturnedReachesTheRoutineAbove) {
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "completed later from another thread" : "completed at once");
        TwoLayers stack;
        RoutineLog owner;
        std::thread completer;
        stack.upper.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);  // no routine: the flag must climb alone
            return IoCallDriver(stack.lower.device, irp);
        };
        stack.lower.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            if (!pend) {
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            IoMarkIrpPending(irp);
            completer = CompleteLater(irp);
            return STATUS_PENDING;
        };
        PIRP irp = stack.Send(owner);
        EXPECT_EQ(stack.status, pend ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(Wait(&owner.done), STATUS_SUCCESS);
        if (completer.joinable()) completer.join();
        EXPECT_EQ(owner.pendingReturned, pend ? TRUE : FALSE);
        IoFreeIrp(irp);
    }
}

// A request built by the I/O manager and answered by a lower driver that fills the whole
// system buffer. A driver may turn the request into a read on the next location to talk to
// the port below it; the copy back works the same.
TEST_F(kernel_Irp, BuiltRequestCopiesBackInformationBytes) {
    struct Case {
        const char* name;
        UCHAR major;
        ULONG in, out;
        NTSTATUS status;
        ULONG information;
        bool pend;
        ULONG copied;
    };
    const UCHAR kControl = IRP_MJ_DEVICE_CONTROL;
    const Case cases[] = {
        {"output larger", kControl, 4, 16, STATUS_SUCCESS, 10, false, 10},
        {"input larger", kControl, 16, 8, STATUS_SUCCESS, 8, false, 8},
        {"warning still copies", kControl, 4, 16, STATUS_BUFFER_OVERFLOW, 16, false, 16},
        {"error copies nothing", kControl, 4, 16, STATUS_IO_TIMEOUT, 10, false, 0},
        {"pending", kControl, 4, 16, STATUS_SUCCESS, 12, true, 12},
        {"pending, error", kControl, 4, 16, STATUS_DEVICE_DATA_ERROR, 12, true, 0},
        {"no output", kControl, 8, 0, STATUS_SUCCESS, 0, false, 0},
        {"turned into a read", IRP_MJ_READ, 0, 16, STATUS_SUCCESS, 10, false, 10},
        {"turned into a read, pending", IRP_MJ_READ, 0, 16, STATUS_SUCCESS, 7, true, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Layer lower("lower");
        std::thread completer;
        lower.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(sp->MajorFunction, c.major);
            if (c.major == IRP_MJ_READ) {
                EXPECT_EQ(sp->Parameters.Read.Length, c.out);
            } else {
                EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, c.in);
                EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, c.out);
            }
            auto* sb = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < c.in; ++i) EXPECT_EQ(sb[i], i + 1) << i;
            for (ULONG i = 0; i < std::max(c.in, c.out); ++i) sb[i] = static_cast<UCHAR>(0xA0 + i);
            irp->IoStatus.Status = c.status;
            irp->IoStatus.Information = c.information;
            if (!c.pend) {
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return c.status;
            }
            IoMarkIrpPending(irp);
            completer = CompleteLater(irp);
            return STATUS_PENDING;
        };
        std::vector<UCHAR> input(c.in), output(c.out + 8, 0xEE);
        for (ULONG i = 0; i < c.in; ++i) input[i] = static_cast<UCHAR>(i + 1);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{STATUS_UNSUCCESSFUL, 0xDEAD};
        const LONG irps = IoTestLiveIrps();
        PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, lower.device, input.data(), c.in,
                                                 c.out ? output.data() : nullptr, c.out, FALSE,
                                                 &event, &iosb);
        ASSERT_NE(irp, nullptr);
        if (c.major == IRP_MJ_READ) {
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = c.out;
        }
        const NTSTATUS s = IoCallDriver(lower.device, irp);
        EXPECT_EQ(s, c.pend ? STATUS_PENDING : c.status);
        EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
        if (completer.joinable()) completer.join();
        EXPECT_EQ(iosb.Status, c.status);
        EXPECT_EQ(iosb.Information, c.information);
        for (ULONG i = 0; i < output.size(); ++i) {
            EXPECT_EQ(output[i], i < c.copied ? 0xA0 + i : 0xEE) << i;
        }
        EXPECT_EQ(IoTestLiveIrps(), irps);
    }
}

// A missing cancel spin lock would show at once: releasing a lock that is not held stops the
// process.
TEST_F(kernel_Irp, CancelCallsTheCancelRoutineUnderTheCancelLock) {
    for (bool withRoutine : {true, false}) {
        SCOPED_TRACE(withRoutine ? "with a cancel routine" : "without one");
        Layer lower("lower");
        PIRP pending = nullptr;
        lower.dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
            if (withRoutine) {
                EXPECT_EQ(IoSetCancelRoutine(irp, Layer::CancelThunk), nullptr);
            }
            IoMarkIrpPending(irp);
            pending = irp;
            return STATUS_PENDING;
        };
        int calls = 0;
        lower.cancel = [&](PDEVICE_OBJECT d, PIRP irp) {
            calls++;
            EXPECT_EQ(d, lower.device);
            EXPECT_TRUE(irp->Cancel);
            EXPECT_EQ(irp->CancelRoutine, nullptr);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            IoReleaseCancelSpinLock(irp->CancelIrql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        };
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, lower.device, nullptr, 0, nullptr, 0,
                                                 FALSE, &event, &iosb);
        ASSERT_EQ(IoCallDriver(lower.device, irp), STATUS_PENDING);
        EXPECT_EQ(IoCancelIrp(irp), withRoutine ? TRUE : FALSE);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        if (!withRoutine) {
            EXPECT_TRUE(pending->Cancel);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);  // left free
            IoReleaseCancelSpinLock(irql);
            pending->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(pending, IO_NO_INCREMENT);
        }
        EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
        EXPECT_EQ(calls, withRoutine ? 1 : 0);
    }
}

TEST_F(kernel_EventLog, EntriesCarryTheirObjectAndMessageText) {
    kclock::SetManual();
    kclock::SetNow(0x01DA'1234'0000'0000);
    Layer layer("logger");
    const MESSAGE_TABLE_ENTRY table[] = {{STATUS_IO_TIMEOUT, "No answer in time.\r\n"},
                                         {STATUS_NO_MEDIA, "No card.\r\n"}};
    IoRegisterMessageTable(layer.driver, table, 2);
    EventLogClear();
    IoWriteEventLogEntry(layer.driver, STATUS_IO_TIMEOUT, nullptr, 7);
    IoWriteEventLogEntry(layer.device, STATUS_NO_MEDIA, "COM3", 0x1234);
    IoWriteEventLogEntry(layer.device, STATUS_DATA_ERROR, nullptr, 0);
    const struct {
        PVOID object;
        NTSTATUS code;
        ULONG dump;
        const char* insertion;
        const char* message;
    } expected[] = {
        {layer.driver, STATUS_IO_TIMEOUT, 7, "", table[0].Text},
        {layer.device, STATUS_NO_MEDIA, 0x1234, "COM3", table[1].Text},
        {layer.device, STATUS_DATA_ERROR, 0, "", ""},  // not in the table
    };
    const auto entries = EventLogEntries();
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i].IoObject, expected[i].object);
        EXPECT_EQ(entries[i].Driver, layer.driver);
        EXPECT_EQ(entries[i].FromDevice, expected[i].object == layer.device);
        EXPECT_EQ(entries[i].Code, expected[i].code);
        EXPECT_EQ(entries[i].DumpData, expected[i].dump);
        EXPECT_EQ(entries[i].Insertion, expected[i].insertion);
        EXPECT_EQ(entries[i].Message, expected[i].message);
        EXPECT_EQ(entries[i].Time, 0x01DA'1234'0000'0000);
    }
    IoUnregisterMessageTable(layer.driver);
    EventLogClear();
}

}  // namespace
}  // namespace quor::kernel_test
