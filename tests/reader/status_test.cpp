// Card status evaluation: the state from the status byte and the ATR, the reports on a change,
// and the protocol the driver fixes for a card that leaves no choice.
#include <optional>

#include "link/command.h"
#include "tests/reader/reader_bench.h"

using namespace quor::test;

namespace {

const Bytes kT0Atr = {0x3B, 0x04, 0x41, 0x42, 0x43, 0x44};
const Bytes kMemoryAtr = {0xA2, 0x13, 0x10, 0x91};

void SetAtr(PSMARTCARD_EXTENSION ext, const Bytes& atr) {
    if (!atr.empty()) std::memcpy(ext->CardCapabilities.ATR.Buffer, atr.data(), atr.size());
    ext->CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
}

// TD1, TD2, ... announcing the given protocols, as the ATR analysis leaves them.
void SetTds(PREADER_EXTENSION r, const std::vector<UCHAR>& protocols) {
    ATR_INFO& a = r->AtrInfo;
    USHORT* present[] = {&a.TD1Present, &a.TD2Present, &a.TD3Present, &a.TD4Present};
    UCHAR* protocol[] = {&a.TD1Protocol, &a.TD2Protocol, &a.TD3Protocol, &a.TD4Protocol};
    for (size_t i = 0; i < protocols.size(); ++i) {
        *present[i] = 1;
        *protocol[i] = protocols[i];
        a.Protocol = protocols[i];
    }
}

std::vector<Bytes> ProtocolFrames(ReaderRig& rig) {
    std::vector<Bytes> out;
    for (const auto& f : rig.Reader().Frames()) {
        if (f.code == kFrameSetProtocol) out.emplace_back(f.data.begin(), f.data.end());
    }
    return out;
}

bool AtrInfoZero(const ATR_INFO& a) {
    const ATR_INFO zero{};
    return std::memcmp(&a, &zero, sizeof(a)) == 0;
}

struct StateRow {
    const char* name;
    UCHAR status;
    Bytes atr;
    ULONG state;
    ULONG cardType;
    bool atrKept;
    bool atrInfoZeroed;
};

TEST(ReaderStatusState, FromStatusByteAndAtr) {
    const StateRow rows[] = {
        {"no card", 0x00, kT0Atr, SCARD_ABSENT, CARD_TYPE_NONE, false, true},
        {"powered but no card", 0x20, kT0Atr, SCARD_ABSENT, CARD_TYPE_NONE, false, true},
        {"card not powered", 0x40, kT0Atr, SCARD_SWALLOWED, CARD_TYPE_NONE, false, false},
        {"powered without ATR", 0x60, {}, SCARD_POWERED, CARD_TYPE_NONE, false, false},
        {"processor card", 0x60, kT0Atr, SCARD_SPECIFIC, CARD_TYPE_PROCESSOR, true, false},
        {"memory card", 0x60, kMemoryAtr, SCARD_SPECIFIC, CARD_TYPE_MEMORY, true, false},
    };
    for (const StateRow& row : rows) {
        SCOPED_TRACE(row.name);
        ReaderRig rig(ManualClock());
        PREADER_EXTENSION r = rig.R();
        SetAtr(rig.Ext(), row.atr);
        r->AtrInfo.Fi = 9;
        r->CardType = 77;
        r->PreviousCardState = SCARD_SWALLOWED;
        r->ReaderStatus = row.status;
        EvaluateCardStatus(rig.Ext());
        EXPECT_EQ(rig.Ext()->ReaderCapabilities.CurrentState, row.state);
        EXPECT_EQ(r->CardType, row.cardType);
        EXPECT_EQ(rig.Ext()->CardCapabilities.ATR.Length, row.atrKept ? row.atr.size() : 0u);
        EXPECT_EQ(AtrInfoZero(r->AtrInfo), row.atrInfoZeroed);
    }
}

struct ChangeRow {
    const char* name;
    ULONG previous;
    UCHAR status;
    ULONG state;
    bool tracked;  // the pending card-tracking request is completed
    bool arrival;  // serial time-outs back to their card-arrival values
    bool updated;  // the library's card capabilities are brought up to date
};

void PrintTo(const ChangeRow& r, std::ostream* os) { *os << r.name; }

class ReaderStatusChange : public ::testing::TestWithParam<ChangeRow> {};

TEST_P(ReaderStatusChange, ReportsOnlyWhatChanged) {
    const ChangeRow& row = GetParam();
    ReaderRig rig(ManualClock());
    SetUpAsCreated(rig);
    PSMARTCARD_EXTENSION ext = rig.Ext();
    PREADER_EXTENSION r = rig.R();
    ext->ReaderCapabilities.CurrentState = row.previous;
    auto io = Send(
        rig, row.previous > SCARD_ABSENT ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(io->returned, STATUS_PENDING);
    r->PreviousCardState = row.previous;
    r->ReaderStatus = row.status;
    r->SerialConfigData.Timeouts = SERIAL_TIMEOUTS{7, 7, 7, 7, 7};
    ext->LastError = 0x55;
    ext->CardCapabilities.Fi = 0;

    EvaluateCardStatus(ext);

    EXPECT_EQ(ext->ReaderCapabilities.CurrentState, row.state);
    EXPECT_EQ(r->PreviousCardState, row.state);
    EXPECT_EQ(io->Completed(), row.tracked);
    if (row.tracked) {
        EXPECT_EQ(io->iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(ext->OsData->NotificationIrp, nullptr);
    }
    const SERIAL_TIMEOUTS& t = r->SerialConfigData.Timeouts;
    const SERIAL_TIMEOUTS expected =
        row.arrival ? SERIAL_TIMEOUTS{1000, 1000, 5000, 7, 7} : SERIAL_TIMEOUTS{7, 7, 7, 7, 7};
    EXPECT_EQ(std::memcmp(&t, &expected, sizeof(t)), 0);
    size_t sent = 0;
    for (const auto& req : rig.Port().Requests()) sent += req.ioctl == IOCTL_SERIAL_SET_TIMEOUTS;
    EXPECT_EQ(sent, row.arrival ? 1u : 0u);
    if (row.arrival) {
        EXPECT_EQ(rig.Port().Timeouts().ReadTotalTimeoutConstant, 5000u);
    }
    EXPECT_EQ(ext->CardCapabilities.Fi, row.updated ? 372u : 0u);
    EXPECT_EQ(ext->LastError, row.updated ? 0u : 0x55u);

    CompleteCardTracking(ext);
    EXPECT_TRUE(io->WaitCompleted());
    EXPECT_EQ(io->completions, 1);
}

const ChangeRow kChangeRows[] = {
    {"AbsentToSwallowed", 1, 0x40, 3, true, true, true},
    {"UnknownToSwallowed", 0, 0x40, 3, true, true, true},
    {"UnknownToPowered", 0, 0x60, 4, true, true, true},
    {"SwallowedToAbsent", 3, 0x00, 1, true, false, true},
    {"SpecificToAbsent", 6, 0x20, 1, true, false, true},
    {"SwallowedToPowered", 3, 0x60, 4, false, false, true},
    {"PoweredToSwallowed", 4, 0x40, 3, false, false, true},
    {"UnknownToAbsent", 0, 0x00, 1, false, false, true},
    {"SameSwallowed", 3, 0x40, 3, false, false, false},
    {"SameAbsent", 1, 0x00, 1, false, false, false},
};
INSTANTIATE_TEST_SUITE_P(Changes, ReaderStatusChange, ::testing::ValuesIn(kChangeRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct TdRow {
    const char* name;
    std::vector<UCHAR> tds;
    USHORT setByDriver;
    ULONG selectedBefore;
    ULONG state;
    ULONG selected;
    std::optional<UCHAR> sent;  // the protocol byte of the one RC_SET_PROTOCOL, if any
};

void PrintTo(const TdRow& r, std::ostream* os) { *os << r.name; }

class ReaderStatusProtocol : public ::testing::TestWithParam<TdRow> {};

TEST_P(ReaderStatusProtocol, FixedOnlyWhenTheCardLeavesNoChoice) {
    const TdRow& row = GetParam();
    ReaderRig rig(ManualClock());
    PREADER_EXTENSION r = rig.R();
    SetAtr(rig.Ext(), kT0Atr);
    SetTds(r, row.tds);
    r->ProtocolSetByDriver = row.setByDriver;
    r->PreviousCardState = SCARD_POWERED;
    rig.Ext()->CardCapabilities.Protocol.Selected = row.selectedBefore;
    r->ReaderStatus = 0x60;
    EvaluateCardStatus(rig.Ext());
    EXPECT_EQ(rig.Ext()->ReaderCapabilities.CurrentState, row.state);
    EXPECT_EQ(rig.Ext()->CardCapabilities.Protocol.Selected, row.selected);
    std::vector<Bytes> expected;
    if (row.sent) expected.push_back({*row.sent});
    EXPECT_EQ(ProtocolFrames(rig), expected);
    EXPECT_EQ(r->ProtocolSetByDriver, row.sent ? 1 : row.setByDriver);
}

constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1;
constexpr ULONG kNeg = SCARD_NEGOTIABLE, kSpec = SCARD_SPECIFIC;

const TdRow kTdRows[] = {
    {"NoTd", {}, 0, T1, kSpec, T0, 0},
    {"T0ThenT1", {0, 1}, 0, T1, kNeg, T1, {}},
    {"T1ThenT0", {1, 0}, 0, T0, kNeg, T0, {}},
    {"T0ThenT1SetByDriver", {0, 1}, 1, T1, kSpec, T1, {}},
    {"T1ThenT1", {1, 1}, 0, T0, kSpec, T1, 1},
    {"T0ThenT0", {0, 0}, 0, T1, kSpec, T0, 0},
    {"OnlyT1", {1}, 0, T0, kSpec, T0, {}},
    {"OnlyT0", {0}, 0, T1, kSpec, T1, {}},
    {"T0ThenT15", {0, 15}, 0, T1, kSpec, T0, 0},
    {"T1ThenT15", {1, 15}, 0, T0, kSpec, T1, 1},
    {"T1ThenT14", {1, 14}, 0, T0, kSpec, T1, 1},
    {"T0T1T15", {0, 1, 15}, 0, T0, kNeg, T0, {}},
};
INSTANTIATE_TEST_SUITE_P(Tds, ReaderStatusProtocol, ::testing::ValuesIn(kTdRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderStatusFixed, T0OnlyCardIsFixedOnce) {
    ReaderRig rig(ManualClock());
    SetAtr(rig.Ext(), kT0Atr);
    for (int i = 0; i < 2; ++i) {
        rig.R()->ReaderStatus = 0x60;  // the protocol command's own reply replaced it
        EvaluateCardStatus(rig.Ext());
        EXPECT_EQ(rig.Ext()->ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
        EXPECT_EQ(rig.Ext()->CardCapabilities.Protocol.Selected, T0);
    }
    EXPECT_EQ(ProtocolFrames(rig), std::vector<Bytes>{{0}});
}

}  // namespace
