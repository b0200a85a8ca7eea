// The standard request dispatcher, driven as the I/O manager drives it: METHOD_BUFFERED IRPs
// sent to a device whose device-control dispatch calls SmartcardDeviceControl, with reader
// functions that record how they were called. Every test must leave no IRP and no pool block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/smclib/engine.h"

namespace {

using Bytes = std::vector<UCHAR>;
using Setup = std::function<void(PSMARTCARD_EXTENSION)>;

Bytes Le(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }
Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Padded(Bytes b, size_t n) {
    b.resize(n, 0);
    return b;
}
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s) + 1); }
constexpr ULONG kPower = IOCTL_SMARTCARD_POWER, kProtocol = IOCTL_SMARTCARD_SET_PROTOCOL,
                kTransmit = IOCTL_SMARTCARD_TRANSMIT, kGetAttr = IOCTL_SMARTCARD_GET_ATTRIBUTE,
                kSetAttr = IOCTL_SMARTCARD_SET_ATTRIBUTE, kVendorCode = SCARD_CTL_CODE(2048);
const Bytes kApdu = {0x00, 0xA4, 0x04, 0x00, 0x00};
Bytes Header(ULONG protocol, ULONG length = 8) { return Cat(Le(protocol), Le(length)); }
const Bytes kT1Request = Cat(Header(SCARD_PROTOCOL_T1), kApdu);
const Bytes kAtr = {0x3B, 0x85, 0x80, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x11};

void Fill(ATTR_STRING& s, const char* text) {
    s.Length = USHORT(std::strlen(text) + 1);
    std::memcpy(s.Buffer, text, s.Length);
}
Setup State(ULONG s) {
    return [s](PSMARTCARD_EXTENSION e) { e->ReaderCapabilities.CurrentState = s; };
}
Setup NoSlot(ULONG slot) {
    return [slot](PSMARTCARD_EXTENSION e) { e->ReaderFunction[slot] = nullptr; };
}
Setup Selected(ULONG p) {
    return [p](PSMARTCARD_EXTENSION e) { e->CardCapabilities.Protocol.Selected = p; };
}
Setup Both(Setup a, Setup b) {
    return [a, b](PSMARTCARD_EXTENSION e) { a(e), b(e); };
}

// Parameters print as their names.
template <typename T>
requires requires(const T& t) { t.name; }
void PrintTo(const T& t, std::ostream* os) { *os << t.name; }
template <typename P>
std::string NameOf(const ::testing::TestParamInfo<P>& info) {
    return info.param.name;
}
template <typename A, typename B>
std::string NameOf(const ::testing::TestParamInfo<std::tuple<A, B>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

struct TestDeviceExtension {
    SMARTCARD_EXTENSION Smartcard;
};
PSMARTCARD_EXTENSION ExtensionOf(PDEVICE_OBJECT d) {
    return &static_cast<TestDeviceExtension*>(d->DeviceExtension)->Smartcard;
}
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT d, PIRP irp) {
    return SmartcardDeviceControl(ExtensionOf(d), irp);
}

