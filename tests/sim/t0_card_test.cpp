#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "tests/sim/card_helpers.h"

namespace quor::sim {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::ToHex;

std::optional<Bytes> T0(Card& card, const char* tpdu) {
    return card.Exchange(kProtocolT0, Hex(tpdu));
}

const char* const kFci5000 = "6F 11 82 01 38 83 02 50 00 84 05 F0 45 4D 55 01 8A 01 05";

TEST(sim_T0Card, Atr) {
    EXPECT_EQ(T0Card().Atr(), Hex("3B 06 45 4D 55 2D 54 30"));
    T0Card::Options withTa1;
    withTa1.ta1 = 0x13;
    withTa1.historical = {0x01};
    EXPECT_EQ(T0Card::AtrFor(withTa1), Hex("3B 11 13 01"));
}

// TPDUs as the host sends them in T=0 mode; the answer is the data and SW1 SW2 the host gets.
TEST(sim_T0Card, AnswersPerTpdu) {
    struct Case {
        const char* name;
        std::vector<const char*> prelude;
        const char* tpdu;
        const char* answer;
    };
    const std::string fciOk = std::string(kFci5000) + " 90 00";
    const Case cases[] = {
        {"case 1", {}, "00 20 00 01 00", "63 C3"},
        {"case 3", {}, "00 20 00 01 04 31 32 33 34", "90 00"},
        {"P3 larger than the data", {}, "00 20 00 01 05 31 32 33 34", "67 00"},
        {"header without its data", {}, "00 20 00 01 04", "67 00"},
        {"four bytes", {}, "00 B0 00 00", "67 00"},
        {"case 4 announces its data", {}, "00 A4 00 00 02 50 00", "61 13"},
        {"case 3 without answer data", {}, "00 A4 00 0C 02 50 00", "90 00"},
        {"GET RESPONSE, exact", {"00 A4 00 00 02 50 00"}, "00 C0 00 00 13", fciOk.c_str()},
        {"GET RESPONSE, part", {"00 A4 00 00 02 50 00"}, "00 C0 00 00 05", "6F 11 82 01 38 61 0E"},
        {"GET RESPONSE, too many", {"00 A4 00 00 02 50 00"}, "00 C0 00 00 20", "6C 13"},
        {"GET RESPONSE, P3 00", {"00 A4 00 00 02 50 00"}, "00 C0 00 00 00", "6C 13"},
        {"GET RESPONSE, nothing pending", {}, "00 C0 00 00 05", "69 85"},
        {"GET RESPONSE, not right after",
         {"00 A4 00 00 02 50 00", "00 20 00 01 00"},
         "00 C0 00 00 13",
         "69 85"},
        {"GET RESPONSE after a broken TPDU",
         {"00 A4 00 00 02 50 00", "00 B0"},
         "00 C0 00 00 13",
         "69 85"},
        {"read, exact", {"00 A4 00 0C 02 2F 00"}, "00 B0 00 00 04", "45 4D 55 4C 90 00"},
        {"read, fewer left than P3", {"00 A4 00 0C 02 2F 00"}, "00 B0 00 0E 08", "6C 03"},
        {"read, P3 00", {"00 A4 00 0C 02 2F 00"}, "00 B0 00 00 00", "6C 11"},
        {"read with data", {"00 A4 00 0C 02 2F 00"}, "00 B0 00 00 01 00", "67 00"},
        {"challenge, P3 4", {}, "00 84 00 00 04", "6C 08"},
        {"challenge, P3 00", {}, "00 84 00 00 00", "6C 08"},
        {"unknown INS", {}, "00 12 00 00 00", "6D 00"},
        {"class 80", {}, "80 20 00 01 00", "6E 00"},
    };
    for (const Case& c : cases) {
        T0Card card;
        card.PowerOn();
        for (const char* p : c.prelude) T0(card, p);
        const std::optional<Bytes> answer = T0(card, c.tpdu);
        EXPECT_EQ(answer, Hex(c.answer)) << c.name << ": " << ToHex(answer);
    }
}

TEST(sim_T0Card, GetResponseInPieces) {
    T0Card card;
    card.PowerOn();
    ASSERT_EQ(T0(card, "00 A4 04 00 05 F0 45 4D 55 01"), Hex("61 13"));
    Bytes fci = *T0(card, "00 C0 00 00 10");
    ASSERT_EQ(fci.size(), 18u);
    EXPECT_EQ(Bytes(fci.end() - 2, fci.end()), Hex("61 03"));
    fci.resize(16);
    const Bytes rest = *T0(card, "00 C0 00 00 03");
    fci.insert(fci.end(), rest.begin(), rest.end());
    EXPECT_EQ(fci, Hex(std::string(kFci5000) + " 90 00"));
}

TEST(sim_T0Card, ChallengeWithRightLength) {
    T0Card card;
    card.SeedChallenge(42);
    card.PowerOn();
    ASSERT_EQ(T0(card, "00 84 00 00 00"), Hex("6C 08"));
    const Bytes answer = *T0(card, "00 84 00 00 08");
    ASSERT_EQ(answer.size(), 10u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 8), card.LastChallenge());
    EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), Hex("90 00"));
}

