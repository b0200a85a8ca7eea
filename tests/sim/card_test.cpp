// Dual-protocol negotiation, card faults, power cycles, and the cards behind the emulated reader.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "sim/reader.h"
#include "tests/sim/card_helpers.h"
#include "tests/sim/t1_host.h"

namespace quor::sim {
namespace {

using testing::Bytes;
using testing::Command;
using testing::ExchangeViaReader;
using testing::Hex;
using testing::ParseReply;
using testing::T1Host;
using testing::ToHex;

TEST(sim_DualCard, Atr) {
    const Bytes atr = DualCard().Atr();
    EXPECT_EQ(Bytes(atr.begin(), atr.end() - 1), Hex("3B 86 80 31 FE 45 45 4D 55 2D 44 4C"));
    EXPECT_EQ(XorOf(std::span(atr).subspan(1)), 0);
}

TEST(sim_DualCard, PpsAnswers) {
    struct Case {
        const char* name;
        const char* request;
        std::optional<const char*> answer;
        std::optional<std::uint8_t> negotiated;
        std::optional<std::uint8_t> ta1;
    };
    const Case cases[] = {
        {"T=1, default rates", "FF 11 11 FF", "FF 11 11 FF", 1, std::nullopt},
        {"T=0, default rates", "FF 10 11 FE", "FF 10 11 FE", 0, std::nullopt},
        {"T=1 without PPS1", "FF 01 FE", "FF 01 FE", 1, std::nullopt},
        {"rates not offered", "FF 11 13 FD", "FF 01 FE", 1, std::nullopt},
        {"rates of TA1", "FF 11 13 FD", "FF 11 13 FD", 1, 0x13},
        {"PPS2 and PPS3 left out", "FF 71 11 22 33 8E", "FF 11 11 FF", 1, std::nullopt},
        {"T=2", "FF 12 11 FC", std::nullopt, std::nullopt, std::nullopt},
        {"bad PCK", "FF 11 11 00", std::nullopt, std::nullopt, std::nullopt},
        {"cut short", "FF 11 11", std::nullopt, std::nullopt, std::nullopt},
        {"no PPSS", "FE 11 11 FE", std::nullopt, std::nullopt, std::nullopt},
        {"PPS0 bit 8", "FF 91 11 7F", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        DualCard::Options options;
        options.ta1 = c.ta1;
        DualCard card(options);
        card.PowerOn();
        const std::optional<Bytes> answer = card.Exchange(kProtocolPps, Hex(c.request));
        const std::optional<Bytes> expected =
            c.answer ? std::optional<Bytes>(Hex(*c.answer)) : std::nullopt;
        EXPECT_EQ(answer, expected) << c.name << ": " << ToHex(answer);
        EXPECT_EQ(card.NegotiatedProtocol(), c.negotiated) << c.name;
    }
}

TEST(sim_DualCard, PpsOnlyOncePerSessionAndBeforeData) {
    DualCard card;
    card.PowerOn();
    ASSERT_EQ(card.Exchange(kProtocolPps, Hex("FF 11 11 FF")), Hex("FF 11 11 FF"));
    EXPECT_EQ(card.Exchange(kProtocolPps, Hex("FF 11 11 FF")), std::nullopt);
    card.PowerOn();
    EXPECT_EQ(card.NegotiatedProtocol(), std::nullopt);
    ASSERT_EQ(card.Exchange(kProtocolT0, Hex("00 20 00 01 00")), Hex("63 C3"));
    EXPECT_EQ(card.Exchange(kProtocolPps, Hex("FF 11 11 FF")), std::nullopt);
}

TEST(sim_DualCard, SpeaksTheProtocolOfTheExchange) {
    struct Case {
        bool strict;
        std::optional<const char*> pps;
        bool t0Answers, t1Answers;
    };
    const Case cases[] = {
        {false, std::nullopt, true, true},  {false, "FF 11 11 FF", true, true},
        {true, std::nullopt, true, false},  {true, "FF 11 11 FF", false, true},
        {true, "FF 10 11 FE", true, false},
    };
    const Bytes t1Block = T1Host(nullptr).Block(T1Host::I(0, false), Hex("00 20 00 01"));
    for (const Case& c : cases) {
        DualCard::Options options;
        options.strict = c.strict;
        DualCard card(options);
        card.PowerOn();
        if (c.pps) {
            ASSERT_TRUE(card.Exchange(kProtocolPps, Hex(*c.pps)));
        }
        const std::optional<Bytes> t1 = card.Exchange(kProtocolT1, t1Block);
        const std::optional<Bytes> t0 = card.Exchange(kProtocolT0, Hex("00 20 00 01 00"));
        EXPECT_EQ(t0.has_value(), c.t0Answers) << c.strict << ToHex(t0);
        EXPECT_EQ(t1.has_value(), c.t1Answers) << c.strict << ToHex(t1);
        if (t0) {
            EXPECT_EQ(*t0, Hex("63 C3"));
        }
        if (t1) {
            EXPECT_EQ(*t1, T1Host(nullptr).Block(T1Host::I(0, false), Hex("63 C3")));
        }
    }
}

// What the driver does with a negotiable card: reset, PPS in mode 2, then T=1.
TEST(sim_DualCard, NegotiatesThroughTheReader) {
    Reader reader;
    auto card = std::make_shared<DualCard>();
    reader.InsertCard(card);
    const std::optional<testing::ParsedReply> on = ParseReply(Command(reader, kCodeCardOn));
    ASSERT_TRUE(on);
    EXPECT_EQ(on->data, card->Atr());
    Command(reader, kCodeSetProtocol, {kProtocolPps});
    EXPECT_EQ(ExchangeViaReader(reader, Hex("FF 11 11 FF")), Hex("FF 11 11 FF"));
    Command(reader, kCodeSetProtocol, {kProtocolT1});
    T1Host host([&](const Bytes& b) { return ExchangeViaReader(reader, b); });
    EXPECT_EQ(host.Transmit(Hex("00 20 00 01 04 31 32 33 34")), Hex("90 00"));
    EXPECT_EQ(card->NegotiatedProtocol(), kProtocolT1);
}

TEST(sim_CardLog, OffUntilSwitchedOnAndKeepsTheNewest) {
    T0Card card;
    card.PowerOn();
    card.Exchange(kProtocolT0, Hex("00 20 00 01 00"));
    EXPECT_TRUE(card.Exchanges().empty());
    card.SetRecording(true, 1);
    card.Exchange(kProtocolT0, Hex("00 20 00 01 00"));
    card.Exchange(kProtocolT0, Hex("00 20 00 02 00"));
    ASSERT_EQ(card.Exchanges().size(), 1u);
    EXPECT_EQ(card.Exchanges()[0].in, Hex("00 20 00 02 00"));
}

// Each card fault on a T=0 VERIFY with a wrong PIN: what the reader gets, and whether the card
// carried the command out (one try fewer).
TEST(sim_CardFaults, EachKindOnce) {
    struct Case {
        const char* name;
        void (EmulatedCard::*arm)(int);
        bool answered;
        bool carriedOut;
    };
    const Case cases[] = {
        {"command lost", &EmulatedCard::DropCommands, false, false},
        {"answer lost", &EmulatedCard::DropAnswers, false, true},
        {"garbage", &EmulatedCard::AnswerGarbage, true, true},
        {"EDC on T=0", &EmulatedCard::CorruptEdc, true, true},
    };
    for (const Case& c : cases) {
        T0Card card;
        card.SetRecording(true);
        card.PowerOn();
        (card.*c.arm)(1);
        const std::optional<Bytes> a = card.Exchange(kProtocolT0, Hex("00 20 00 01 01 00"));
        EXPECT_EQ(a.has_value(), c.answered) << c.name;
        EXPECT_EQ(card.TriesLeft(0x01), c.carriedOut ? 2 : 3) << c.name;
        if (c.arm == &EmulatedCard::AnswerGarbage) {
            ASSERT_TRUE(a);
            EXPECT_GE(a->size(), 1u);
            EXPECT_LE(a->size(), 12u);
            EXPECT_NE(XorOf(*a), 0) << ToHex(a);
        } else if (a) {
            EXPECT_EQ(*a, Hex("63 C2")) << c.name;  // CorruptEdc waits for a T=1 block
        }
        // One exchange only: the next one is answered normally.
        EXPECT_EQ(card.Exchange(kProtocolT0, Hex("00 20 00 01 00")),
                  Hex(c.carriedOut ? "63 C2" : "63 C3"))
            << c.name;
        ASSERT_EQ(card.Exchanges().size(), 2u);
        EXPECT_EQ(card.Exchanges()[0].out, a);
    }
}

TEST(sim_CardFaults, CountsAndClear) {
    MemoryCard card;
    card.PowerOn();
    const Bytes read = Hex("00 B0 00 00 01");
    card.AnswerWith(Hex("6F 00"), 2);
    EXPECT_EQ(card.Exchange(kProtocolT0, read), Hex("6F 00"));
    EXPECT_EQ(card.Exchange(kProtocolT0, read), Hex("6F 00"));
    EXPECT_EQ(card.Exchange(kProtocolT0, read), Hex("FF 90 00"));
    card.DropCommands(kAlways);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(card.Exchange(kProtocolT0, read), std::nullopt);
    card.ClearFaults();
    EXPECT_EQ(card.Exchange(kProtocolT0, read), Hex("FF 90 00"));
    card.DropAnswers(1);
    card.DropAnswers(0);  // disarmed
    EXPECT_EQ(card.Exchange(kProtocolT0, read), Hex("FF 90 00"));
}

TEST(sim_CardFaults, CorruptEdcSpoilsOnlyTheLineCopy) {
    T1Card card;
    card.PowerOn();
    card.CorruptEdc(1);
    const T1Host b(nullptr);
    const Bytes good = b.Block(T1Host::I(0, false), Hex("63 C3"));
    Bytes spoiled = good;
    spoiled.back() ^= 0xFF;
    EXPECT_EQ(card.Exchange(kProtocolT1, b.Block(T1Host::I(0, false), Hex("00 20 00 01"))),
              spoiled);
    EXPECT_EQ(card.Exchange(kProtocolT1, b.Block(T1Host::R(0, 1))), good);
}

// The host engine recovers from each card fault, and the command is carried out exactly once.
TEST(sim_CardFaults, T1RecoveryCarriesTheCommandOutOnce) {
    struct Case {
        const char* name;
        void (EmulatedCard::*arm)(int);
        int count;
    };
    const Case cases[] = {
        {"command lost", &EmulatedCard::DropCommands, 1},
        {"answer lost", &EmulatedCard::DropAnswers, 1},
        {"answers lost twice", &EmulatedCard::DropAnswers, 2},
        {"EDC corrupted", &EmulatedCard::CorruptEdc, 1},
        {"garbage", &EmulatedCard::AnswerGarbage, 1},
    };
    for (bool crc : {false, true}) {
        for (const Case& c : cases) {
            T1Card::Options options;
            options.t1.edc = crc ? t1::Edc::kCrc : t1::Edc::kLrc;
            T1Card card(options);
            card.PowerOn();
            T1Host host([&](const Bytes& blk) { return card.Exchange(kProtocolT1, blk); }, crc);
            ASSERT_EQ(host.Transmit(Hex("00 20 00 01")), Hex("63 C3")) << c.name;
            (card.*c.arm)(c.count);
            EXPECT_EQ(host.Transmit(Hex("00 20 00 01 01 00")), Hex("63 C2")) << c.name << crc;
            EXPECT_EQ(card.TriesLeft(0x01), 2) << c.name << crc;
            EXPECT_EQ(host.Transmit(Hex("00 20 00 01")), Hex("63 C2")) << c.name << crc;
        }
    }
}

TEST(sim_CardFaults, LostBlockThroughTheReader) {
    Reader reader;
    auto card = std::make_shared<T1Card>();
    reader.InsertCard(card);
    Command(reader, kCodeCardOn);
    Command(reader, kCodeSetProtocol, {kProtocolT1});
    card->DropCommands(1);
    const Bytes block = T1Host(nullptr).Block(T1Host::I(0, false), Hex("00 20 00 01"));
    const std::optional<testing::ParsedReply> r = ParseReply(Command(reader, kCodeExchange, block));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, kStatusFailed | kStatusCardError | kCardErrorNoAnswer);
    EXPECT_EQ(r->data, Bytes{});
    EXPECT_EQ(ExchangeViaReader(reader, block),
              T1Host(nullptr).Block(T1Host::I(0, false), Hex("63 C3")));
}

TEST(sim_CardPower, NewSessionKeepsFilesAndCounters) {
    T1Card card;
    card.PowerOn();
    T1Host host([&](const Bytes& blk) { return card.Exchange(kProtocolT1, blk); });
    ASSERT_TRUE(host.SetIfsd(0x80));
    ASSERT_EQ(host.Transmit(Hex("00 20 00 01 04 31 32 33 34")), Hex("90 00"));
    ASSERT_EQ(host.Transmit(Hex("00 A4 08 0C 04 50 00 50 01")), Hex("90 00"));
    ASSERT_EQ(host.Transmit(Hex("00 D6 00 00 01 EE")), Hex("90 00"));
    ASSERT_EQ(host.Transmit(Hex("00 20 00 81 01 00")), Hex("63 C4"));
    EXPECT_EQ(card.T1SendSequence(), 0);
    EXPECT_EQ(card.T1ReceiveSequence(), 0);
    ASSERT_EQ(host.Transmit(Hex("00 20 00 01")), Hex("90 00"));
    EXPECT_EQ(card.Ifsd(), 0x80u);
    EXPECT_EQ(card.T1SendSequence(), 1);

    card.PowerOff();
    EXPECT_FALSE(card.Powered());
    EXPECT_EQ(card.Exchange(kProtocolT1, host.Block(T1Host::I(1, false), Hex("00 20 00 01"))),
              std::nullopt);
    card.PowerOn();
    EXPECT_EQ(card.Ifsd(), 32u);
    EXPECT_EQ(card.T1SendSequence(), 0);
    EXPECT_EQ(card.T1ReceiveSequence(), 0);
    EXPECT_EQ(card.CurrentDf(), IsoApplication::kMf);
    EXPECT_FALSE(card.PinVerified(0x01));
    EXPECT_EQ(card.FileContent(0x5001)[0], 0xEE);
    EXPECT_EQ(card.TriesLeft(0x81), 4);
    EXPECT_EQ(card.PowerOnCount(), 2);
    EXPECT_EQ(card.PowerOffCount(), 1);
    // The host starts over too: N(S) 0 is expected again.
    T1Host fresh([&](const Bytes& blk) { return card.Exchange(kProtocolT1, blk); });
    EXPECT_EQ(fresh.Transmit(Hex("00 20 00 01")), Hex("63 C3"));
}

TEST(sim_CardPower, ReaderPowersEachCard) {
    struct Case {
        std::shared_ptr<EmulatedCard> card;
        std::uint8_t protocol;
        Bytes command, answer;
    };
    const T1Host b(nullptr);
    const Case cases[] = {
        {std::make_shared<MemoryCard>(), kProtocolT0, Hex("00 B0 00 00 02"), Hex("FF FF 90 00")},
        {std::make_shared<T0Card>(), kProtocolT0, Hex("00 20 00 01 00"), Hex("63 C3")},
        {std::make_shared<T1Card>(), kProtocolT1, b.Block(T1Host::I(0, false), Hex("00 20 00 01")),
         b.Block(T1Host::I(0, false), Hex("63 C3"))},
        {std::make_shared<DualCard>(), kProtocolT0, Hex("00 20 00 01 00"), Hex("63 C3")},
    };
    for (const Case& c : cases) {
        c.card->SetRecording(true);
        Reader reader;
        reader.InsertCard(c.card);
        const std::optional<testing::ParsedReply> on = ParseReply(Command(reader, kCodeCardOn));
        ASSERT_TRUE(on);
        EXPECT_EQ(on->data, c.card->Atr());
        EXPECT_EQ(on->status, kStatusCardIn | kStatusPowered);
        EXPECT_TRUE(c.card->Powered());
        Command(reader, kCodeSetProtocol, {c.protocol});
        EXPECT_EQ(ExchangeViaReader(reader, c.command), c.answer) << ToHex(c.card->Atr());
        Command(reader, kCodeCardOff);
        EXPECT_FALSE(c.card->Powered());
        EXPECT_EQ(c.card->Exchanges().size(), 1u);
    }
}

}  // namespace
}  // namespace quor::sim
