// Bench for the terminal command tests: a ReaderRig whose device carries what device creation
// sets up for the library (reader functions, MaxIFSD, a work item, the display timer) and a
// device-control dispatch that takes DeviceControlMutex and hands the vendor codes to
// TerminalDeviceControl and every other code to the library. Requests are built by the I/O
// manager (IoBuildDeviceIoControlRequest, METHOD_BUFFERED); the bench keeps a copy of the whole
// system buffer as each request left it. The clock is manual and every reader reply takes
// kLatency of it, so loops that poll the reader move time forward by themselves.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "card/card.h"
#include "link/command.h"
#include "platform/kernel/clock.h"
#include "platform/smclib/smclib.h"
#include "reader/reader.h"
#include "sim/processor_card.h"
#include "terminal/terminal.h"
#include "tests/support/rig.h"

namespace quor::test {

using Bytes = std::vector<UCHAR>;
using quor::sim::KeyStep;

constexpr quor::sim::SimTime kLatency = 50'000;    // us per reader reply
constexpr quor::sim::SimTime kSecond = 1'000'000;  // us

inline bool IsVendorCode(ULONG code) {
    return code == IOCTL_TERMINAL_COMMAND || code == IOCTL_READER_RAW_WRITE ||
           code == IOCTL_READER_RAW_READ;
}

// As the driver's device-control dispatch does: the whole request under DeviceControlMutex.
inline NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    auto* dx = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    PSMARTCARD_EXTENSION ext = &dx->SmartcardExtension;
    PKMUTEX mutex = &ext->ReaderExtension->DeviceControlMutex;
    KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    const NTSTATUS status = IsVendorCode(code) ? TerminalDeviceControl(ext, irp, code)
                                               : SmartcardDeviceControl(ext, irp);
    KeReleaseMutex(mutex, FALSE);
    return status;
}

struct Completion {
    NTSTATUS returned = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes out;     // the caller's output buffer afterwards
    Bytes system;  // the whole system buffer as the request left it
    int completions = 0;

    // The answer as the request left it in the system buffer (also for an error status, for
    // which the I/O manager copies nothing back).
    Bytes Answer() const {
        const size_t n = information < system.size() ? information : system.size();
        return Bytes(system.begin(), system.begin() + static_cast<std::ptrdiff_t>(n));
    }
};

