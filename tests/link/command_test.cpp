#include "link/command.h"

#include <gtest/gtest.h>

#include <cstring>

#include "link/frame.h"
#include "link/serial_io.h"
#include "platform/kernel/clock.h"
#include "sim/card.h"
#include "tests/support/rig.h"

using quor::sim::Fault;
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

std::vector<UCHAR> Reply(ReaderRig& rig) {
    return {rig.R()->ReplyBuffer, rig.R()->ReplyBuffer + rig.R()->ReplyDataLength};
}

struct SelectorCase {
    ULONG selector;
    ULONG selected;  // CardCapabilities.Protocol.Selected
    NTSTATUS status;
    const char* frame;  // bytes on the wire, "" for nothing sent
};

TEST(ReaderCommand, SelectorsPutTheirFrameOnTheLine) {
    const SelectorCase cases[] = {
        {RC_GET_STATUS, 0, STATUS_SUCCESS, "0B 00 0B"},
        {11, 0, STATUS_SUCCESS, "0B 00 0B"},
        {RC_CARD_OFF, 0, STATUS_SUCCESS, "03 00 03"},
        {3, 0, STATUS_SUCCESS, "03 00 03"},
        {114, 0, STATUS_SUCCESS, "03 00 03"},
        {RC_RESET_READER, 0, STATUS_SUCCESS, "01 00 01"},
        {1, 0, STATUS_SUCCESS, "01 00 01"},
        {RC_GET_INFO, 0, STATUS_SUCCESS, "09 00 09"},
        {9, 0, STATUS_SUCCESS, "09 00 09"},
        {RC_SET_WAIT_TIME, 0, STATUS_SUCCESS, "04 02 01 1E 19"},
        {RC_SET_PROTOCOL, SCARD_PROTOCOL_T1, STATUS_SUCCESS, "05 01 01 05"},
        {5, SCARD_PROTOCOL_T0, STATUS_SUCCESS, "05 01 00 04"},
        {RC_SET_PROTOCOL, READER_PROTOCOL_PPS, STATUS_SUCCESS, "05 01 02 06"},
        {RC_SET_PROTOCOL, SCARD_PROTOCOL_RAW, STATUS_NOT_SUPPORTED, ""},
        {RC_SEND_PPS, 0, STATUS_SUCCESS, "08 04 FF 11 11 FF 0C"},
        {RC_DISPLAY, 0, STATUS_SUCCESS, "0A 03 41 42 43 49"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        ReaderRig rig(Manual());
        rig.Ext()->CardCapabilities.Protocol.Selected = c.selected;
        SetWaitTimeParameter(rig.R(), 0x011E);
        UCHAR pps[4] = {0xFF, 0x11, 0x11, 0xFF};
        rig.R()->PpsRequest.Buffer = pps;
        rig.R()->PpsRequest.Length = 4;
        UCHAR text[3] = {'A', 'B', 'C'};
        rig.R()->DisplayText = text;
        rig.R()->DisplayTextLength = 3;
        EXPECT_EQ(ReaderCommand(rig.Ext(), c.selector), c.status);
        std::vector<std::vector<UCHAR>> expected;
        if (*c.frame) expected.push_back(Hex(c.frame));
        EXPECT_EQ(rig.HostFrames(), expected);
    }
}

TEST(ReaderCommand, UnknownSelectorsSendNothing) {
    ReaderRig rig(Manual());
    for (ULONG s : {6u, 7u, 8u, 104u, 105u, 106u, 107u, 108u, 110u, 111u, 112u, 125u, 0u}) {
        EXPECT_EQ(ReaderCommand(rig.Ext(), s), STATUS_NOT_SUPPORTED) << s;
    }
    EXPECT_TRUE(rig.HostFrames().empty());
    EXPECT_TRUE(rig.Port().Requests().empty());
}

TEST(ReaderCommand, LineOperations) {
    ReaderRig rig(Manual());
    PSMARTCARD_EXTENSION ext = rig.Ext();

    ASSERT_EQ(ReaderCommand(ext, RC_PURGE), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<UCHAR>(ext->SmartcardRequest.Buffer, ext->SmartcardRequest.Buffer + 4),
              Hex("0F 00 00 00"));
    EXPECT_EQ(ext->SmartcardRequest.BufferLength, 4u);

    PUCHAR buffer = ext->SmartcardRequest.Buffer;
    ext->SmartcardRequest.BufferLength = 17;
    rig.R()->SerialConfigData.Timeouts = SERIAL_TIMEOUTS{1234, 2, 5678, 0, 0};
    ASSERT_EQ(ReaderCommand(ext, RC_SET_TIMEOUTS), STATUS_SUCCESS);
    EXPECT_EQ(ext->SmartcardRequest.Buffer, buffer);
    EXPECT_EQ(ext->SmartcardRequest.BufferLength, 17u);
    EXPECT_EQ(rig.Port().Timeouts().ReadIntervalTimeout, 1234u);
    EXPECT_EQ(rig.Port().Timeouts().ReadTotalTimeoutConstant, 5678u);

    for (ULONG s : {RC_SET_DTR, RC_CLR_RTS, RC_SET_RTS, RC_CLR_DTR}) {
        EXPECT_EQ(ReaderCommand(ext, s), STATUS_SUCCESS);
    }
    std::vector<ULONG> codes;
    for (const auto& r : rig.Port().Requests()) codes.push_back(r.ioctl);
    EXPECT_EQ(codes, (std::vector<ULONG>{IOCTL_SERIAL_PURGE, IOCTL_SERIAL_SET_TIMEOUTS,
                                         IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS,
                                         IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_DTR}));
    EXPECT_EQ(rig.Port().Requests()[0].input, Hex("0F 00 00 00"));
    EXPECT_FALSE(rig.Port().Settings().Dtr);
    EXPECT_TRUE(rig.Port().Settings().Rts);
}

TEST(ReaderCommand, CardOnReplyCarriesTheAtr) {
    ReaderRig rig(Manual());
    rig.Reader().InsertCard(std::make_shared<quor::sim::AtrCard>(Hex("3B 02 14 50")));
    ASSERT_EQ(ReaderCommand(rig.Ext(), RC_CARD_ON), STATUS_SUCCESS);
    EXPECT_EQ(rig.Reader().Frames().at(0).reply, Hex("00 05 3B 02 14 50 60 18"));
    EXPECT_EQ(rig.R()->ReplyDataLength, 4u);
    EXPECT_EQ(Reply(rig), Hex("3B 02 14 50"));
    EXPECT_EQ(rig.R()->ReaderStatus, 0x60);
}

TEST(ReaderCommand, FailureStatusByteIsStillASuccess) {
    ReaderRig rig(Manual());
    rig.Reader().InjectFault(11, Fault::ErrorStatus(0x11));
    EXPECT_EQ(ReaderCommand(rig.Ext(), RC_GET_STATUS), STATUS_SUCCESS);
    EXPECT_EQ(rig.R()->ReaderStatus, 0x91);
}

TEST(ReaderCommand, LongReplyHeaderReadsTheRest) {
    ReaderRig rig(Manual());
    std::vector<UCHAR> data(271, 0x5A);
    rig.Reader().InjectFault(9, Fault::Answer(data, 0x00));
    ASSERT_EQ(ReaderCommand(rig.Ext(), RC_GET_INFO), STATUS_SUCCESS);
    std::vector<ULONG> reads;
    for (const auto& r : rig.Port().Requests()) {
        if (r.major == IRP_MJ_READ) reads.push_back(r.length);
    }
    EXPECT_EQ(reads, (std::vector<ULONG>{2, 273}));
    EXPECT_EQ(rig.R()->ReplyDataLength, 271u);
    EXPECT_EQ(rig.R()->ExtendedReply, 1);
}

TEST(ReaderCommand, FrameWriteFailureIsADataError) {
    ReaderRig rig(Manual());
    rig.R()->ReaderStatus = 0x77;
    rig.R()->ReplyDataLength = 9;
    rig.Port().AddFault(quor::serial::PortFault::FailMajor(IRP_MJ_WRITE, STATUS_IO_DEVICE_ERROR));
    EXPECT_EQ(ReaderCommand(rig.Ext(), RC_GET_STATUS), STATUS_DATA_ERROR);
    // The failing byte ends the frame: the rest is not written and no reply is read.
    std::vector<UCHAR> majors;
    for (const auto& r : rig.Port().Requests()) majors.push_back(r.major);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_WRITE}));
    EXPECT_EQ(rig.R()->ReaderStatus, 0x77);
    EXPECT_EQ(rig.R()->ReplyDataLength, 9u);
}