// The driver's side of card tracking: take the parked request under the locks, complete it.
void CompleteTracking(PSMARTCARD_EXTENSION ext) {
    KIRQL cancelIrql, irql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
    PIRP irp = std::exchange(ext->OsData->NotificationIrp, nullptr);
    KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
    if (irp != nullptr) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(cancelIrql);
    if (irp == nullptr) return;
    irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
void TrackingCancel(PDEVICE_OBJECT d, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    CompleteTracking(ExtensionOf(d));
}
void MakeCancellable(PSMARTCARD_EXTENSION ext) {
    KIRQL cancelIrql, irql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLock(&ext->OsData->SpinLock, &irql);
    if (ext->OsData->NotificationIrp)
        IoSetCancelRoutine(ext->OsData->NotificationIrp, TrackingCancel);
    KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
    IoReleaseCancelSpinLock(cancelIrql);
}

// ---- fake reader functions ----
struct ReaderCall {
    ULONG slot, major, minor, replyLength;
    Bytes request;
    bool sharedBuffer, informationZero;
    BOOLEAN t1SessionStarted;
    ULONG t1State;
    UCHAR t1Wtx;
};
struct Behaviour {
    NTSTATUS status = STATUS_SUCCESS;
    Bytes reply;
    std::optional<ULONG> information;
    kclock::Ticks takes = 0;
    bool throws = false;
    Setup effect = {};
};
struct Fakes {
    std::vector<ReaderCall> calls;
    Behaviour behave[NUMBER_OF_READER_FUNCTIONS];
} * g_fakes;

template <ULONG Slot>
NTSTATUS FakeReader(PSMARTCARD_EXTENSION ext) {
    const auto& io = ext->IoRequest;
    g_fakes->calls.push_back(
        {Slot, ext->MajorIoControlCode, ext->MinorIoControlCode, io.ReplyBufferLength,
         Bytes(io.RequestBuffer, io.RequestBuffer + io.RequestBufferLength),
         io.RequestBuffer == io.ReplyBuffer, io.Information != nullptr && *io.Information == 0,
         ext->T1.SessionStarted, ext->T1.State, ext->T1.Wtx});
    const Behaviour& b = g_fakes->behave[Slot];
    if (b.takes) kclock::Advance(b.takes);
    const ULONG n = std::min<ULONG>(ULONG(b.reply.size()), io.ReplyBufferLength);
    if (n) std::memcpy(io.ReplyBuffer, b.reply.data(), n);
    if (io.Information) *io.Information = b.information.value_or(n);
    if (b.effect) b.effect(ext);
    if (b.throws) throw std::runtime_error("reader function failed");
    return b.status;
}

// One request as its sender sees it.
struct Io {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    Bytes out, systemBuffer;  // the system buffer as it was at completion
    ULONG bufferSize = 0;
    int completions = 0;
    bool pendingReturned = false;  // as the I/O manager saw it at completion
    PIRP irp = nullptr;            // valid while pending only
    NTSTATUS returned = 0;
    bool Completed() { return KeReadStateEvent(&done) != 0; }
};
void OnComplete(PIRP irp, PVOID context) {
    auto* io = static_cast<Io*>(context);
    io->completions++;
    io->pendingReturned = irp->PendingReturned;
    auto* sb = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (sb) io->systemBuffer.assign(sb, sb + io->bufferSize);
}

class DevctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        kclock::SetManual();
        irps_ = IoTestLiveIrps();
        pool_ = ExTestOutstandingAllocations(0);
        driver_ = IoTestCreateDriverObject("DevctlTest");
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
        ASSERT_EQ(IoCreateDevice(driver_, sizeof(TestDeviceExtension), nullptr,
                                 FILE_DEVICE_SMARTCARD, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        e_ = ExtensionOf(device_);
        e_->Version = SMCLIB_VERSION;
        e_->SmartcardRequest.BufferSize = e_->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
        ASSERT_EQ(SmartcardInitialize(e_), STATUS_SUCCESS);
        e_->OsData->DeviceObject = device_;
        auto& v = e_->VendorAttr;
        Fill(v.VendorName, "VESKA Systems");
        Fill(v.IfdType, "QUOR Std USB");
        Fill(v.IfdSerialNo, "2002-a-1f, V58");
        v.UnitNo = 3;
        v.IfdVersion = {64, 150, 1};
        auto& rc = e_->ReaderCapabilities;
        rc.SupportedProtocols = SCARD_PROTOCOL_Tx;
        rc.ReaderType = SCARD_READER_TYPE_SERIAL;
        rc.Channel = 2;
        rc.CLKFrequency = {4000, 5000};
        rc.DataRate = {9600, 19200};
        rc.MaxIFSD = 254;
        rc.PowerMgmtSupport = 1;
        rc.MechProperties = 2;
        rc.CurrentState = SCARD_SPECIFIC;  // a T=1 card, ready for APDUs
        auto& cc = e_->CardCapabilities;
        std::memcpy(cc.ATR.Buffer, kAtr.data(), kAtr.size());
        cc.ATR.Length = UCHAR(kAtr.size());
        cc.Protocol = {SCARD_PROTOCOL_Tx, SCARD_PROTOCOL_T1};
        cc.Fi = 512, cc.Di = 8, cc.N = 2, cc.T0.WI = 20;
        cc.T1.IFSC = 200, cc.T1.BWT = 1600000, cc.T1.CWT = 8200, cc.T1.EDC = 1;
        g_fakes = &fakes_;
        e_->ReaderFunction[RDF_CARD_POWER] = FakeReader<RDF_CARD_POWER>;
        e_->ReaderFunction[RDF_TRANSMIT] = FakeReader<RDF_TRANSMIT>;
        e_->ReaderFunction[RDF_CARD_EJECT] = FakeReader<RDF_CARD_EJECT>;
        e_->ReaderFunction[RDF_READER_SWALLOW] = FakeReader<RDF_READER_SWALLOW>;
        e_->ReaderFunction[RDF_CARD_TRACKING] = FakeReader<RDF_CARD_TRACKING>;
        e_->ReaderFunction[RDF_SET_PROTOCOL] = FakeReader<RDF_SET_PROTOCOL>;
        e_->ReaderFunction[RDF_CARD_CONFISCATE] = FakeReader<RDF_CARD_CONFISCATE>;
        e_->ReaderFunction[RDF_IOCTL_VENDOR] = FakeReader<RDF_IOCTL_VENDOR>;
        fakes_.behave[RDF_CARD_TRACKING] = {STATUS_PENDING, {}, {}, 0, false, MakeCancellable};
    }
    void TearDown() override {
        CompleteTracking(e_);  // a waiter a test left parked
        SmartcardExit(e_);
        IoDeleteDevice(device_);
        IoTestDeleteDriverObject(driver_);
        g_fakes = nullptr;
        kclock::ResetForTest();
        EXPECT_EQ(IoTestLiveIrps(), irps_);
        EXPECT_EQ(ExTestOutstandingAllocations(0), pool_);
    }

    Io& Start(ULONG code, Bytes in, ULONG outLength, bool cancelled = false,
              bool dropBuffer = false) {
        auto& io = *ios_.emplace_back(std::make_unique<Io>());
        KeInitializeEvent(&io.done, NotificationEvent, FALSE);
        io.out.assign(outLength, 0xEE);
        io.bufferSize = std::max<ULONG>(ULONG(in.size()), outLength);
        PIRP irp =
            IoBuildDeviceIoControlRequest(code, device_, in.data(), ULONG(in.size()), io.out.data(),
                                          outLength, FALSE, &io.done, &io.iosb);
        irp->IoManagerCompletion = OnComplete;
        irp->IoManagerContext = &io;
        irp->Cancel = cancelled;
        PVOID detached = nullptr;
        if (dropBuffer) detached = std::exchange(irp->AssociatedIrp.SystemBuffer, nullptr);
        io.irp = irp;
        io.returned = IofCallDriver(device_, irp);
        if (detached) ExFreePoolWithTag(detached, PoolTag("IoSb"));
        if (io.Completed()) io.irp = nullptr;
        return io;
    }
    // A request that must be answered at once: completed exactly once, with the status returned.
    Io& Send(ULONG code, Bytes in, ULONG outLength, bool dropBuffer = false) {
        Io& io = Start(code, std::move(in), outLength, false, dropBuffer);
        EXPECT_TRUE(io.Completed());
        EXPECT_EQ(io.completions, 1);
        EXPECT_EQ(io.returned, io.iosb.Status);
        EXPECT_FALSE(io.pendingReturned);  // marked pending only when STATUS_PENDING is returned
        return io;
    }
    PIRP Parked() { return e_->OsData->NotificationIrp; }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PSMARTCARD_EXTENSION e_ = nullptr;
    Fakes fakes_;
    std::vector<std::unique_ptr<Io>> ios_;
    LONG irps_ = 0;
    SIZE_T pool_ = 0;
};

// ---- refusals: answered by the library, no reader function runs, nothing is written ----
struct Refusal {
    const char* name;
    ULONG code;
    Bytes in;
    ULONG out;
    NTSTATUS expected;
    Setup setup = {};
};
class DevctlRefusal : public DevctlTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(DevctlRefusal, AnswersWithoutTheReader) {
    const Refusal& c = GetParam();
    if (c.setup) c.setup(e_);
    const UCHAR atrLength = e_->CardCapabilities.ATR.Length;
    T1_DATA& t1 = e_->T1;
    t1.SessionStarted = TRUE, t1.State = T1_STATE_SENDING;
    Io& io = Send(c.code, c.in, c.out);
    EXPECT_EQ(io.iosb.Status, c.expected);
    EXPECT_EQ(io.iosb.Information, 0u);
    EXPECT_TRUE(fakes_.calls.empty());
    EXPECT_EQ(e_->LastError, ULONG(c.expected));
    EXPECT_EQ(io.systemBuffer, Padded(c.in, io.bufferSize));
    EXPECT_EQ(e_->CardCapabilities.ATR.Length, atrLength);
    EXPECT_TRUE(t1.SessionStarted && t1.State == T1_STATE_SENDING);  // no T=1 hook ran
    EXPECT_EQ(e_->IoRequest.Information, nullptr);
    EXPECT_EQ(Parked(), nullptr);
}

const Bytes kShortApdu = Cat(Header(SCARD_PROTOCOL_T1), {0, 0xA4, 0});
const Bytes kShortT0Apdu = Cat(Header(SCARD_PROTOCOL_T0), {0, 0xA4, 0});
const Setup kNoAtr = [](PSMARTCARD_EXTENSION e) { e->CardCapabilities.ATR.Length = 0; };
const Setup kNoSerial = [](PSMARTCARD_EXTENSION e) { e->VendorAttr.IfdSerialNo.Length = 0; };
// clang-format off
INSTANTIATE_TEST_SUITE_P(Devctl, DevctlRefusal, ::testing::Values(
    Refusal{"PowerNoFunction", kPower, Le(1), 64, STATUS_NOT_SUPPORTED, NoSlot(RDF_CARD_POWER)},
    Refusal{"PowerShortInput", kPower, {1, 0, 0}, 64, STATUS_INVALID_PARAMETER},
    Refusal{"PowerNoInput", kPower, {}, 64, STATUS_INVALID_PARAMETER},
    Refusal{"PowerAction3", kPower, Le(3), 64, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"PowerActionAllOnes", kPower, Le(~0u), 64, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"ProtocolNoFunction", kProtocol, Le(3), 4, STATUS_NOT_SUPPORTED, NoSlot(RDF_SET_PROTOCOL)},
    Refusal{"ProtocolShortInput", kProtocol, {3, 0}, 4, STATUS_INVALID_PARAMETER},
    Refusal{"ProtocolShortOutput", kProtocol, Le(3), 3, STATUS_BUFFER_TOO_SMALL},
    Refusal{"ProtocolRawOnly", kProtocol, Le(SCARD_PROTOCOL_RAW), 4, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"ProtocolNone", kProtocol, Le(0), 4, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"ProtocolOtherBits", kProtocol, Le(0x10004), 4, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"ProtocolNoCard", kProtocol, Le(3), 4, STATUS_NO_MEDIA, State(SCARD_ABSENT)},
    Refusal{"ProtocolUnknownState", kProtocol, Le(3), 4, STATUS_NO_MEDIA, State(SCARD_UNKNOWN)},
    Refusal{"TransmitNoFunction", kTransmit, kT1Request, 64, STATUS_NOT_SUPPORTED, NoSlot(RDF_TRANSMIT)},
    Refusal{"TransmitNoCard", kTransmit, kT1Request, 64, STATUS_NO_MEDIA, State(SCARD_ABSENT)},
    Refusal{"TransmitUnknown", kTransmit, kT1Request, 64, STATUS_NO_MEDIA, State(SCARD_UNKNOWN)},
    Refusal{"TransmitSwallowed", kTransmit, kT1Request, 64, STATUS_INVALID_DEVICE_STATE, State(SCARD_SWALLOWED)},
    Refusal{"TransmitNegotiable", kTransmit, kT1Request, 64, STATUS_INVALID_DEVICE_STATE, State(SCARD_NEGOTIABLE)},
    Refusal{"TransmitShortHeader", kTransmit, Bytes(7, 2), 64, STATUS_INVALID_PARAMETER},
    Refusal{"TransmitOtherProtocol", kTransmit, Cat(Header(SCARD_PROTOCOL_T0), kApdu), 64, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"TransmitPciTooShort", kTransmit, Cat(Header(SCARD_PROTOCOL_T1, 7), kApdu), 64, STATUS_INVALID_PARAMETER},
    Refusal{"TransmitPciPastInput", kTransmit, Cat(Header(SCARD_PROTOCOL_T1, 14), kApdu), 64, STATUS_INVALID_PARAMETER},
    Refusal{"TransmitHeaderOnly", kTransmit, Header(SCARD_PROTOCOL_T1), 64, STATUS_INVALID_PARAMETER},
    Refusal{"TransmitShortApduT1", kTransmit, kShortApdu, 64, STATUS_INVALID_PARAMETER},
    Refusal{"TransmitShortApduT0", kTransmit, kShortT0Apdu, 64, STATUS_INVALID_PARAMETER, Selected(SCARD_PROTOCOL_T0)},
    Refusal{"TransmitShortOutput", kTransmit, kT1Request, 9, STATUS_BUFFER_TOO_SMALL},
    Refusal{"StateShortOutput", IOCTL_SMARTCARD_GET_STATE, {}, 3, STATUS_BUFFER_TOO_SMALL},
    Refusal{"LastErrorNoOutput", IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 0, STATUS_BUFFER_TOO_SMALL},
    Refusal{"PerfShortOutput", IOCTL_SMARTCARD_GET_PERF_CNTR, {}, sizeof(PERF_INFO) - 1, STATUS_BUFFER_TOO_SMALL},
    Refusal{"GetAttrShortInput", kGetAttr, {0, 1, 1}, 64, STATUS_INVALID_PARAMETER},
    Refusal{"GetAttrUnknownTag", kGetAttr, Le(0x00010199), 64, STATUS_NOT_SUPPORTED},
    Refusal{"GetAttrVendorClass", kGetAttr, Le(SCARD_ATTR_VALUE(7, 1)), 64, STATUS_NOT_SUPPORTED},
    Refusal{"GetAttrAtrNoCard", kGetAttr, Le(SCARD_ATTR_ATR_STRING), 64, STATUS_NO_MEDIA, State(SCARD_ABSENT)},
    Refusal{"GetAttrAtrNotAnswered", kGetAttr, Le(SCARD_ATTR_ATR_STRING), 64, STATUS_UNRECOGNIZED_MEDIA,
            Both(State(SCARD_SWALLOWED), kNoAtr)},
    Refusal{"GetAttrSerialUnset", kGetAttr, Le(SCARD_ATTR_VENDOR_IFD_SERIAL_NO), 64, STATUS_NOT_SUPPORTED, kNoSerial},
    Refusal{"SetAttrShortInput", kSetAttr, {1, 1}, 0, STATUS_INVALID_PARAMETER},
    Refusal{"SetAttrReadOnly", kSetAttr, Cat(Le(SCARD_ATTR_CURRENT_CLK), Le(5000)), 0, STATUS_INVALID_DEVICE_REQUEST},
    Refusal{"SetAttrUnknown", kSetAttr, Cat(Le(0x7FFF0007), Le(1)), 0, STATUS_NOT_SUPPORTED},
    Refusal{"ConfiscateNoFunction", IOCTL_SMARTCARD_CONFISCATE, {}, 0, STATUS_NOT_SUPPORTED, NoSlot(RDF_CARD_CONFISCATE)},
    Refusal{"EjectNoFunction", IOCTL_SMARTCARD_EJECT, {}, 0, STATUS_NOT_SUPPORTED, NoSlot(RDF_CARD_EJECT)},
    Refusal{"SwallowNoFunction", IOCTL_SMARTCARD_SWALLOW, {}, 0, STATUS_NOT_SUPPORTED, NoSlot(RDF_READER_SWALLOW)},
    Refusal{"PresentNoTracking", IOCTL_SMARTCARD_IS_PRESENT, {}, 0, STATUS_NOT_SUPPORTED,
            Both(State(SCARD_ABSENT), NoSlot(RDF_CARD_TRACKING))},
    Refusal{"AbsentNoTracking", IOCTL_SMARTCARD_IS_ABSENT, {}, 0, STATUS_NOT_SUPPORTED, NoSlot(RDF_CARD_TRACKING)},
    Refusal{"VendorNoFunction", kVendorCode, Le(1), 16, STATUS_NOT_SUPPORTED, NoSlot(RDF_IOCTL_VENDOR)},
    Refusal{"UnassignedStandard", SCARD_CTL_CODE(13), Le(1), 16, STATUS_NOT_SUPPORTED},
    Refusal{"BelowVendorRange", SCARD_CTL_CODE(2047), Le(1), 16, STATUS_NOT_SUPPORTED},
    Refusal{"OtherDeviceType", CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2048, METHOD_BUFFERED, FILE_ANY_ACCESS), Le(1), 16,
            STATUS_NOT_SUPPORTED}),
    NameOf<Refusal>);