TEST(sim_T0Card, SpeaksNeitherT1NorForeignPps) {
    T0Card card;
    card.PowerOn();
    EXPECT_EQ(card.Exchange(kProtocolT1, Hex("00 00 04 00 20 00 01 25")), std::nullopt);
    EXPECT_EQ(card.Exchange(kProtocolPps, Hex("FF 11 11 FF")), std::nullopt);
    EXPECT_EQ(card.Exchange(kProtocolPps, Hex("FF 10 11 FE")), Hex("FF 10 11 FE"));
    EXPECT_EQ(card.NegotiatedProtocol(), kProtocolT0);
}

TEST(sim_MemoryCard, AnswersPerTpdu) {
    struct Case {
        const char* name;
        const char* tpdu;
        const char* answer;
    };
    const Case cases[] = {
        {"read", "00 B0 00 02 03", "02 03 04 90 00"},
        {"class not looked at", "FF B0 00 02 01", "02 90 00"},
        {"read to the end", "00 B0 00 3E 02", "3E 3F 90 00"},
        {"read past the end", "00 B0 00 3F 02", "6B 00"},
        {"read, P3 00 is 256", "00 B0 00 00 00", "6B 00"},
        {"read with data", "00 B0 00 00 01 00", "67 00"},
        {"update", "00 D6 00 10 02 AA BB", "90 00"},
        {"update protected", "00 D6 00 03 02 AA BB", "69 82"},
        {"update past the end", "00 D6 00 3F 02 AA BB", "6B 00"},
        {"update, Lc off", "00 D6 00 10 03 AA BB", "67 00"},
        {"update without data", "00 D6 00 10 00", "67 00"},
        {"other INS", "00 A4 00 00 02 3F 00", "6D 00"},
        {"four bytes", "00 B0 00 00", "67 00"},
    };
    for (const Case& c : cases) {
        Bytes memory(64);
        for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i);
        MemoryCard card(memory, 4);
        card.PowerOn();
        EXPECT_EQ(T0(card, c.tpdu), Hex(c.answer)) << c.name;
    }
}

TEST(sim_MemoryCard, KeepsItsMemoryAndIgnoresOtherModes) {
    MemoryCard card;
    EXPECT_EQ(card.Atr(), Hex("3B 02 14 50"));
    card.PowerOn();
    ASSERT_EQ(T0(card, "00 D6 00 FE 02 12 34"), Hex("90 00"));
    EXPECT_EQ(card.Exchange(kProtocolT1, Hex("00 00 00 00")), std::nullopt);
    EXPECT_EQ(card.Exchange(kProtocolPps, Hex("FF 10 11 FE")), std::nullopt);
    card.PowerOff();
    card.PowerOn();
    EXPECT_EQ(T0(card, "00 B0 00 FD 03"), Hex("FF 12 34 90 00"));
    EXPECT_EQ(card.Memory()[255], 0x34);
}

}  // namespace
}  // namespace quor::sim
