// SerialIo sends SmartcardRequest.Buffer / BufferLength (control input or bytes to write) and
// receives into SmartcardReply.Buffer, wanting SmartcardReply.BufferLength bytes. A request
// that pends is waited for, and then the count the port transferred is stored in
// SmartcardReply.BufferLength; a request completed at once leaves that count alone. Writes are
// paced by the card's guard time: with CardCapabilities.GT non-zero every byte goes out in a
// request of its own, followed by a pause of GT microseconds before the next one: a busy-wait
// for short guard times, a sleep through the clock with a short busy-wait at its end for long
// ones, so that the processor is not held for the whole of a slow card's guard time.
#include "link/serial_io.h"

#include "link/extension.h"

namespace {

// Passes beyond this many repeated STATUS_MORE_PROCESSING_REQUIRED answers from the port
// below end the call: a port that keeps answering so would otherwise hold the caller for ever.
constexpr int kMaxRepeats = 100;

// Guard times above this many microseconds sleep instead of busy-waiting; the last
// kGuardSpinTailUs of them are still busy-waited, which absorbs a sleep's late wake-up and
// keeps the spacing of the bytes on the line to the microsecond.
constexpr ULONG kGuardSleepAboveUs = 300;
constexpr ULONG kGuardSpinTailUs = 100;

void GuardTimePause(ULONG gt) {
    if (gt <= kGuardSleepAboveUs) {
        KeStallExecutionProcessor(gt);
        return;
    }
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    LARGE_INTEGER sleep = RelativeTime100ns(static_cast<LONGLONG>(gt - kGuardSpinTailUs) * 10);
    KeDelayExecutionThread(KernelMode, FALSE, &sleep);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG left = start.QuadPart + static_cast<LONGLONG>(gt) * 10 - now.QuadPart;
    if (left >= 10) KeStallExecutionProcessor(static_cast<ULONG>(left / 10));
}

// Completion routine of our requests to the port: the IRP stays ours until the caller has
// seen it complete (so that it can still be cancelled safely), then the caller finishes it.
NTSTATUS PortRequestDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// One request to the port below. For reads and writes the device-control request is turned
// into IRP_MJ_READ / IRP_MJ_WRITE of `outLen` / `inLen` bytes at offset 0. A request that pends
// is waited for; when `abort` is signalled meanwhile, it is cancelled.
NTSTATUS CallPort(PDEVICE_OBJECT port, ULONG code, PVOID in, ULONG inLen, PVOID out, ULONG outLen,
                  PKEVENT abort, bool* pended, ULONG_PTR* transferred) {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, port, inLen ? in : nullptr, inLen,
                                             outLen ? out : nullptr, outLen, FALSE, nullptr, &iosb);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (code == READER_SERIAL_READ) {
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = outLen;
        next->Parameters.Read.ByteOffset.QuadPart = 0;
    } else if (code == READER_SERIAL_WRITE) {
        next->MajorFunction = IRP_MJ_WRITE;
        next->Parameters.Write.Length = inLen;
        next->Parameters.Write.ByteOffset.QuadPart = 0;
    }
    IoSetCompletionRoutine(irp, PortRequestDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(port, irp);
    *pended = status == STATUS_PENDING;
    if (abort != nullptr) {
        PVOID objects[2] = {&done, abort};
        if (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                     nullptr) != STATUS_WAIT_0) {
            IoCancelIrp(irp);
        }
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    // The I/O manager's part: the output copied back, the status block filled, the IRP freed.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (*pended) {
        status = iosb.Status;
        *transferred = iosb.Information;
    }
    return status;
}

}  // namespace

void ReaderPause(PREADER_EXTENSION ReaderExtension, LONGLONG Units) {
    LARGE_INTEGER interval;
    interval.QuadPart = -Units;
    KeWaitForSingleObject(&ReaderExtension->IoAbort, Executive, KernelMode, FALSE, &interval);
}

void SetWaitTimeParameter(PREADER_EXTENSION ReaderExtension, USHORT WaitTime) {
    auto* bytes = reinterpret_cast<UCHAR*>(ReaderExtension->WaitTimeParameter);
    bytes[0] = static_cast<UCHAR>(WaitTime >> 8);
    bytes[1] = static_cast<UCHAR>(WaitTime & 0xFF);
    ReaderExtension->WaitTimeParameter[1] = 1;
    ReaderExtension->WaitTimeParameter[2] = 0;
}

