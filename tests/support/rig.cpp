#include "tests/support/rig.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "link/serial_io.h"
#include "platform/kernel/clock.h"
#include "sim/frame.h"

namespace quor::test {

ReaderRig::ReaderRig(RigOptions options) {
    kclock::ResetForTest();
    if (options.clock == ClockMode::Manual) {
        kclock::SetManual();
    } else {
        kclock::SetScaled(options.scale);
        // The emulator gives up a command frame whose bytes arrive further apart than its
        // inter-byte time-out of clock time. Scaled, that is a fraction of the real time a busy
        // host may take between two one-byte writes: stretch it back to real time.
        options.reader.interByteTimeout = static_cast<quor::sim::SimTime>(
            static_cast<double>(options.reader.interByteTimeout) * options.scale);
    }
    reader_ = std::make_shared<quor::sim::Reader>(options.reader);
    std::unique_ptr<quor::serial::ByteLine> line =
        options.line ? options.line() : std::make_unique<quor::client::SimLine>(reader_);
    port_ = quor::serial::SerialPort::Create(std::move(line));
    if (!port_) throw std::runtime_error("serial port stand-in could not be created");
    // The tests read back what went over the line.
    reader_->SetRecording(options.record);
    port_->SetRecording(options.record);

    driver_ = IoTestCreateDriverObject("QuorTestDriver");
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr,
                                   FILE_DEVICE_SMARTCARD, 0, TRUE, &device_))) {
        throw std::runtime_error("device object could not be created");
    }
    auto* dx = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
    ext_ = &dx->SmartcardExtension;
    auto* r = static_cast<PREADER_EXTENSION>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), READER_EXTENSION_TAG));
    std::memset(r, 0, sizeof(*r));
    ext_->ReaderExtension = r;
    KeInitializeMutex(&r->DeviceControlMutex, 0);
    KeInitializeMutex(&r->ReaderMutex, 0);
    KeInitializeEvent(&r->PollThreadStop, NotificationEvent, FALSE);
    KeInitializeEvent(&r->IoAbort, NotificationEvent, FALSE);
    KeInitializeEvent(&r->SerialCloseDone, NotificationEvent, TRUE);
    r->SerialIoFunction = SerialIo;
    SetSerialDefaults(r);
    ext_->Version = SMCLIB_VERSION;
    ext_->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    ext_->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    if (!NT_SUCCESS(SmartcardInitialize(ext_))) {
        throw std::runtime_error("SmartcardInitialize failed");
    }
    ext_->OsData->DeviceObject = device_;
    r->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device_, port_->Device());
    ext_->ReaderCapabilities.CLKFrequency.Default = 4000;
    ext_->ReaderCapabilities.CLKFrequency.Max = 4000;
    if (options.openPort) {
        SetPortOpen(true);
        // As the device start does: put the serial settings (and so the read time-outs) into
        // force, then start the logs afresh.
        if (ConfigureSerialPort(ext_) != STATUS_SUCCESS) {
            throw std::runtime_error("serial port could not be configured");
        }
        ClearWire();
    }
}

ReaderRig::~ReaderRig() {
    PREADER_EXTENSION r = ext_->ReaderExtension;
    if (r != nullptr && r->AttachedDeviceObject != nullptr) IoDetachDevice(r->AttachedDeviceObject);
    SmartcardExit(ext_);
    ExFreePoolWithTag(r, READER_EXTENSION_TAG);
    ext_->ReaderExtension = nullptr;
    IoDeleteDevice(device_);
    IoTestDeleteDriverObject(driver_);
    port_.reset();
    kclock::ResetForTest();
}

void ReaderRig::SetPortOpen(bool open) {
    if (open) {
        KeClearEvent(&R()->SerialCloseDone);
    } else {
        KeSetEvent(&R()->SerialCloseDone, IO_NO_INCREMENT, FALSE);
    }
}

std::vector<std::vector<UCHAR>> ReaderRig::HostFrames() const {
    std::vector<std::vector<UCHAR>> frames;
    for (const auto& f : reader_->Frames()) {
        frames.push_back(quor::sim::CommandFrame(f.code, f.data));
    }
    return frames;
}

std::vector<UCHAR> ReaderRig::HostCodes() const {
    std::vector<UCHAR> codes;
    for (const auto& f : reader_->Frames()) codes.push_back(f.code);
    return codes;
}

void ReaderRig::ClearWire() {
    reader_->ClearLogs();
    port_->ClearRequests();
}

std::vector<UCHAR> Hex(const char* text) {
    std::vector<UCHAR> out;
    const char* p = text;
    while (*p != 0) {
        while (*p == ' ') ++p;
        if (*p == 0) break;
        char* end = nullptr;
        unsigned long v = std::strtoul(p, &end, 16);
        if (end == p) throw std::invalid_argument("bad hex text");
        out.push_back(static_cast<UCHAR>(v));
        p = end;
    }
    return out;
}

}  // namespace quor::test