// clang-format on

TEST_F(DevctlTest, MissingSystemBufferCountsAsEmpty) {
    EXPECT_EQ(Send(IOCTL_SMARTCARD_GET_STATE, {}, 4, true).iosb.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Send(kPower, Le(1), 0, true).iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(kTransmit, kT1Request, 64, true).iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(fakes_.calls.empty());
}

// ---- requests handed to the reader functions ----
struct Handed {
    const char* name;
    ULONG code;
    Bytes in;
    ULONG out;
    ULONG slot, minor;
    Setup setup = {};
};
class DevctlHanded : public DevctlTest, public ::testing::WithParamInterface<Handed> {};

TEST_P(DevctlHanded, ReachesTheReaderFunction) {
    const Handed& c = GetParam();
    if (c.setup) c.setup(e_);
    fakes_.behave[c.slot].reply = {0x90, 0x00};
    Io& io = Send(c.code, c.in, c.out);
    EXPECT_EQ(io.iosb.Status, STATUS_SUCCESS);
    ASSERT_EQ(fakes_.calls.size(), 1u);
    const ReaderCall& call = fakes_.calls[0];
    EXPECT_EQ(call.slot, c.slot);
    EXPECT_EQ(call.major, c.code);
    EXPECT_EQ(call.minor, c.minor);
    EXPECT_EQ(call.request, c.in);
    EXPECT_EQ(call.replyLength, c.out);
    EXPECT_TRUE(call.sharedBuffer);
    EXPECT_TRUE(call.informationZero);
    const ULONG n = std::min<ULONG>(2, c.out);
    EXPECT_EQ(io.iosb.Information, n);
    Bytes answer = {0x90, 0x00};
    answer.resize(n);
    EXPECT_EQ(Bytes(io.out.begin(), io.out.begin() + n), answer);
    EXPECT_EQ(e_->IoRequest.Information, nullptr);
    EXPECT_EQ(e_->IoRequest.ReplyBuffer, nullptr);
}

const Bytes kRawRequest = Cat(Header(SCARD_PROTOCOL_RAW), {0x55});
const Bytes kT0Request = Cat(Header(SCARD_PROTOCOL_Tx), kApdu);
const Bytes kLongPciRequest = Cat(Cat(Header(SCARD_PROTOCOL_T1, 12), Le(7)), kApdu);
// clang-format off
INSTANTIATE_TEST_SUITE_P(Devctl, DevctlHanded, ::testing::Values(
    Handed{"PowerDownNoCard", kPower, Le(0), 0, RDF_CARD_POWER, 0, State(SCARD_ABSENT)},
    Handed{"ColdResetNoCard", kPower, Le(1), 64, RDF_CARD_POWER, 1, State(SCARD_UNKNOWN)},
    Handed{"WarmReset", kPower, Cat(Le(2), {0xFF}), 33, RDF_CARD_POWER, 2},
    Handed{"ProtocolT0", kProtocol, Le(1), 4, RDF_SET_PROTOCOL, 1},
    Handed{"ProtocolBoth", kProtocol, Le(3), 8, RDF_SET_PROTOCOL, 3},
    Handed{"ProtocolDefault", kProtocol, Le(SCARD_PROTOCOL_DEFAULT), 4, RDF_SET_PROTOCOL, 3},
    Handed{"ProtocolT1Raw", kProtocol, Le(SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW), 4, RDF_SET_PROTOCOL, 2},
    Handed{"ProtocolSwallowed", kProtocol, Le(3), 4, RDF_SET_PROTOCOL, 3, State(SCARD_SWALLOWED)},
    Handed{"TransmitT1", kTransmit, kT1Request, 64, RDF_TRANSMIT, 0},
    Handed{"TransmitT1ExactOutput", kTransmit, kT1Request, 10, RDF_TRANSMIT, 0},
    Handed{"TransmitT0EitherProtocol", kTransmit, kT0Request, 64, RDF_TRANSMIT, 0, Selected(SCARD_PROTOCOL_T0)},
    Handed{"TransmitLongPci", kTransmit, kLongPciRequest, 64, RDF_TRANSMIT, 0},
    Handed{"TransmitRawOneByte", kTransmit, kRawRequest, 64, RDF_TRANSMIT, 0, Selected(SCARD_PROTOCOL_RAW)},
    Handed{"Confiscate", IOCTL_SMARTCARD_CONFISCATE, {}, 0, RDF_CARD_CONFISCATE, 0},
    Handed{"Eject", IOCTL_SMARTCARD_EJECT, Le(1), 0, RDF_CARD_EJECT, 0},
    Handed{"Swallow", IOCTL_SMARTCARD_SWALLOW, {}, 4, RDF_READER_SWALLOW, 0},
    Handed{"VendorFirst", kVendorCode, Le(9), 16, RDF_IOCTL_VENDOR, 0},
    Handed{"VendorLast", SCARD_CTL_CODE(4095), {}, 13, RDF_IOCTL_VENDOR, 0}),
    NameOf<Handed>);
// clang-format on

// ---- reader function results, as the caller sees them ----
struct Result {
    const char* name;
    NTSTATUS reader, expected;
    bool throws;
};
struct Route {
    const char* name;
    ULONG code, slot;
    Bytes in;
};
class DevctlResult : public DevctlTest,
                     public ::testing::WithParamInterface<std::tuple<Result, Route>> {};

TEST_P(DevctlResult, IsPassedOnAsTheRequestStatus) {
    const auto& [c, route] = GetParam();
    e_->LastError = 0xABCD;
    fakes_.behave[route.slot] = {c.reader, {1, 2, 3}, {}, 0, c.throws, {}};
    Io& io = Send(route.code, route.in, 16);
    EXPECT_EQ(io.iosb.Status, c.expected);
    EXPECT_EQ(fakes_.calls.size(), 1u);
    const bool data = NT_SUCCESS(c.expected) || NT_WARNING(c.expected);
    EXPECT_EQ(io.iosb.Information, data ? 3u : 0u);
    EXPECT_EQ(Bytes(io.out.begin(), io.out.begin() + 3), data ? Bytes({1, 2, 3}) : Bytes(3, 0xEE));
    EXPECT_EQ(e_->LastError, NT_SUCCESS(c.expected) ? 0xABCDu : ULONG(c.expected));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Devctl, DevctlResult, ::testing::Combine(
    ::testing::Values(Result{"Success", STATUS_SUCCESS, STATUS_SUCCESS, false},
                      Result{"TimeoutIsAnError", STATUS_TIMEOUT, STATUS_IO_TIMEOUT, false},
                      Result{"PendingIsNotLeftHanging", STATUS_PENDING, STATUS_INVALID_DEVICE_STATE, false},
                      Result{"DataError", STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_DATA_ERROR, false},
                      Result{"Unrecognized", STATUS_UNRECOGNIZED_MEDIA, STATUS_UNRECOGNIZED_MEDIA, false},
                      Result{"Overflow", STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_OVERFLOW, false},
                      Result{"Thrown", STATUS_SUCCESS, STATUS_UNSUCCESSFUL, true}),
    ::testing::Values(Route{"Power", kPower, RDF_CARD_POWER, Le(1)},
                      Route{"SetProtocol", kProtocol, RDF_SET_PROTOCOL, Le(3)},
                      Route{"Transmit", kTransmit, RDF_TRANSMIT, kT1Request},
                      Route{"Eject", IOCTL_SMARTCARD_EJECT, RDF_CARD_EJECT, {}},
                      Route{"Vendor", kVendorCode, RDF_IOCTL_VENDOR, {}})),
    (NameOf<Result, Route>));
// clang-format on

TEST_F(DevctlTest, InformationNeverExceedsTheOutput) {
    fakes_.behave[RDF_IOCTL_VENDOR] = {STATUS_SUCCESS, Bytes(16, 7), 100};
    Io& io = Send(kVendorCode, {}, 8);
    EXPECT_EQ(io.iosb.Information, 8u);
    EXPECT_EQ(io.out, Bytes(8, 7));
}

// ---- attributes: each value in its PC/SC encoding, from its field ----
struct Attribute {
    const char* name;
    ULONG tag;
    Bytes value;
    Setup setup = {};
};
class DevctlAttribute : public DevctlTest, public ::testing::WithParamInterface<Attribute> {};

TEST_P(DevctlAttribute, ReadsItsField) {
    const Attribute& c = GetParam();
    if (c.setup) c.setup(e_);
    const ULONG size = ULONG(c.value.size());
    for (ULONG out : {size, size + 9}) {
        Io& io = Send(IOCTL_SMARTCARD_GET_ATTRIBUTE, Le(c.tag), out);
        EXPECT_EQ(io.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(io.iosb.Information, size);
        EXPECT_EQ(Bytes(io.out.begin(), io.out.begin() + size), c.value);
    }
    Io& small = Send(IOCTL_SMARTCARD_GET_ATTRIBUTE, Le(c.tag), size - 1);
    EXPECT_EQ(small.iosb.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.systemBuffer, Padded(Le(c.tag), small.bufferSize));  // nothing written
    EXPECT_TRUE(fakes_.calls.empty());
    EXPECT_EQ(Send(IOCTL_SMARTCARD_SET_ATTRIBUTE, Cat(Le(c.tag), c.value), 0).iosb.Status,
              STATUS_INVALID_DEVICE_REQUEST);
}

Setup Session(UCHAR ifsc, UCHAR ifsd) {
    return [=](PSMARTCARD_EXTENSION e) {
        e->T1.SessionStarted = TRUE, e->T1.IFSC = ifsc, e->T1.IFSD = ifsd;
    };
}
Setup NoAtrIfsc() {
    return [](PSMARTCARD_EXTENSION e) { e->CardCapabilities.T1.IFSC = 0; };
}
Setup Confiscated() {
    return [](PSMARTCARD_EXTENSION e) { e->ReaderCapabilities.CardConfiscated = TRUE; };
}
// clang-format off
INSTANTIATE_TEST_SUITE_P(Devctl, DevctlAttribute, ::testing::Values(
    Attribute{"VendorName", SCARD_ATTR_VENDOR_NAME, Text("VESKA Systems")},
    Attribute{"IfdType", SCARD_ATTR_VENDOR_IFD_TYPE, Text("QUOR Std USB")},
    Attribute{"IfdVersion", SCARD_ATTR_VENDOR_IFD_VERSION, Le(0x01960040)},
    Attribute{"SerialNo", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, Text("2002-a-1f, V58")},
    Attribute{"DeviceUnit", SCARD_ATTR_DEVICE_UNIT, Le(3)},
    Attribute{"ChannelId", SCARD_ATTR_CHANNEL_ID, Le(0x00010002)},
    Attribute{"ProtocolTypes", SCARD_ATTR_PROTOCOL_TYPES, Le(3)},
    Attribute{"DefaultClock", SCARD_ATTR_DEFAULT_CLK, Le(4000)},
    Attribute{"MaxClock", SCARD_ATTR_MAX_CLK, Le(5000)},
    Attribute{"DefaultRate", SCARD_ATTR_DEFAULT_DATA_RATE, Le(9600)},
    Attribute{"MaxRate", SCARD_ATTR_MAX_DATA_RATE, Le(19200)},
    Attribute{"MaxIfsd", SCARD_ATTR_MAX_IFSD, Le(254)},
    Attribute{"PowerManagement", SCARD_ATTR_POWER_MGMT_SUPPORT, Le(1)},
    Attribute{"Characteristics", SCARD_ATTR_CHARACTERISTICS, Le(2)},
    Attribute{"ProtocolSpecific", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Le(2)},
    Attribute{"ProtocolNegotiable", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Le(0), State(SCARD_NEGOTIABLE)},
    Attribute{"ProtocolNoCard", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, Le(0), State(SCARD_ABSENT)},
    Attribute{"ClockPowered", SCARD_ATTR_CURRENT_CLK, Le(4000), State(SCARD_POWERED)},
    Attribute{"ClockUnpowered", SCARD_ATTR_CURRENT_CLK, Le(0), State(SCARD_SWALLOWED)},
    Attribute{"F", SCARD_ATTR_CURRENT_F, Le(512)},
    Attribute{"D", SCARD_ATTR_CURRENT_D, Le(8)},
    Attribute{"N", SCARD_ATTR_CURRENT_N, Le(2)},
    Attribute{"W", SCARD_ATTR_CURRENT_W, Le(20)},
    Attribute{"IfscOfSession", SCARD_ATTR_CURRENT_IFSC, Le(128), Session(128, 180)},
    Attribute{"IfscOfAtr", SCARD_ATTR_CURRENT_IFSC, Le(200)},
    Attribute{"IfscDefault", SCARD_ATTR_CURRENT_IFSC, Le(32), NoAtrIfsc()},
    Attribute{"IfsdOfSession", SCARD_ATTR_CURRENT_IFSD, Le(180), Session(128, 180)},
    Attribute{"IfsdDefault", SCARD_ATTR_CURRENT_IFSD, Le(32)},
    Attribute{"Bwt", SCARD_ATTR_CURRENT_BWT, Le(1600000)},
    Attribute{"Cwt", SCARD_ATTR_CURRENT_CWT, Le(8200)},
    Attribute{"Ebc", SCARD_ATTR_CURRENT_EBC_ENCODING, Le(1)},
    Attribute{"Atr", SCARD_ATTR_ATR_STRING, kAtr},
    Attribute{"PresenceAbsent", SCARD_ATTR_ICC_PRESENCE, {0}, State(SCARD_ABSENT)},
    Attribute{"PresenceUnknown", SCARD_ATTR_ICC_PRESENCE, {0}, State(SCARD_UNKNOWN)},
    Attribute{"PresencePresent", SCARD_ATTR_ICC_PRESENCE, {1}, State(SCARD_PRESENT)},
    Attribute{"PresenceSwallowed", SCARD_ATTR_ICC_PRESENCE, {2}, State(SCARD_SWALLOWED)},
    Attribute{"PresenceSpecific", SCARD_ATTR_ICC_PRESENCE, {2}},
    Attribute{"PresenceConfiscated", SCARD_ATTR_ICC_PRESENCE, {4}, Confiscated()},
    Attribute{"InterfaceOff", SCARD_ATTR_ICC_INTERFACE_STATUS, {0}, State(SCARD_SWALLOWED)},
    Attribute{"InterfaceOn", SCARD_ATTR_ICC_INTERFACE_STATUS, {1}, State(SCARD_POWERED)},
    Attribute{"TypeAsynchronous", SCARD_ATTR_ICC_TYPE_PER_ATR, {1}},
    Attribute{"TypeNoCard", SCARD_ATTR_ICC_TYPE_PER_ATR, {0}, State(SCARD_ABSENT)}),
    NameOf<Attribute>);
// clang-format on

// ---- T=1 session hooks ----
struct SessionCase {
    const char* name;
    ULONG code;
    Bytes in;
    bool resets;
    Setup setup = {};
};
class DevctlSession : public DevctlTest, public ::testing::WithParamInterface<SessionCase> {};

TEST_P(DevctlSession, ResetBeforeTheReaderFunctionOnlyWhenTheCardIsReset) {
    const SessionCase& c = GetParam();
    if (c.setup) c.setup(e_);
    e_->T1.SessionStarted = TRUE;
    EXPECT_EQ(Send(c.code, c.in, 4).iosb.Status, STATUS_SUCCESS);
    ASSERT_EQ(fakes_.calls.size(), 1u);
    EXPECT_EQ(fakes_.calls[0].t1SessionStarted, !c.resets);
}

Setup Card(ULONG state, ULONG selected, ULONG supported) {
    return [=](PSMARTCARD_EXTENSION e) {
        e->ReaderCapabilities.CurrentState = state;
        e->CardCapabilities.Protocol = {supported, selected};
    };
}
// clang-format off
INSTANTIATE_TEST_SUITE_P(Devctl, DevctlSession, ::testing::Values(
    SessionCase{"PowerDown", kPower, Le(0), false},
    SessionCase{"ColdReset", kPower, Le(1), true},
    SessionCase{"WarmReset", kPower, Le(2), true},
    SessionCase{"Negotiates", kProtocol, Le(3), true, Card(SCARD_NEGOTIABLE, 0, 3)},
    SessionCase{"SwitchesProtocol", kProtocol, Le(2), true, Card(SCARD_SPECIFIC, 1, 3)},
    SessionCase{"NegotiatesT1Raw", kProtocol, Le(0x10002), true, Card(SCARD_NEGOTIABLE, 0, 2)},
    SessionCase{"AlreadySelected", kProtocol, Le(3), false, Card(SCARD_SPECIFIC, 2, 3)},
    SessionCase{"DefaultSelected", kProtocol, Le(SCARD_PROTOCOL_DEFAULT), false, Card(SCARD_SPECIFIC, 1, 3)},
    SessionCase{"CardLacksProtocol", kProtocol, Le(2), false, Card(SCARD_NEGOTIABLE, 0, 1)},
    SessionCase{"OnlyPowered", kProtocol, Le(3), false, Card(SCARD_POWERED, 0, 3)},
    SessionCase{"Swallowed", kProtocol, Le(3), false, Card(SCARD_SWALLOWED, 0, 3)}),
    NameOf<SessionCase>);
// clang-format on

TEST_F(DevctlTest, TransmitEndsAPendingT1ExchangeFirst) {
    e_->T1.State = T1_STATE_SENDING, e_->T1.Wtx = 2;
    EXPECT_EQ(Send(kTransmit, kT1Request, 64).iosb.Status, STATUS_SUCCESS);
    ASSERT_EQ(fakes_.calls.size(), 1u);
    EXPECT_EQ(fakes_.calls[0].t1State, T1_STATE_IDLE);
    EXPECT_EQ(fakes_.calls[0].t1Wtx, 0);
}

// ---- card tracking ----
struct Wait {
    const char* name;
    ULONG code, state;
};
struct Variant {
    const char* name;
    bool flag;  // no tracking function / ended by a cancel
};
const Wait kPresentAbsent{"PresentNoCard", IOCTL_SMARTCARD_IS_PRESENT, SCARD_ABSENT};
const Wait kAbsentSpecific{"AbsentCardIn", IOCTL_SMARTCARD_IS_ABSENT, SCARD_SPECIFIC};
class DevctlImmediate : public DevctlTest,
                        public ::testing::WithParamInterface<std::tuple<Wait, Variant>> {};

TEST_P(DevctlImmediate, AnswersAtOnceWhenTheCardIsThere) {
    const auto& [c, noTracking] = GetParam();
    e_->ReaderCapabilities.CurrentState = c.state;
    if (noTracking.flag) e_->ReaderFunction[RDF_CARD_TRACKING] = nullptr;
    EXPECT_EQ(Send(c.code, {}, 0).iosb.Status, STATUS_SUCCESS);
    EXPECT_TRUE(fakes_.calls.empty());
    EXPECT_EQ(Parked(), nullptr);
}
INSTANTIATE_TEST_SUITE_P(
    Devctl, DevctlImmediate,
    ::testing::Combine(
        ::testing::Values(Wait{"Present", IOCTL_SMARTCARD_IS_PRESENT, SCARD_PRESENT},
                          Wait{"Swallowed", IOCTL_SMARTCARD_IS_PRESENT, SCARD_SWALLOWED},
                          Wait{"Specific", IOCTL_SMARTCARD_IS_PRESENT, SCARD_SPECIFIC},
                          Wait{"Absent", IOCTL_SMARTCARD_IS_ABSENT, SCARD_ABSENT},
                          Wait{"Unknown", IOCTL_SMARTCARD_IS_ABSENT, SCARD_UNKNOWN}),
        ::testing::Values(Variant{"Tracking", false}, Variant{"NoTracking", true})),
    (NameOf<Wait, Variant>));

class DevctlParked : public DevctlTest,
                     public ::testing::WithParamInterface<std::tuple<Wait, Variant>> {};

TEST_P(DevctlParked, StaysPendingUntilTheDriverOrACancelEndsIt) {
    const auto& [c, cancel] = GetParam();
    e_->ReaderCapabilities.CurrentState = c.state;
    Io& io = Start(c.code, {}, 0);
    EXPECT_EQ(io.returned, STATUS_PENDING);
    ASSERT_FALSE(io.Completed());
    EXPECT_EQ(Parked(), io.irp);
    EXPECT_NE(IoGetCurrentIrpStackLocation(io.irp)->Control & SL_PENDING_RETURNED, 0);
    ASSERT_EQ(fakes_.calls.size(), 1u);
    EXPECT_EQ(fakes_.calls[0].major, c.code);

    Io& busy = Send(c.code, {}, 0);  // a second waiter
    EXPECT_EQ(busy.iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(e_->LastError, ULONG(STATUS_DEVICE_BUSY));
    EXPECT_EQ(fakes_.calls.size(), 1u);
    EXPECT_FALSE(io.Completed());

    if (cancel.flag) {
        EXPECT_TRUE(IoCancelIrp(io.irp));
    } else {
        CompleteTracking(e_);
    }
    ASSERT_TRUE(io.Completed());
    EXPECT_EQ(io.iosb.Status, cancel.flag ? STATUS_CANCELLED : STATUS_SUCCESS);
    EXPECT_TRUE(io.pendingReturned);
    EXPECT_EQ(Parked(), nullptr);
    CompleteTracking(e_);
    EXPECT_EQ(io.completions, 1);
    EXPECT_EQ(Start(c.code, {}, 0).returned, STATUS_PENDING);  // the next waiter is welcome
}
INSTANTIATE_TEST_SUITE_P(Devctl, DevctlParked,
                         ::testing::Combine(::testing::Values(kPresentAbsent, kAbsentSpecific),
                                            ::testing::Values(Variant{"DriverCompletes", false},
                                                              Variant{"Cancelled", true})),
                         (NameOf<Wait, Variant>));

TEST_F(DevctlTest, CancelledBeforeParkingIsAnsweredAtOnce) {
    e_->ReaderCapabilities.CurrentState = SCARD_ABSENT;
    Io& io = Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0, true);
    EXPECT_EQ(io.returned, STATUS_CANCELLED);
    EXPECT_FALSE(io.pendingReturned);
    EXPECT_EQ(io.iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(io.completions, 1);
    EXPECT_TRUE(fakes_.calls.empty());
    EXPECT_EQ(Parked(), nullptr);
}

// A tracking function that does not keep the request.
struct Tracking {
    const char* name;
    NTSTATUS reader;
    bool completesItself, throws;
    NTSTATUS returned, completed;
};
class DevctlTracking : public DevctlTest, public ::testing::WithParamInterface<Tracking> {};

TEST_P(DevctlTracking, RequestIsCompletedExactlyOnce) {
    const Tracking& c = GetParam();
    e_->ReaderCapabilities.CurrentState = SCARD_ABSENT;
    fakes_.behave[RDF_CARD_TRACKING] = {
        c.reader, {}, {}, 0, c.throws, c.completesItself ? CompleteTracking : MakeCancellable};
    Io& io = Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
    EXPECT_EQ(io.returned, c.returned);
    EXPECT_EQ(io.pendingReturned, c.returned == STATUS_PENDING);
    ASSERT_TRUE(io.Completed());
    EXPECT_EQ(io.iosb.Status, c.completed);
    EXPECT_EQ(Parked(), nullptr);
    CompleteTracking(e_);
    EXPECT_EQ(io.completions, 1);
    fakes_.behave[RDF_CARD_TRACKING] = {STATUS_PENDING, {}, {}, 0, false, MakeCancellable};
    EXPECT_EQ(Start(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).returned, STATUS_PENDING);
}
INSTANTIATE_TEST_SUITE_P(
    Devctl, DevctlTracking,
    ::testing::Values(
        Tracking{"Fails", STATUS_DEVICE_DATA_ERROR, false, false, STATUS_DEVICE_DATA_ERROR,
                 STATUS_DEVICE_DATA_ERROR},
        Tracking{"TimesOut", STATUS_TIMEOUT, false, false, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT},
        Tracking{"Succeeds", STATUS_SUCCESS, false, false, STATUS_SUCCESS, STATUS_SUCCESS},
        Tracking{"Throws", STATUS_PENDING, false, true, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
        Tracking{"CompletesAndPends", STATUS_PENDING, true, false, STATUS_PENDING, STATUS_SUCCESS},
        Tracking{"CompletesAndFails", STATUS_DEVICE_DATA_ERROR, true, false, STATUS_PENDING,
                 STATUS_SUCCESS}),
    NameOf<Tracking>);

// ---- what the library answers itself ----
TEST_F(DevctlTest, StateAndLastError) {
    for (ULONG state = SCARD_UNKNOWN; state <= SCARD_SPECIFIC; ++state) {
        e_->ReaderCapabilities.CurrentState = state;
        Io& io = Send(IOCTL_SMARTCARD_GET_STATE, {}, 8);
        EXPECT_EQ(io.iosb.Information, 4u);
        EXPECT_EQ(Bytes(io.out.begin(), io.out.begin() + 4), Le(state));
    }
    EXPECT_EQ(Send(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).out, Le(0));
    Send(kPower, {}, 0);
    Send(IOCTL_SMARTCARD_GET_STATE, {}, 4);  // a success keeps the last error
    EXPECT_EQ(Send(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).out, Le(ULONG(STATUS_INVALID_PARAMETER)));
}

TEST_F(DevctlTest, PerformanceCountersCountTransmissionsBytesAndReaderTime) {
    const kclock::Ticks ms = kclock::kTicksPerMillisecond;
    fakes_.behave[RDF_CARD_POWER].takes = 1 * ms;
    fakes_.behave[RDF_TRANSMIT] = {
        STATUS_SUCCESS, Cat(Header(SCARD_PROTOCOL_T1), {1, 2, 3, 0x90, 0}), {}, 5 * ms};
    Send(kPower, Le(1), 64);
    Send(kTransmit, kT1Request, 64);               // 5 sent, 5 received
    Send(kTransmit, Cat(kT1Request, {7, 7}), 11);  // 7 sent, 3 received
    fakes_.behave[RDF_TRANSMIT] = {
        STATUS_DEVICE_DATA_ERROR, {}, {}, 2 * ms};  // 4 sent, nothing back
    Send(kTransmit, Cat(Header(SCARD_PROTOCOL_T1), {0, 0xB0, 0, 0}), 64);
    Send(kTransmit, kShortApdu, 64);  // refused: not counted
    Io& io = Send(IOCTL_SMARTCARD_GET_PERF_CNTR, {}, sizeof(PERF_INFO));
    ASSERT_EQ(io.iosb.Information, sizeof(PERF_INFO));
    PERF_INFO perf;
    std::memcpy(&perf, io.out.data(), sizeof(perf));
    EXPECT_EQ(perf.NumTransmissions, 3u);
    EXPECT_EQ(perf.BytesSent, 16u);
    EXPECT_EQ(perf.BytesReceived, 8u);
    EXPECT_EQ(perf.IoTickCount.QuadPart, 13 * ms);
}
}  // namespace
