// Reader identification, the start-up attributes and how the library reports them.
#include <map>
#include <optional>

#include "link/command.h"
#include "tests/reader/reader_bench.h"

using quor::sim::ConfigForModelCode;
using quor::sim::Fault;
using namespace quor::test;

namespace {

// What went to the reader, in order: control requests to the port, command frames (by the
// first byte of a run of writes) and pauses. Only valid on the manual clock, where time moves
// only by pauses, so a request at or before a pause's start came before it.
std::vector<std::string> WireStory(ReaderRig& rig) {
    const std::map<ULONG, std::string> ioctls = {{IOCTL_SERIAL_SET_DTR, "SET_DTR"},
                                                 {IOCTL_SERIAL_CLR_RTS, "CLR_RTS"},
                                                 {IOCTL_SERIAL_SET_RTS, "SET_RTS"},
                                                 {IOCTL_SERIAL_PURGE, "PURGE"}};
    const std::map<UCHAR, std::string> frames = {{kFrameReset, "RESET"},
                                                 {kFrameGetStatus, "GET_STATUS"},
                                                 {kFrameGetInfo, "GET_INFO"},
                                                 {kFrameDisplay, "DISPLAY"}};
    const auto pauses = kclock::Pauses();
    size_t p = 0;
    std::vector<std::string> story;
    auto pausesUntil = [&](kclock::Ticks t) {
        for (; p < pauses.size() && pauses[p].start < t; ++p) {
            story.push_back("pause " + std::to_string(pauses[p].duration / 10'000) + " ms");
        }
    };
    bool inFrame = false;
    for (const auto& req : rig.Port().Requests()) {
        pausesUntil(req.time);
        if (req.major == IRP_MJ_WRITE) {
            if (!inFrame) story.push_back(frames.at(req.input.at(0)));
            inFrame = true;
            continue;
        }
        inFrame = false;
        if (req.major == IRP_MJ_DEVICE_CONTROL) story.push_back(ioctls.at(req.ioctl));
    }
    pausesUntil(kclock::kInfinite);
    return story;
}

struct ModelRow {
    UCHAR code;
    ULONG model;
    const char* type;  // without its terminating zero
    ULONG clock;
    bool display;
};

const ModelRow kModels[] = {
    {0x09, 3, "QUOR Lumidex", 4000, true},
    {0x11, 3, "QUOR Lumidex", 4000, true},
    {0x12, 5, "QUOR Lumidex Plus", 4000, true},
    {0x13, 5, "QUOR Lumidex Plus", 4000, true},
    {0x50, 2, "QUOR Std", 4000, true},
    {0x51, 2, "QUOR Std", 4000, true},
    {0x52, 6, "QUOR Std Plus", 4000, true},
    {0x53, 6, "QUOR Std Plus", 4000, true},
    {0x58, 10, "QUOR Std USB", 5000, true},
    {0x70, 4, "QUOR BIVO", 3000, false},
    {0x71, 4, "QUOR BIVO", 3000, false},
    {0x72, 4, "QUOR BIVO", 3000, false},
    {0x78, 7, "QUOR BIVO USB", 3000, false},
    {0x80, 8, "QUOR TOKEN USB", 3000, false},
    {0x81, 11, "QUOR TOKEN OS USB ", 3000, false},
    {0x82, 11, "QUOR TOKEN OS USB ", 3000, false},
    {0x00, 1, "QUOR", 4000, true},
    {0x10, 1, "QUOR", 4000, true},
    {0x14, 1, "QUOR", 4000, true},
    {0x54, 1, "QUOR", 4000, true},
    {0x79, 1, "QUOR", 4000, true},
    {0xFF, 1, "QUOR", 4000, true},
};

void PrintTo(const ModelRow& m, std::ostream* os) { *os << "model code " << int(m.code); }

class ReaderIdentify : public ::testing::TestWithParam<ModelRow> {};

TEST_P(ReaderIdentify, ModelTypeClockWireAndDisplay) {
    const ModelRow& m = GetParam();
    ReaderRig rig(ManualClock(ConfigForModelCode(m.code)));
    SetUpAsCreated(rig);
    const kclock::Ticks start = kclock::Now();
    EXPECT_EQ(IdentifyReader(rig.Ext()), STATUS_SUCCESS);

    EXPECT_EQ(rig.R()->ReaderModel, m.model);
    EXPECT_EQ(TextOf(rig.Ext()->VendorAttr.IfdType), Z(m.type));
    EXPECT_EQ(rig.R()->ClockFrequency, m.clock);
    EXPECT_EQ(rig.Ext()->ReaderCapabilities.CLKFrequency.Default, m.clock);
    EXPECT_EQ(rig.Ext()->ReaderCapabilities.CLKFrequency.Max, m.clock);
    EXPECT_EQ(Bytes(rig.R()->FirmwareBytes, rig.R()->FirmwareBytes + 4),
              Bytes({0x02, 0x0A, 0x1F, m.code}));

    std::vector<std::string> expected = {
        "SET_DTR", "CLR_RTS",       "pause 1500 ms", "SET_RTS",  "pause 1500 ms", "PURGE",
        "RESET",   "pause 1500 ms", "GET_STATUS",    "GET_INFO", "GET_INFO"};
    if (m.display) expected.push_back("DISPLAY");
    EXPECT_EQ(WireStory(rig), expected);
    EXPECT_EQ(kclock::Now() - start, 45'000'000);  // the three pauses and no other time

    const auto shown = rig.Reader().DisplayLog();
    if (m.display) {
        ASSERT_EQ(shown.size(), 1u);
        const char hex[] = {static_cast<char>('0' + (m.code >> 4)),
                            static_cast<char>('0' + (m.code & 0x0F)), 0};
        EXPECT_EQ(shown[0].Text(), std::string("020:1?") + hex);
    } else {
        EXPECT_TRUE(shown.empty());
        EXPECT_EQ(DisplayFirmwareVersion(rig.Ext(), FALSE), STATUS_NOT_SUPPORTED);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, ReaderIdentify, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return "Code" + std::to_string(info.param.code); });

// The display text of other commands survives the firmware display, whatever its outcome.
TEST(ReaderDisplay, DisplayTextIsRestored) {
    const std::optional<Fault> faults[] = {std::nullopt, Fault::NoReply(), Fault::ErrorStatus(1),
                                           Fault::BadChecksum()};
    for (const auto& fault : faults) {
        ReaderRig rig(ManualClock());
        UCHAR text[3] = {'A', 'B', 'C'};
        rig.R()->DisplayText = text;
        rig.R()->DisplayTextLength = 3;
        if (fault) rig.Reader().InjectFault(kFrameDisplay, *fault);
        EXPECT_EQ(IdentifyReader(rig.Ext()), STATUS_SUCCESS);
        EXPECT_EQ(CountFrames(rig, kFrameDisplay), 1u);
        EXPECT_EQ(rig.R()->DisplayText, text);
        EXPECT_EQ(rig.R()->DisplayTextLength, 3u);
    }
}

// A reply that carries no four information bytes identifies nothing: model, type and clock
// keep what an earlier identification (or device creation) left.
TEST(ReaderIdentifyFails, ModelTypeAndClockStay) {
    const struct {
        const char* name;
        std::vector<uint8_t> info;
        std::optional<Fault> fault;  // on RC_GET_INFO after a first, good identification
        NTSTATUS status;
    } rows[] = {
        {"silent", {0x02, 0x0A, 0x1F, 0x58}, std::nullopt, STATUS_TIMEOUT},
        {"silent later", {0x02, 0x0A, 0x1F, 0x58}, Fault::NoReply().Always(), STATUS_TIMEOUT},
        {"error reply", {0x02, 0x0A, 0x1F, 0x58}, Fault::ErrorStatus(0x01), STATUS_SUCCESS},
        {"three bytes",
         {0x02, 0x0A, 0x1F, 0x58},
         Fault::Answer({0x70, 0x70, 0x70}, 0),
         STATUS_SUCCESS},
        {"three bytes configured", {0x02, 0x0A, 0x80}, std::nullopt, STATUS_SUCCESS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        quor::sim::ReaderConfig cfg;
        cfg.info = row.info;
        ReaderRig rig(ManualClock(cfg));
        SetUpAsCreated(rig);
        if (row.fault) {
            ASSERT_EQ(IdentifyReader(rig.Ext()), STATUS_SUCCESS);
            rig.Reader().InjectFault(kFrameGetInfo, *row.fault);
        }
        rig.Reader().SetSilent(row.status == STATUS_TIMEOUT && !row.fault);
        EXPECT_EQ(IdentifyReader(rig.Ext()), row.status);
        EXPECT_EQ(rig.R()->ReaderModel, row.fault ? 10u : 0u);
        EXPECT_EQ(rig.R()->ClockFrequency, row.fault ? 5000u : 0u);
        EXPECT_EQ(rig.Ext()->ReaderCapabilities.CLKFrequency.Max, row.fault ? 5000u : 4000u);
        EXPECT_EQ(TextOf(rig.Ext()->VendorAttr.IfdType), Z(row.fault ? "QUOR Std USB" : "QUOR"));
    }
}

struct StartRow {
    const char* name;
    std::vector<uint8_t> info;
    bool silent;
    const char* serial;  // without its terminating zero; nullptr: left empty
};

TEST(ReaderStartUp, SerialNumberVersionAndFirstStatus) {
    const StartRow rows[] = {
        {"usb", {0x02, 0x0A, 0x1F, 0x58}, false, "2002-a-1f, V58"},
        {"all ones", {0xFF, 0xFF, 0xFF, 0xFF}, false, "2255-ff-ff, Vff"},
        {"silent", {0x02, 0x0A, 0x1F, 0x58}, true, nullptr},
    };
    for (const StartRow& row : rows) {
        SCOPED_TRACE(row.name);
        quor::sim::ReaderConfig cfg;
        cfg.info = row.info;
        ReaderRig rig(ManualClock(cfg));
        SetUpAsCreated(rig);
        rig.Reader().SetSilent(row.silent);
        rig.Reader().InsertCard(std::make_shared<quor::sim::AtrCard>());
        const NTSTATUS status = InitializeReader(rig.Ext());
        const auto& v = rig.Ext()->VendorAttr;
        const auto codes = rig.HostCodes();
        ASSERT_GE(codes.size(), 2u);
        EXPECT_EQ(Bytes(codes.end() - 2, codes.end()), Bytes({kFrameGetInfo, kFrameGetStatus}));
        if (row.serial == nullptr) {
            EXPECT_EQ(status, STATUS_TIMEOUT);
            EXPECT_EQ(v.IfdSerialNo.Length, 0);
            EXPECT_EQ(v.IfdVersion.BuildNumber, 0);
            EXPECT_EQ(rig.Ext()->ReaderCapabilities.CurrentState, ULONG{SCARD_UNKNOWN});
            continue;
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(TextOf(v.IfdSerialNo), Z(row.serial));
        EXPECT_EQ(v.IfdVersion.VersionMajor, 0);
        EXPECT_EQ(v.IfdVersion.VersionMinor, 150);
        EXPECT_EQ(v.IfdVersion.BuildNumber, 64);
        EXPECT_EQ(rig.Ext()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
    }
}

Bytes Le(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }

TEST(ReaderAttributes, ReportedAsTheRecordsHoldThem) {
    ReaderRig rig(ManualClock());
    SetUpAsCreated(rig);
    rig.Ext()->VendorAttr.UnitNo = 3;
    ASSERT_EQ(InitializeReader(rig.Ext()), STATUS_SUCCESS);
    auto bytes = [](const char* s) { return Bytes(s, s + std::strlen(s) + 1); };
    const struct {
        ULONG tag;
        Bytes value;
    } rows[] = {
        {SCARD_ATTR_VENDOR_NAME, bytes("VESKA Systems")},
        {SCARD_ATTR_VENDOR_IFD_TYPE, bytes("QUOR Std USB")},
        {SCARD_ATTR_VENDOR_IFD_VERSION, Le(150 << 16 | 64)},
        {SCARD_ATTR_VENDOR_IFD_SERIAL_NO, bytes("2002-a-1f, V58")},
        {SCARD_ATTR_DEVICE_UNIT, Le(3)},
        {SCARD_ATTR_DEFAULT_CLK, Le(5000)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.tag);
        auto io = Send(rig, IOCTL_SMARTCARD_GET_ATTRIBUTE, Le(row.tag), 32);
        ASSERT_TRUE(io->Completed());
        EXPECT_EQ(io->iosb.Status, STATUS_SUCCESS);
        ASSERT_EQ(io->iosb.Information, row.value.size());
        EXPECT_EQ(Bytes(io->out.begin(), io->out.begin() + row.value.size()), row.value);
    }
}

}  // namespace