NTSTATUS ConfigureSerialPort(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    SERIAL_CONFIG_DATA& c = r->SerialConfigData;
    struct Step {
        ULONG code;
        PVOID input;
        ULONG length;
    };
    const Step steps[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, &c.BaudRate, sizeof(c.BaudRate)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, &c.LineControl, sizeof(c.LineControl)},
        {IOCTL_SERIAL_SET_CHARS, &c.SerialChars, sizeof(c.SerialChars)},
        {IOCTL_SERIAL_SET_TIMEOUTS, &c.Timeouts, sizeof(c.Timeouts)},
        {IOCTL_SERIAL_SET_HANDFLOW, &c.HandFlow, sizeof(c.HandFlow)},
        {IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0},
        {IOCTL_SERIAL_SET_DTR, nullptr, 0},
        {IOCTL_SERIAL_SET_RTS, nullptr, 0},
    };
    SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    PUCHAR saved = SmartcardExtension->SmartcardRequest.Buffer;
    for (const Step& s : steps) {
        r->SerialIoControlCode = s.code;
        SmartcardExtension->SmartcardRequest.Buffer = static_cast<PUCHAR>(s.input);
        SmartcardExtension->SmartcardRequest.BufferLength = s.length;
        NTSTATUS status = SerialIo(SmartcardExtension);
        SmartcardExtension->SmartcardRequest.Buffer = saved;
        if (status != STATUS_SUCCESS) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SerialIo(PSMARTCARD_EXTENSION SmartcardExtension) {
    PREADER_EXTENSION r = SmartcardExtension->ReaderExtension;
    SMARTCARD_REQUEST& req = SmartcardExtension->SmartcardRequest;
    SMARTCARD_REPLY& rep = SmartcardExtension->SmartcardReply;

    if (KeReadStateEvent(&r->SerialCloseDone) != 0) return STATUS_UNSUCCESSFUL;
    if (rep.BufferLength > rep.BufferSize || req.BufferLength > req.BufferSize) {
        PVOID object =
            SmartcardExtension->OsData ? SmartcardExtension->OsData->DeviceObject : nullptr;
        SmartcardLogError(object, SMARTCARD_BUFFER_TOO_SMALL_EVENT, nullptr, 0);
        return STATUS_BUFFER_TOO_SMALL;
    }

    const ULONG code = r->SerialIoControlCode;
    const ULONG gt = SmartcardExtension->CardCapabilities.GT;
    const bool paced = code == READER_SERIAL_WRITE && gt != 0;
    if (code == READER_SERIAL_WRITE && req.BufferLength == 0) {
        return STATUS_SUCCESS;  // nothing to send
    }

    ULONG position = 0;
    int repeats = 0;
    for (;;) {
        bool pended = false;
        ULONG_PTR transferred = 0;
        NTSTATUS status;
        if (code == READER_SERIAL_WRITE) {
            const ULONG n = paced ? 1 : req.BufferLength;
            status = CallPort(r->AttachedDeviceObject, code, req.Buffer + position, n, nullptr, 0,
                              &r->IoAbort, &pended, &transferred);
            if (paced) ++position;
        } else if (code == READER_SERIAL_READ) {
            status = CallPort(r->AttachedDeviceObject, code, nullptr, 0, rep.Buffer,
                              rep.BufferLength, &r->IoAbort, &pended, &transferred);
        } else {
            status = CallPort(r->AttachedDeviceObject, code, req.Buffer, req.BufferLength,
                              rep.Buffer, rep.BufferLength, &r->IoAbort, &pended, &transferred);
        }
        if (status == STATUS_INSUFFICIENT_RESOURCES && !pended) return status;
        if (pended) rep.BufferLength = static_cast<ULONG>(transferred);

        if (paced) {
            // The last byte ends the write with its status, whatever it is: a paced write
            // never goes past its data. A byte before it that could not be written ends the
            // transfer with its status.
            if (position >= req.BufferLength || status != STATUS_SUCCESS) return status;
            GuardTimePause(gt);
            continue;
        }
        // A port that keeps answering STATUS_MORE_PROCESSING_REQUIRED would otherwise hold
        // the caller for ever.
        if (status != STATUS_MORE_PROCESSING_REQUIRED || ++repeats > kMaxRepeats) return status;
    }
}

NTSTATUS SerialReadWrite(PDEVICE_OBJECT PortDevice, UCHAR MajorFunction, PUCHAR Buffer,
                         ULONG Length) {
    if (MajorFunction != IRP_MJ_WRITE) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG position = 0; position < Length; ++position) {
        bool pended = false;
        ULONG_PTR transferred = 0;
        status = CallPort(PortDevice, READER_SERIAL_WRITE, Buffer + position, 1, nullptr, 0,
                          nullptr, &pended, &transferred);
        // A byte that could not be written ends the frame with its status.
        if (status != STATUS_SUCCESS) return status;
    }
    return status;
}