inline Bytes Ulong(ULONG v) {
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

// A terminal command APDU CLA INS P1 P2 with a data field (short or extended Lc) and an Le
// (one byte, or two after an extended Lc) when given.
inline Bytes Apdu(UCHAR cla, UCHAR ins, UCHAR p1, UCHAR p2, const Bytes& data,
                  std::optional<USHORT> le = std::nullopt) {
    Bytes a{cla, ins, p1, p2};
    const bool extended = data.size() > 255;
    if (!data.empty()) {
        if (extended) {
            a.push_back(0x00);
            a.push_back(static_cast<UCHAR>(data.size() >> 8));
        }
        a.push_back(static_cast<UCHAR>(data.size() & 0xFF));
        a.insert(a.end(), data.begin(), data.end());
    }
    if (le) {
        if (extended) a.push_back(static_cast<UCHAR>(*le >> 8));
        a.push_back(static_cast<UCHAR>(*le & 0xFF));
    }
    return a;
}

// A SIMPLE-TLV data object; long-form length from 255 bytes on.
inline Bytes Object(UCHAR tag, const Bytes& value) {
    Bytes o{tag};
    if (value.size() >= 0xFF) {
        o.push_back(0xFF);
        o.push_back(static_cast<UCHAR>(value.size() >> 8));
    }
    o.push_back(static_cast<UCHAR>(value.size() & 0xFF));
    o.insert(o.end(), value.begin(), value.end());
    return o;
}

// Spins in real time until `done` holds; false after `limitMs`. The limit is a safety net
// against a hang, not a deadline: a loaded machine may take long to get there.
inline bool Eventually(const std::function<bool()>& done, int limitMs = 60000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

struct BenchOptions {
    bool workItem = true;
    ULONG model = 5;
    quor::sim::ReaderConfig reader = [] {
        quor::sim::ReaderConfig c;
        c.replyLatency = kLatency;
        return c;
    }();
};

class TerminalBench {
  public:
    explicit TerminalBench(BenchOptions o = {}) : rig_(RigFor(o)) {
        PSMARTCARD_EXTENSION ext = Ext();
        ext->ReaderFunction[RDF_CARD_POWER] = ReaderPower;
        ext->ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
        ext->ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
        ext->ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
        ext->ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;
        ext->ReaderCapabilities.MaxIFSD = 254;
        ext->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        rig_.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
        Dx()->WorkItem = o.workItem ? IoAllocateWorkItem(rig_.Device()) : nullptr;
        KeInitializeEvent(&Dx()->ReaderStarted, NotificationEvent, TRUE);
        R()->ReaderModel = o.model;
        TerminalInitialize(ext);
    }
    ~TerminalBench() {
        TerminalShutdown(Ext());
        if (Dx()->WorkItem != nullptr) IoFreeWorkItem(Dx()->WorkItem);
        Dx()->WorkItem = nullptr;
    }
    TerminalBench(const TerminalBench&) = delete;
    TerminalBench& operator=(const TerminalBench&) = delete;

    ReaderRig& Rig() { return rig_; }
    quor::sim::Reader& Reader() { return rig_.Reader(); }
    PSMARTCARD_EXTENSION Ext() { return rig_.Ext(); }
    PREADER_EXTENSION R() { return rig_.R(); }
    PDEVICE_EXTENSION Dx() {
        return static_cast<PDEVICE_EXTENSION>(rig_.Device()->DeviceExtension);
    }

    Completion Call(ULONG code, const Bytes& in, ULONG outLength) {
        Completion c;
        Hook hook{&c, in.size() > outLength ? in.size() : outLength};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
        Bytes input = in;
        c.out.assign(outLength, 0xEE);
        PIRP irp = IoBuildDeviceIoControlRequest(
            code, rig_.Device(), input.empty() ? nullptr : input.data(),
            static_cast<ULONG>(input.size()), outLength ? c.out.data() : nullptr, outLength, FALSE,
            &done, &iosb);
        irp->IoManagerCompletion = Hook::Capture;
        irp->IoManagerContext = &hook;
        c.returned = IofCallDriver(rig_.Device(), irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        c.status = iosb.Status;
        c.information = iosb.Information;
        return c;
    }

    Completion Terminal(const Bytes& command, ULONG outLength = 300) {
        return Call(IOCTL_TERMINAL_COMMAND, command, outLength);
    }

    Completion Transmit(const Bytes& apdu, ULONG outLength = 8 + 258) {
        const SCARD_IO_REQUEST header{Ext()->CardCapabilities.Protocol.Selected, 8};
        Bytes in(8);
        std::memcpy(in.data(), &header, 8);
        in.insert(in.end(), apdu.begin(), apdu.end());
        return Call(IOCTL_SMARTCARD_TRANSMIT, in, outLength);
    }

    // Puts the card in, lets the status evaluation see it, powers it and, when it is still
    // negotiable, selects `protocol`; the wire logs start afresh afterwards.
    void PowerUp(std::shared_ptr<quor::sim::Card> card, ULONG protocol = SCARD_PROTOCOL_T1) {
        Reader().InsertCard(std::move(card));
        ASSERT_EQ(UpdateCardStatus(Ext()), STATUS_SUCCESS);
        Completion power = Call(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64);
        ASSERT_EQ(power.status, STATUS_SUCCESS);
        if (Ext()->ReaderCapabilities.CurrentState != SCARD_SPECIFIC) {
            Completion set = Call(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(protocol), 4);
            ASSERT_EQ(set.status, STATUS_SUCCESS);
        }
        ASSERT_EQ(Ext()->ReaderCapabilities.CurrentState, SCARD_SPECIFIC);
        rig_.ClearWire();
    }

    std::vector<std::string> Displays() {
        std::vector<std::string> texts;
        for (const auto& d : Reader().DisplayLog()) texts.push_back(d.Text());
        return texts;
    }

    // Frames of a code the reader received since the wire was last cleared.
    std::vector<quor::sim::FrameRecord> FramesOf(UCHAR code) {
        std::vector<quor::sim::FrameRecord> out;
        for (const auto& f : Reader().Frames()) {
            if (f.code == code) out.push_back(f);
        }
        return out;
    }

  private:
    struct Hook {
        Completion* c;
        size_t size;
        static void Capture(PIRP irp, PVOID context) {
            auto* h = static_cast<Hook*>(context);
            const auto* sb = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            if (sb != nullptr) h->c->system.assign(sb, sb + h->size);
            h->c->completions++;
        }
    };

    static RigOptions RigFor(const BenchOptions& o) {
        RigOptions r;
        r.clock = ClockMode::Manual;
        r.reader = o.reader;
        return r;
    }

    ReaderRig rig_;
};

}  // namespace quor::test
