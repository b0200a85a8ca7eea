#include "link/serial_io.h"

#include <gtest/gtest.h>

#include "link/command.h"
#include "platform/kernel/clock.h"
#include "tests/support/rig.h"

using quor::serial::PortFault;
using quor::serial::SerialPort;
using quor::test::ClockMode;
using quor::test::Hex;
using quor::test::ReaderRig;
using quor::test::RigOptions;

namespace {

RigOptions Manual() {
    RigOptions o;
    o.clock = ClockMode::Manual;
    return o;
}

// Puts bytes into SmartcardRequest and writes them through SerialIo.
NTSTATUS WriteBytes(ReaderRig& rig, const std::vector<UCHAR>& bytes) {
    PSMARTCARD_EXTENSION ext = rig.Ext();
    std::copy(bytes.begin(), bytes.end(), ext->SmartcardRequest.Buffer);
    ext->SmartcardRequest.BufferLength = static_cast<ULONG>(bytes.size());
    ext->SmartcardReply.BufferLength = 0;
    rig.R()->SerialIoControlCode = READER_SERIAL_WRITE;
    return SerialIo(ext);
}

std::vector<std::vector<UCHAR>> Writes(ReaderRig& rig) {
    std::vector<std::vector<UCHAR>> w;
    for (const auto& r : rig.Port().Requests()) {
        if (r.major == IRP_MJ_WRITE) w.push_back(r.input);
    }
    return w;
}

TEST(SerialIo, ClosedPortSendsNothing) {
    ReaderRig rig(Manual());
    rig.SetPortOpen(false);
    EXPECT_EQ(WriteBytes(rig, Hex("01 02")), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(rig.Port().Requests().empty());
}

TEST(SerialIo, OversizedLengthsAreRefusedAndLogged) {
    for (bool reply : {true, false}) {
        ReaderRig rig(Manual());
        EventLogClear();
        PSMARTCARD_EXTENSION ext = rig.Ext();
        rig.R()->SerialIoControlCode = READER_SERIAL_READ;
        ext->SmartcardReply.BufferLength = reply ? 289 : 2;
        ext->SmartcardRequest.BufferLength = reply ? 0 : 289;
        EXPECT_EQ(SerialIo(ext), STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(rig.Port().Requests().empty());
        auto log = EventLogEntries();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].Code, SMARTCARD_BUFFER_TOO_SMALL_EVENT);
        EXPECT_EQ(ext->SmartcardReply.BufferLength, reply ? 289u : 2u);
    }
}

TEST(SerialIo, GuardTimePacesWrites) {
    {
        ReaderRig rig(Manual());
        kclock::ClearPauses();
        EXPECT_EQ(WriteBytes(rig, Hex("01 02 03 04 05")), STATUS_SUCCESS);
        EXPECT_EQ(Writes(rig), (std::vector<std::vector<UCHAR>>{Hex("01 02 03 04 05")}));
        EXPECT_TRUE(kclock::Pauses().empty());
    }
    // A short guard time is busy-waited; a long one sleeps through the clock and busy-waits
    // only its last 100 us, so that the spacing stays exact without holding the processor.
    using K = kclock::PauseKind;
    const struct {
        ULONG gt;
        std::vector<std::pair<K, kclock::Ticks>> perGap;  // pauses between two bytes, in us
    } cases[] = {
        {12, {{K::Stall, 12}}},
        {300, {{K::Stall, 300}}},
        {2000, {{K::Delay, 1900}, {K::Stall, 100}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gt);
        ReaderRig rig(Manual());
        rig.Ext()->CardCapabilities.GT = c.gt;
        kclock::ClearPauses();
        const kclock::Ticks start = kclock::Now();
        EXPECT_EQ(WriteBytes(rig, Hex("01 02 03 04 05")), STATUS_SUCCESS);
        EXPECT_EQ(Writes(rig), (std::vector<std::vector<UCHAR>>{Hex("01"), Hex("02"), Hex("03"),
                                                                Hex("04"), Hex("05")}));
        auto pauses = kclock::Pauses();
        ASSERT_EQ(pauses.size(), 4 * c.perGap.size());
        for (std::size_t i = 0; i < pauses.size(); ++i) {
            EXPECT_EQ(pauses[i].kind, c.perGap[i % c.perGap.size()].first);
            EXPECT_EQ(pauses[i].duration,
                      c.perGap[i % c.perGap.size()].second * kclock::kTicksPerMicrosecond);
        }
        EXPECT_EQ(kclock::Now() - start, 4 * kclock::Ticks{c.gt} * kclock::kTicksPerMicrosecond);
    }
}

TEST(SerialIo, FailedPacedByteEndsTheWrite) {
    ReaderRig rig(Manual());
    rig.Ext()->CardCapabilities.GT = 5;
    rig.Port().AddFault(PortFault::FailMajor(IRP_MJ_WRITE, STATUS_SUCCESS));  // first byte fine
    rig.Port().AddFault(PortFault::FailMajor(IRP_MJ_WRITE, STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(WriteBytes(rig, Hex("0A 0B 0C 0D")), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Writes(rig).size(), 2u);
}

// However the port answers, a paced write puts each byte on the line once and stops at the
// last: a repeat request for the last byte must not run past the data.
TEST(SerialIo, PacedWriteNeverRunsPastItsData) {
    const struct {
        const char* name;
        int afterBytes;  // bytes the port takes normally before the fault
        NTSTATUS status;
        size_t writes;
        NTSTATUS result;
    } rows[] = {
        {"repeat asked for the last byte", 4, STATUS_MORE_PROCESSING_REQUIRED, 5,
         STATUS_MORE_PROCESSING_REQUIRED},
        {"repeat asked for a middle byte", 2, STATUS_MORE_PROCESSING_REQUIRED, 3,
         STATUS_MORE_PROCESSING_REQUIRED},
        {"last byte times out", 4, STATUS_TIMEOUT, 5, STATUS_TIMEOUT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ReaderRig rig(Manual());
        rig.Ext()->CardCapabilities.GT = 5;
        rig.Port().AddFault(
            PortFault::FailMajor(IRP_MJ_WRITE, row.status, -1).After(row.afterBytes));
        EXPECT_EQ(WriteBytes(rig, Hex("0A 0B 0C 0D 0E")), row.result);
        EXPECT_EQ(Writes(rig).size(), row.writes);
    }
}

TEST(SerialIo, ZeroByteWritesSendNothing) {
    ReaderRig rig(Manual());
    EXPECT_EQ(WriteBytes(rig, {}), STATUS_SUCCESS);
    rig.Ext()->CardCapabilities.GT = 5;
    EXPECT_EQ(WriteBytes(rig, {}), STATUS_SUCCESS);
    EXPECT_EQ(SerialReadWrite(rig.R()->AttachedDeviceObject, IRP_MJ_WRITE, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_TRUE(rig.Port().Requests().empty());
}

TEST(SerialIo, CountIsTakenOnlyFromARequestThatPended) {
    for (auto mode : {SerialPort::Completion::Immediate, SerialPort::Completion::Asynchronous}) {
        ReaderRig rig(Manual());
        rig.Port().SetCompletion(mode);
        rig.Port().AddFault(PortFault::ShortRead(3, STATUS_TIMEOUT));
        ASSERT_EQ(
            SerialReadWrite(rig.R()->AttachedDeviceObject, IRP_MJ_WRITE, Hex("09 00 09").data(), 3),
            STATUS_SUCCESS);
        PSMARTCARD_EXTENSION ext = rig.Ext();
        rig.R()->SerialIoControlCode = READER_SERIAL_READ;
        ext->SmartcardRequest.BufferLength = 0;
        ext->SmartcardReply.BufferLength = 8;
        EXPECT_EQ(SerialIo(ext), STATUS_TIMEOUT);
        EXPECT_EQ(ext->SmartcardReply.BufferLength, 3u);  // a short read always pends
        EXPECT_EQ(std::vector<UCHAR>(ext->SmartcardReply.Buffer, ext->SmartcardReply.Buffer + 3),
                  Hex("00 05 02"));
    }
}

TEST(ConfigureSerialPort, SendsTheEightSettingsInOrder) {
    ReaderRig rig(Manual());
    ASSERT_EQ(ConfigureSerialPort(rig.Ext()), STATUS_SUCCESS);
    struct Expected {
        ULONG code;
        std::vector<UCHAR> input;
    };
    const Expected expected[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, Hex("80 25 00 00")},
        {IOCTL_SERIAL_SET_LINE_CONTROL, Hex("02 00 08")},
        {IOCTL_SERIAL_SET_CHARS, Hex("00 00 FF 00 00 00")},
        {IOCTL_SERIAL_SET_TIMEOUTS,
         Hex("E8 03 00 00 E8 03 00 00 88 13 00 00 00 00 00 00 00 00 00 00")},
        {IOCTL_SERIAL_SET_HANDFLOW, Hex("00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 00")},
        {IOCTL_SERIAL_SET_BREAK_OFF, {}},
        {IOCTL_SERIAL_SET_DTR, {}},
        {IOCTL_SERIAL_SET_RTS, {}},
    };
    auto requests = rig.Port().Requests();
    ASSERT_EQ(requests.size(), std::size(expected));
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].ioctl, expected[i].code) << i;
        EXPECT_EQ(requests[i].input, expected[i].input) << i;
    }
    EXPECT_EQ(rig.Port().Settings().BaudRate, 9600u);
    EXPECT_EQ(rig.Port().Settings().LineControl.StopBits, STOP_BITS_2);
}

TEST(ConfigureSerialPort, StopsAtTheFirstFailure) {
    ReaderRig rig(Manual());
    PUCHAR buffer = rig.Ext()->SmartcardRequest.Buffer;
    rig.Port().AddFault(PortFault::FailIoctl(IOCTL_SERIAL_SET_CHARS, STATUS_INVALID_PARAMETER));
    EXPECT_EQ(ConfigureSerialPort(rig.Ext()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Port().Requests().size(), 3u);
    EXPECT_EQ(rig.Ext()->SmartcardRequest.Buffer, buffer);
}

}  // namespace
