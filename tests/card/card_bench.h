// A reader on the bench with the card services installed as the device start leaves them: the
// reader functions in their slots, the reader capabilities set, the reader identified, and
// device-control requests reaching SmartcardDeviceControl as the I/O manager sends them.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "link/serial_io.h"
#include "platform/kernel/clock.h"
#include "reader/reader.h"
#include "sim/config.h"
#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "tests/support/rig.h"

namespace quor::test {

using Bytes = std::vector<UCHAR>;

inline Bytes Le32(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Model codes of the three card clocks.
constexpr UCHAR kModel3000 = 0x70;
constexpr UCHAR kModel4000 = 0x50;
constexpr UCHAR kModel5000 = 0x58;

struct IoResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes out;  // the caller's output buffer after completion, all of it

    Bytes Answer() const { return Bytes(out.begin(), out.begin() + long(information)); }
};

inline NTSTATUS DispatchToLibrary(PDEVICE_OBJECT device, PIRP irp) {
    auto* dx = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    return SmartcardDeviceControl(&dx->SmartcardExtension, irp);
}

class CardBench {
  public:
    explicit CardBench(std::shared_ptr<sim::Card> card, UCHAR model = kModel4000)
        : rig_(Options(model)) {
        PSMARTCARD_EXTENSION ext = rig_.Ext();
        ext->ReaderFunction[RDF_CARD_POWER] = ReaderPower;
        ext->ReaderFunction[RDF_TRANSMIT] = ReaderTransmit;
        ext->ReaderFunction[RDF_SET_PROTOCOL] = ReaderSetProtocol;
        ext->ReaderFunction[RDF_CARD_TRACKING] = ReaderCardTracking;
        ext->ReaderFunction[RDF_IOCTL_VENDOR] = ReaderVendorIoctl;
        ext->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        ext->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
        ext->ReaderCapabilities.MaxIFSD = 254;
        rig_.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchToLibrary;
        if (card) rig_.Reader().InsertCard(card);
        InitializeReader(ext);
        rig_.ClearWire();
        kclock::ClearPauses();
    }

    ReaderRig& Rig() { return rig_; }
    sim::Reader& Reader() { return rig_.Reader(); }
    PSMARTCARD_EXTENSION Ext() { return rig_.Ext(); }
    PREADER_EXTENSION R() { return rig_.R(); }
    ULONG State() { return Ext()->ReaderCapabilities.CurrentState; }
    ULONG Selected() { return Ext()->CardCapabilities.Protocol.Selected; }
    Bytes Atr() {
        const auto& atr = Ext()->CardCapabilities.ATR;
        return Bytes(atr.Buffer, atr.Buffer + atr.Length);
    }

    IoResult Ioctl(ULONG code, const Bytes& in, ULONG outLength) {
        IoResult result;
        result.out.assign(outLength, 0xEE);
        KEVENT done;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(
            code, rig_.Device(), const_cast<UCHAR*>(in.data()), ULONG(in.size()),
            outLength ? result.out.data() : nullptr, outLength, FALSE, &done, &iosb);
        if (IofCallDriver(rig_.Device(), irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        result.status = iosb.Status;
        result.information = iosb.Information;
        return result;
    }
    IoResult Power(ULONG action, ULONG outLength = 64) {
        return Ioctl(IOCTL_SMARTCARD_POWER, Le32(action), outLength);
    }
    IoResult SetProtocol(ULONG mask) { return Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, Le32(mask), 4); }
    IoResult Transmit(ULONG protocol, const Bytes& apdu, ULONG outLength = 300) {
        return Ioctl(IOCTL_SMARTCARD_TRANSMIT, Cat(Cat(Le32(protocol), Le32(8)), apdu), outLength);
    }
    // The card's answer behind the reply header; fails the test when the header is not right.
    Bytes Exchange(const Bytes& apdu) {
        const IoResult r = Transmit(Selected(), apdu);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        if (r.status != STATUS_SUCCESS || r.information < 8) return {};
        EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 8), Cat(Le32(Selected()), Le32(8)));
        return Bytes(r.out.begin() + 8, r.out.begin() + long(r.information));
    }

    // What went to the port since the last ClearWire, as words: "purge", "timeouts", and the
    // code of each frame written ("02", "08", ...).
    std::string Trace() {
        std::string trace;
        bool inFrame = false;
        auto add = [&trace](const std::string& word) {
            if (!trace.empty()) trace += ' ';
            trace += word;
        };
        for (const auto& q : rig_.Port().Requests()) {
            if (q.major == IRP_MJ_WRITE) {
                if (!inFrame && !q.input.empty()) {
                    char code[3];
                    std::snprintf(code, sizeof(code), "%02X", q.input[0] & 0x7F);
                    add(code);
                }
                inFrame = true;
                continue;
            }
            inFrame = false;
            if (q.major != IRP_MJ_DEVICE_CONTROL) continue;
            if (q.ioctl == IOCTL_SERIAL_PURGE) add("purge");
            if (q.ioctl == IOCTL_SERIAL_SET_TIMEOUTS) add("timeouts");
        }
        return trace;
    }
    // Data of the frames of one code the reader received since the last ClearWire.
    std::vector<Bytes> FrameData(UCHAR code) {
        std::vector<Bytes> data;
        for (const auto& f : rig_.Reader().Frames()) {
            if (f.code == code) data.push_back(f.data);
        }
        return data;
    }
    // Time-out settings sent to the port since the last ClearWire, in order.
    std::vector<SERIAL_TIMEOUTS> TimeoutsSent() {
        std::vector<SERIAL_TIMEOUTS> sent;
        for (const auto& q : rig_.Port().Requests()) {
            if (q.ioctl != IOCTL_SERIAL_SET_TIMEOUTS || q.input.size() != sizeof(SERIAL_TIMEOUTS)) {
                continue;
            }
            SERIAL_TIMEOUTS t;
            std::memcpy(&t, q.input.data(), sizeof(t));
            sent.push_back(t);
        }
        return sent;
    }

  private:
    static RigOptions Options(UCHAR model) {
        RigOptions o;
        o.reader = sim::ConfigForModelCode(model);
        o.clock = ClockMode::Manual;
        return o;
    }

    ReaderRig rig_;
};

}  // namespace quor::test
