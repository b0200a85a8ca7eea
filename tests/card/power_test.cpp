// Card power-up and power-down through the library's dispatcher, the answers to reset that are
// refused, the reader's waiting time, and the driver's own reading of the ATR.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <tuple>

#include "tests/card/card_bench.h"

namespace {

using quor::sim::Fault;
using quor::test::Bytes;
using quor::test::CardBench;
using quor::test::Hex;
using quor::test::kModel3000;
using quor::test::kModel4000;
using quor::test::kModel5000;
using CardMaker = std::function<std::shared_ptr<quor::sim::Card>()>;

template <typename C, typename... A>
CardMaker Make(A... args) {
    return [=] { return std::make_shared<C>(args...); };
}

struct PowerUpCase {
    const char* card;
    CardMaker make;
    UCHAR model;
    const char* waitTime;  // data of the RC_SET_WAIT_TIME frame
    ULONG state;
    ULONG selected;
    const char* trace;
};

TEST(CardPower, PowerUpByCardAndClock) {
    const CardMaker t0 = Make<quor::sim::T0Card>();
    const CardMaker t1 = Make<quor::sim::T1Card>();
    const CardMaker dual = Make<quor::sim::DualCard>();
    const CardMaker memory = Make<quor::sim::MemoryCard>();
    // A card that may still negotiate gets the T=0 rule with its WI.
    const PowerUpCase cases[] = {
        {"T0", t0, kModel3000, "00 F0", SCARD_SPECIFIC, 1, "0B purge 02 05 04"},
        {"T0", t0, kModel4000, "00 B3", SCARD_SPECIFIC, 1, "0B purge 02 05 04"},
        {"T0", t0, kModel5000, "00 8F", SCARD_SPECIFIC, 1, "0B purge 02 05 04"},
        {"T1", t1, kModel3000, "01 80", SCARD_SPECIFIC, 2, "0B purge 02 05 04"},
        {"T1", t1, kModel4000, "01 1E", SCARD_SPECIFIC, 2, "0B purge 02 05 04"},
        {"T1", t1, kModel5000, "00 E4", SCARD_SPECIFIC, 2, "0B purge 02 05 04"},
        {"dual", dual, kModel3000, "00 F0", SCARD_NEGOTIABLE, 0, "0B purge 02 04"},
        {"dual", dual, kModel4000, "00 B3", SCARD_NEGOTIABLE, 0, "0B purge 02 04"},
        {"dual", dual, kModel5000, "00 8F", SCARD_NEGOTIABLE, 0, "0B purge 02 04"},
        {"memory", memory, kModel3000, "00 F0", SCARD_SPECIFIC, 1, "0B purge 02 05 04"},
        {"memory", memory, kModel4000, "00 B3", SCARD_SPECIFIC, 1, "0B purge 02 05 04"},
        {"memory", memory, kModel5000, "00 8F", SCARD_SPECIFIC, 1, "0B purge 02 05 04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.card) + " model " + std::to_string(c.model));
        auto card = c.make();
        CardBench b(card, c.model);
        const Bytes atr = card->Atr();
        const auto r = b.Power(SCARD_COLD_RESET);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.Answer(), atr);
        EXPECT_EQ(b.Atr(), atr);
        EXPECT_EQ(b.State(), c.state);
        EXPECT_EQ(b.Selected(), c.selected);
        EXPECT_EQ(b.Trace(), c.trace);
        EXPECT_EQ(b.FrameData(4), std::vector<Bytes>{Hex(c.waitTime)});
        EXPECT_TRUE(b.Reader().CardPowered());
        EXPECT_EQ(b.R()->CardType, atr.size() == 4 ? CARD_TYPE_MEMORY : CARD_TYPE_PROCESSOR);
    }
}

TEST(CardPower, WarmResetDoesWhatAColdResetDoes) {
    auto card = std::make_shared<quor::sim::T1Card>();
    CardBench b(card);
    const auto wire = [&b] { return std::make_tuple(b.Trace(), b.FrameData(4), b.FrameData(5)); };
    const auto cold = b.Power(SCARD_COLD_RESET);
    const auto coldWire = wire();
    b.Rig().ClearWire();
    const auto warm = b.Power(SCARD_WARM_RESET);
    EXPECT_EQ(warm.status, cold.status);
    EXPECT_EQ(warm.Answer(), cold.Answer());
    EXPECT_EQ(wire(), coldWire);
    EXPECT_EQ(b.State(), SCARD_SPECIFIC);
    EXPECT_EQ(card->PowerOnCount(), 2);
}

TEST(CardPower, NoRoomForTheAtrStillPowersUp) {
    CardBench b(std::make_shared<quor::sim::T0Card>());
    const auto r = b.Power(SCARD_COLD_RESET, 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(b.Atr(), quor::sim::T0Card::AtrFor({}));
    EXPECT_EQ(b.State(), SCARD_SPECIFIC);
    EXPECT_EQ(b.FrameData(4), std::vector<Bytes>{Hex("00 B3")});
}

TEST(CardPower, PowerDownLeavesTheCardSwallowed) {
    CardBench b(std::make_shared<quor::sim::T0Card>());
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    b.Rig().ClearWire();
    const auto r = b.Power(SCARD_POWER_DOWN);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(b.Trace(), "03");
    EXPECT_EQ(b.State(), SCARD_SWALLOWED);
    EXPECT_TRUE(b.Atr().empty());
    EXPECT_FALSE(b.Reader().CardPowered());
}

struct AnswerCase {
    const char* name;
    CardMaker make;
    std::function<void(CardBench&)> arrange;
    NTSTATUS status;
    ULONG state;
    const char* trace;
};

TEST(CardPower, AnswersToResetThatAreRefused) {
    const auto t0 = Make<quor::sim::T0Card>();
    const auto none = [](CardBench&) {};
    const auto emptyAnswers = [](int n) {
        return [n](CardBench& b) { b.Reader().InjectFault(2, Fault::Answer({}, 0x60).Times(n)); };
    };
    Bytes tooLong(70, 0x00);
    tooLong[0] = 0x3B;
    const AnswerCase cases[] = {
        {"TS 3C", Make<quor::sim::AtrCard>(Hex("3C 02 14 50")), none, STATUS_UNRECOGNIZED_MEDIA,
         SCARD_SWALLOWED, "0B purge 02"},
        {"TS 3F", Make<quor::sim::AtrCard>(Hex("3F 02 14 50")), none, STATUS_SUCCESS,
         SCARD_SPECIFIC, "0B purge 02 05 04"},
        {"reader status E0", t0,
         [](CardBench& b) { b.Reader().InjectFault(2, Fault::StatusByte(0xE0)); },
         STATUS_UNRECOGNIZED_MEDIA, SCARD_SWALLOWED, "0B purge 02"},
        {"70 bytes of answer", t0,
         [tooLong](CardBench& b) { b.Reader().InjectFault(2, Fault::Answer(tooLong, 0x60)); },
         STATUS_UNRECOGNIZED_MEDIA, SCARD_SWALLOWED, "0B purge 02"},
        {"three empty answers", t0, emptyAnswers(3), STATUS_SUCCESS, SCARD_SPECIFIC,
         "0B purge 02 purge 02 purge 02 purge 02 05 04"},
        {"four empty answers", t0, emptyAnswers(4), STATUS_UNRECOGNIZED_MEDIA, SCARD_ABSENT,
         "0B purge 02 purge 02 purge 02 purge 02"},
        {"set wait time unanswered", t0,
         [](CardBench& b) { b.Reader().InjectFault(4, Fault::NoReply()); },
         STATUS_DEVICE_DATA_ERROR, SCARD_SPECIFIC, "0B purge 02 05 04"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench b(c.make());
        auto& historical = b.Ext()->CardCapabilities.HistoricalChars;
        std::memset(historical.Buffer, 0xA5, sizeof(historical.Buffer));
        c.arrange(b);
        const auto r = b.Power(SCARD_COLD_RESET);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(b.State(), c.state);
        EXPECT_EQ(b.Trace(), c.trace);
        if (c.status == STATUS_UNRECOGNIZED_MEDIA) {
            EXPECT_TRUE(b.Atr().empty());
            EXPECT_EQ(r.information, 0u);
            EXPECT_EQ(r.out, Bytes(64, 0xEE));
        }
        if (c.state == SCARD_SWALLOWED) {
            // Refused before any evaluation: nothing of the answer lands behind the ATR buffer.
            EXPECT_EQ(Bytes(historical.Buffer, historical.Buffer + sizeof(historical.Buffer)),
                      Bytes(sizeof(historical.Buffer), 0xA5));
        }
    }
}

TEST(CardPower, WaitTimeSaturatesInsteadOfWrapping) {
    // At 10 kHz the T=0 value is 72138 (0x119CA) units: the low 16 bits would be a short wait.
    CardBench b(std::make_shared<quor::sim::T0Card>());
    b.R()->ClockFrequency = 10;
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(b.FrameData(4), std::vector<Bytes>{Hex("FF FF")});
}

TEST(CardPower, WorkWaitingTimeByClock) {
    CardBench b(nullptr);
    const std::pair<ULONG, ULONG> cases[] = {{3000, 240}, {4000, 179}, {5000, 143}, {0, 179}};
    for (const auto& [clock, expected] : cases) {
        b.R()->ClockFrequency = clock;
        EXPECT_EQ(WorkWaitingTime(b.Ext()), expected) << clock << " kHz";
    }
}

struct ParseCase {
    const char* atr;
    // Fi Di N WI IFSC CWI BWI EDC HistoricalCount Protocol TD1Present TD2Present TD3Present
    std::array<ULONG, 13> fields;
};

TEST(CardPower, ParseAtrReadsTheInterfaceBytes) {
    // clang-format off
    const ParseCase cases[] = {
        {"3B 02 14 50",                {1, 1, 0, 10,  32, 13, 4, 0, 2,  0, 0, 0, 0}},
        {"3B 70 96 25 05",             {9, 6, 5, 10,  32, 13, 4, 0, 0,  0, 0, 0, 0}},
        {"3B 80 81 31 40 75",          {1, 1, 0, 10,  64,  5, 7, 0, 0,  1, 1, 1, 0}},
        {"3B 80 81 71 FE 45 01",       {1, 1, 0, 10, 254,  5, 4, 1, 0,  1, 1, 1, 0}},
        {"3B 80 40 20",                {1, 1, 0, 32,  32, 13, 4, 0, 0,  0, 1, 0, 0}},
        {"3B 80 41 20",                {1, 1, 0, 10,  32, 13, 4, 0, 0,  1, 1, 0, 0}},
        {"3B 80 80 81 1F 40",          {1, 1, 0, 10,  32, 13, 4, 0, 0, 15, 1, 1, 1}},
        {"3B 81 C0 0E 7E 9A 11 22 33", {1, 1, 0, 14,  32, 0x22, 4, 0, 1, 14, 1, 1, 0}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.atr);
        const Bytes atr = Hex(c.atr);
        ATR_INFO a;
        std::memset(&a, 0xCC, sizeof(a));
        ASSERT_TRUE(ParseAtr(atr.data(), static_cast<ULONG>(atr.size()), &a));
        const std::array<ULONG, 13> got = {a.Fi,        a.Di,         a.N,
                                           a.WI,        a.IFSC,       a.CWI,
                                           a.BWI,       a.EDC,        a.HistoricalCount,
                                           a.Protocol,  a.TD1Present, a.TD2Present,
                                           a.TD3Present};
        EXPECT_EQ(got, c.fields);
    }
}

// A card swapped faster than the polls is analysed afresh at its power-up: nothing of the old
// card's T=1 parameters survives, and it answers APDUs.
TEST(CardPower, ASwappedCardGetsItsOwnCapabilities) {
    quor::sim::T1Card::Options crc32;
    crc32.t1.ifsc = 32;
    crc32.t1.edc = quor::sim::t1::Edc::kCrc;
    CardBench b(std::make_shared<quor::sim::T1Card>(crc32));
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(b.Ext()->CardCapabilities.T1.EDC & 1, 1);
    ASSERT_EQ(b.Exchange(Hex("00 A4 00 0C 02 3F 00")), Hex("90 00"));

    b.Reader().InsertCard(std::make_shared<quor::sim::T1Card>());  // LRC, IFSC 254
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(b.State(), SCARD_SPECIFIC);
    EXPECT_EQ(b.Ext()->CardCapabilities.T1.EDC & 1, 0);
    EXPECT_EQ(b.Ext()->CardCapabilities.T1.IFSC, 254);
    EXPECT_EQ(b.R()->AtrInfo.IFSC, 254u);
    EXPECT_EQ(b.Exchange(Hex("00 A4 00 0C 02 3F 00")), Hex("90 00"));
}

// An ATR cut short is refused, and nothing is taken from beyond its end (behind it lie the
// previous card's bytes).
TEST(CardPower, ParseAtrStopsAtTheEndOfACutAtr) {
    const struct {
        const char* atr;
        USHORT td1, td2;
        ULONG ifsc, bwi;
    } rows[] = {
        {"3B 86", 0, 0, 32, 4},
        {"3B 80 81", 1, 0, 32, 4},
        {"3B 80 81 31 40", 1, 1, 64, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.atr);
        Bytes atr = Hex(row.atr);
        const auto length = static_cast<ULONG>(atr.size());
        atr.resize(MAXIMUM_ATR_LENGTH, 0xFF);  // an earlier ATR's bytes announce everything
        ATR_INFO a;
        EXPECT_FALSE(ParseAtr(atr.data(), length, &a));
        EXPECT_EQ(a.TD1Present, row.td1);
        EXPECT_EQ(a.TD2Present, row.td2);
        EXPECT_EQ(a.TD3Present, 0);
        EXPECT_EQ(a.IFSC, row.ifsc);
        EXPECT_EQ(a.BWI, row.bwi);
    }
}

}  // namespace