struct ReplyFailureCase {
    const char* name;
    std::function<void(ReaderRig&)> arrange;
    NTSTATUS status;
    bool pausedForProtocolError;
};

TEST(ReadReaderReply, FailureRows) {
    const std::vector<ReplyFailureCase> cases = {
        {"head read fails",
         [](ReaderRig& r) {
             r.Port().AddFault(
                 quor::serial::PortFault::FailMajor(IRP_MJ_READ, STATUS_IO_DEVICE_ERROR));
         },
         STATUS_IO_DEVICE_ERROR, false},
        {"port closed", [](ReaderRig& r) { r.SetPortOpen(false); }, STATUS_UNSUCCESSFUL, false},
        {"silent reader", [](ReaderRig& r) { r.Reader().SetSilent(true); }, STATUS_TIMEOUT, false},
        {"head cut to one byte",
         [](ReaderRig& r) { r.Reader().InjectFault(11, Fault::Truncate(1)); }, STATUS_TIMEOUT,
         false},
        {"first byte 0x41",
         [](ReaderRig& r) { r.Reader().InjectFault(11, Fault::FirstByte(0x41)); },
         STATUS_DEVICE_PROTOCOL_ERROR, true},
        {"status reply cut after 00 01",
         [](ReaderRig& r) { r.Reader().InjectFault(11, Fault::Truncate(2)); },
         STATUS_DEVICE_PROTOCOL_ERROR, false},
        {"rest read short",
         [](ReaderRig& r) {
             r.Port().AddFault(quor::serial::PortFault::ShortRead(2, STATUS_SUCCESS));
             r.Port().AddFault(quor::serial::PortFault::ShortRead(1, STATUS_SUCCESS));
         },
         STATUS_DEVICE_PROTOCOL_ERROR, false},
        {"bad checksum", [](ReaderRig& r) { r.Reader().InjectFault(11, Fault::BadChecksum()); },
         STATUS_DATA_ERROR, false},
        // A port that refuses a read at once leaves the count alone: never parse what the
        // buffer held before.
        {"head read times out at once",
         [](ReaderRig& r) {
             r.Port().AddFault(quor::serial::PortFault::FailMajor(IRP_MJ_READ, STATUS_TIMEOUT));
         },
         STATUS_TIMEOUT, false},
        {"rest read fails at once",
         [](ReaderRig& r) {
             r.Port().AddFault(
                 quor::serial::PortFault::FailMajor(IRP_MJ_READ, STATUS_IO_DEVICE_ERROR).After(1));
         },
         STATUS_IO_DEVICE_ERROR, false},
        {"rest read times out at once",
         [](ReaderRig& r) {
             r.Port().AddFault(
                 quor::serial::PortFault::FailMajor(IRP_MJ_READ, STATUS_TIMEOUT).After(1));
         },
         STATUS_DEVICE_PROTOCOL_ERROR, false},
        // A length that cannot fit the reply buffer is a broken frame, not the caller's fault.
        {"rest longer than the reply buffer",
         [](ReaderRig& r) {
             r.Reader().InjectFault(11, Fault::Answer(std::vector<UCHAR>(303, 0x33), 0x40));
         },
         STATUS_DEVICE_PROTOCOL_ERROR, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReaderRig rig(Manual());
        EventLogClear();
        // Stale bytes in the reply buffer must never complete a cut frame.
        std::memcpy(rig.Ext()->SmartcardReply.Buffer, Hex("00 01 00 01").data(), 4);
        c.arrange(rig);
        kclock::ClearPauses();
        EXPECT_EQ(ReaderCommand(rig.Ext(), RC_GET_STATUS), c.status);
        bool paused = false;
        for (const auto& p : kclock::Pauses()) {
            if (p.kind == kclock::PauseKind::Wait && p.duration == 15'000'000) paused = true;
        }
        EXPECT_EQ(paused, c.pausedForProtocolError);
        if (c.pausedForProtocolError) {
            int reads = 0;
            for (const auto& r : rig.Port().Requests()) reads += r.major == IRP_MJ_READ;
            EXPECT_EQ(reads, 1);  // the rest is not read
            // ... but dropped: the next reply is read from its own head.
            EXPECT_EQ(ReaderCommand(rig.Ext(), RC_GET_STATUS), STATUS_SUCCESS);
        }
        EXPECT_TRUE(EventLogEntries().empty());  // nothing for an administrator to see
    }
}

TEST(ReadReaderReply, CopyOutHappensWhateverTheVerdict) {
    ReaderRig rig(Manual());
    rig.Reader().InsertCard(std::make_shared<quor::sim::AtrCard>(Hex("3B 02 14 50")));
    rig.Reader().InjectFault(2, Fault::BadChecksum());
    ASSERT_EQ(
        SerialReadWrite(rig.R()->AttachedDeviceObject, IRP_MJ_WRITE, Hex("02 00 02").data(), 3),
        STATUS_SUCCESS);
    EXPECT_EQ(ReadReaderReply(rig.Ext(), 1), STATUS_DATA_ERROR);
    PSMARTCARD_EXTENSION ext = rig.Ext();
    EXPECT_EQ(std::vector<UCHAR>(ext->SmartcardReply.Buffer,
                                 ext->SmartcardReply.Buffer + ext->SmartcardReply.BufferLength),
              Hex("3B 02 14 50"));
}

}  // namespace
