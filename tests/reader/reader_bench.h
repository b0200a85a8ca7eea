// Bench for the reader management tests: a ReaderRig whose device also carries what device
// creation sets for the library (reader functions for card tracking and the vendor callback,
// vendor attributes), requests sent as the I/O manager sends them, and helpers to drive the
// manual clock past the polling thread's pauses.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card/card.h"
#include "platform/kernel/clock.h"
#include "reader/reader.h"
#include "tests/support/rig.h"

namespace quor::test {

using Bytes = std::vector<UCHAR>;

inline void SetText(ATTR_STRING& s, const char* text) {
    s.Length = static_cast<USHORT>(std::strlen(text) + 1);
    std::memcpy(s.Buffer, text, s.Length);
}

inline std::string TextOf(const ATTR_STRING& s) {
    return std::string(reinterpret_cast<const char*>(s.Buffer), s.Length);
}

// The text with its terminating zero, as the records hold attribute texts.
inline std::string Z(const char* text) { return std::string(text, std::strlen(text) + 1); }

// As the driver's device-control dispatch does: the library serves the request while
// DeviceControlMutex keeps the polling thread out.
inline NTSTATUS DispatchToLibrary(PDEVICE_OBJECT device, PIRP irp) {
    auto* dx = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    PKMUTEX mutex = &dx->SmartcardExtension.ReaderExtension->DeviceControlMutex;
    KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = SmartcardDeviceControl(&dx->SmartcardExtension, irp);
    KeReleaseMutex(mutex, FALSE);
    return status;
}

// What device creation sets up beyond the rig: the card tracking and vendor reader functions,
// the vendor attributes and the device-control dispatch into the library.
inline void SetUpAsCreated(ReaderRig& rig) {
    PSMARTCARD_EXTENSION ext = rig.Ext();
    ext->ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
    ext->ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;
    SetText(ext->VendorAttr.VendorName, "VESKA Systems");
    SetText(ext->VendorAttr.IfdType, "QUOR");
    ext->ReaderCapabilities.CLKFrequency.Default = 4000;
    ext->ReaderCapabilities.CLKFrequency.Max = 4000;
    rig.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchToLibrary;
}

// Spins in real time until `done` holds; false after `limitMs`. The limit is a safety net
// against a hang, not a deadline: a loaded machine may take long to get there.
inline bool Eventually(const std::function<bool()>& done, int limitMs = 60000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// A device-control request built and finished by the I/O manager (the IRP is freed at
// completion); completions are counted in the I/O manager's completion hook.
struct Io {
    KEVENT done;
    IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
    Bytes out;
    std::atomic<int> completions{0};
    NTSTATUS returned = STATUS_PENDING;

    static void OnComplete(PIRP, PVOID context) { static_cast<Io*>(context)->completions++; }
    bool Completed() const { return KeReadStateEvent(const_cast<KEVENT*>(&done)) != 0; }
    bool WaitCompleted() {
        return Eventually([this] { return Completed(); });
    }
};

inline std::unique_ptr<Io> Send(ReaderRig& rig, ULONG code, Bytes in = {}, ULONG outLength = 0) {
    auto io = std::make_unique<Io>();
    KeInitializeEvent(&io->done, NotificationEvent, FALSE);
    io->out.assign(outLength, 0xEE);
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, rig.Device(), in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
        outLength ? io->out.data() : nullptr, outLength, FALSE, &io->done, &io->iosb);
    irp->IoManagerCompletion = Io::OnComplete;
    irp->IoManagerContext = io.get();
    io->returned = IofCallDriver(rig.Device(), irp);
    return io;
}

// A card-tracking request whose IRP the test owns: its completion routine counts and stops the
// completion, so the IRP stays valid for IoCancelIrp and CardTrackingCancel whoever completes
// it first. Sent through the library like any other.
struct OwnedTracking {
    PIRP irp = nullptr;
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 99;

    static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<OwnedTracking*>(context);
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        self->completions.fetch_add(1);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    OwnedTracking(PDEVICE_OBJECT device, ULONG code) {
        irp = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
    }
    ~OwnedTracking() { IoFreeIrp(irp); }
    OwnedTracking(const OwnedTracking&) = delete;
    OwnedTracking& operator=(const OwnedTracking&) = delete;
};

// Manual clock: the pause with index `n` (in the order pauses were taken), once some thread is
// in it.
inline kclock::PauseRecord NthPause(size_t n) {
    std::vector<kclock::PauseRecord> p;
    EXPECT_TRUE(Eventually([&] { return (p = kclock::Pauses()).size() > n; }))
        << "no pause number " << n;
    return p.size() > n ? p[n] : kclock::PauseRecord{};
}

// Manual clock: moves the clock to the end of the newest pause if a thread still sits in it.
inline void FinishPendingPause() {
    const auto p = kclock::Pauses();
    if (p.empty()) return;
    const kclock::Ticks end = p.back().start + p.back().duration;
    const kclock::Ticks now = kclock::Now();
    if (end > now) kclock::Advance(end - now);
}

// Manual clock with a driven polling thread: stops the thread, moving the clock past each pause
// it takes meanwhile.
inline void StopDriven(PSMARTCARD_EXTENSION ext) {
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(StopPollThread(ext), STATUS_SUCCESS);
        stopped = true;
    });
    EXPECT_TRUE(Eventually([&] {
        FinishPendingPause();
        return stopped.load();
    }));
    stopper.join();
}

// The card state as a request reads it (under DeviceControlMutex).
inline ULONG CardState(ReaderRig& rig) {
    auto io = Send(rig, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    EXPECT_EQ(io->iosb.Status, STATUS_SUCCESS);
    ULONG state = 0;
    std::memcpy(&state, io->out.data(), sizeof(state));
    return state;
}

inline RigOptions ManualClock(quor::sim::ReaderConfig reader = {}) {
    RigOptions o;
    o.reader = std::move(reader);
    o.clock = ClockMode::Manual;
    return o;
}

// Frame codes of the reader protocol that these tests look for.
constexpr UCHAR kFrameReset = 1;
constexpr UCHAR kFrameSetProtocol = 5;
constexpr UCHAR kFrameGetInfo = 9;
constexpr UCHAR kFrameDisplay = 10;
constexpr UCHAR kFrameGetStatus = 11;

inline size_t CountFrames(ReaderRig& rig, UCHAR code) {
    size_t n = 0;
    for (UCHAR c : rig.HostCodes()) n += c == code;
    return n;
}

}  // namespace quor::test
