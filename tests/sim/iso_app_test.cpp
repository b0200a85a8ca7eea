#include "sim/iso_app.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/sim/card_helpers.h"

namespace quor::sim {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::ToHex;

const char* const kSelectDf = "00 A4 00 0C 02 50 00";
const char* const kSelectEf2F00 = "00 A4 00 0C 02 2F 00";
const char* const kSelect5001 = "00 A4 08 0C 04 50 00 50 01";
const char* const kSelect5003 = "00 A4 08 0C 04 50 00 50 03";
const char* const kVerify01 = "00 20 00 01 04 31 32 33 34";
const char* const kWrong01 = "00 20 00 01 04 31 32 33 35";
const char* const kVerify81 = "00 20 00 81 08 38 37 36 35 34 33 32 31";

// Each case starts from the sample layout, runs the prelude (whose answers are not checked) and
// then checks the whole answer to one command APDU (or only its status word for `swOnly`).
TEST(sim_IsoApp, AnswersPerCommand) {
    struct Case {
        const char* name;
        std::vector<const char*> prelude;
        const char* command;
        const char* answer;
        bool swOnly = false;
    };
    const Case cases[] = {
        // SELECT
        {"MF, FCI", {}, "00 A4 00 00 00", "6F 0A 82 01 38 83 02 3F 00 8A 01 05 90 00"},
        {"DF by id, no answer", {}, kSelectDf, "90 00"},
        {"EF, FCP",
         {kSelectDf},
         "00 A4 02 04 02 50 01 00",
         "62 0E 82 01 01 83 02 50 01 80 02 00 20 8A 01 05 90 00"},
        {"DF by name",
         {},
         "00 A4 04 00 05 F0 45 4D 55 01 00",
         "6F 11 82 01 38 83 02 50 00 84 05 F0 45 4D 55 01 8A 01 05 90 00"},
        {"DF by leading part of name", {}, "00 A4 04 0C 03 F0 45 4D", "90 00"},
        {"unknown name", {}, "00 A4 04 0C 02 F0 46", "6A 82"},
        {"EF of another DF", {}, "00 A4 00 0C 02 50 01", "6A 82"},
        {"sibling EF from a DF", {kSelectDf}, kSelectEf2F00, "6A 82"},
        {"parent from a DF", {kSelectDf}, "00 A4 00 0C 02 3F 00", "90 00"},
        {"path from MF", {}, kSelect5001, "90 00"},
        {"path through an EF", {}, "00 A4 08 0C 04 2F 00 50 01", "6A 82"},
        {"path from current DF", {kSelectDf}, "00 A4 09 0C 02 50 03", "90 00"},
        {"P1 03 from a DF", {kSelectDf}, "00 A4 03 0C", "90 00"},
        {"P1 03 from MF", {}, "00 A4 03 0C", "6A 82"},
        {"P1 01 names an EF", {}, "00 A4 01 0C 02 2F 00", "6A 82"},
        {"P1 02 names a DF", {}, "00 A4 02 0C 02 50 00", "6A 82"},
        {"P1 05", {}, "00 A4 05 0C 02 50 00", "6A 86"},
        {"P2 08", {}, "00 A4 00 08 02 50 00", "6A 86"},
        {"P2 next occurrence", {}, "00 A4 00 02 02 50 00", "6A 86"},
        {"three id bytes", {}, "00 A4 00 0C 03 50 00 01", "67 00"},
        {"FCI without Le", {}, "00 A4 00 00 02 50 00", "90 00"},
        {"FCI longer than Le", {}, "00 A4 00 00 02 3F 00 05", "6C 0C"},
        // READ BINARY
        {"read, no current EF", {}, "00 B0 00 00 04", "69 86"},
        {"read", {kSelectEf2F00}, "00 B0 00 00 04", "45 4D 55 4C 90 00"},
        {"read at offset", {kSelectEf2F00}, "00 B0 00 09 03", "49 53 4F 90 00"},
        {"read past the end", {kSelectEf2F00}, "00 B0 00 0E 08", "41 52 44 62 82"},
        {"read up to 256", {kSelectEf2F00}, "00 B0 00 0E 00", "41 52 44 90 00"},
        {"read at the end", {kSelectEf2F00}, "00 B0 00 11 01", "6B 00"},
        {"read without Le", {kSelectEf2F00}, "00 B0 00 00", "67 00"},
        {"read by SFI", {kSelectDf}, "00 B0 81 1E 02", "1E 1F 90 00"},
        {"unknown SFI", {kSelectDf}, "00 B0 85 00 01", "6A 82"},
        {"SFI with bits 7-6", {kSelectDf}, "00 B0 A1 00 01", "6A 86"},
        {"read under PIN", {kSelect5003}, "00 B0 00 00 01", "69 82"},
        {"read after PIN", {kSelectDf, kVerify81, kSelect5003}, "00 B0 00 00 01", "A5 90 00"},
        // UPDATE BINARY
        {"update without PIN", {kSelect5001}, "00 D6 00 00 02 AA BB", "69 82"},
        {"update after PIN", {kVerify01, kSelect5001}, "00 D6 00 00 02 AA BB", "90 00"},
        {"update by SFI", {kVerify01, kSelectDf}, "00 D6 81 00 01 77", "90 00"},
        {"update never", {kVerify01, kSelectEf2F00}, "00 D6 00 00 01 00", "69 82"},
        {"update past the end", {kVerify01, kSelect5001}, "00 D6 00 1F 02 01 02", "6A 84"},
        {"update at the end", {kVerify01, kSelect5001}, "00 D6 00 20 01 00", "6B 00"},
        {"update without data", {kVerify01, kSelect5001}, "00 D6 00 00", "67 00"},
        {"update, no current EF", {kVerify01}, "00 D6 00 00 01 00", "69 86"},
        // VERIFY
        {"PIN state, not verified", {}, "00 20 00 01", "63 C3"},
        {"right PIN", {}, kVerify01, "90 00"},
        {"PIN state, verified", {kVerify01}, "00 20 00 01", "90 00"},
        {"wrong PIN", {}, kWrong01, "63 C2"},
        {"PIN of other length", {}, "00 20 00 01 02 31 32", "63 C2"},
        {"third wrong PIN", {kWrong01, kWrong01}, kWrong01, "63 C0"},
        {"blocked, right PIN", {kWrong01, kWrong01, kWrong01}, kVerify01, "69 83"},
        {"blocked, state", {kWrong01, kWrong01, kWrong01}, "00 20 00 01", "69 83"},
        {"right PIN restores tries", {kWrong01, kWrong01, kVerify01}, "00 20 00 01", "90 00"},
        {"PIN longer than 16",
         {},
         "00 20 00 01 11 31 31 31 31 31 31 31 31 31 31 31 31 31 31 31 31 31",
         "67 00"},
        {"unknown reference", {}, "00 20 00 02 04 31 32 33 34", "6A 88"},
        {"DF PIN outside its DF", {}, kVerify81, "6A 88"},
        {"DF PIN in its DF", {kSelectDf}, kVerify81, "90 00"},
        {"DF PIN tries", {kSelectDf}, "00 20 00 81", "63 C5"},
        {"P1 01", {}, "00 20 01 01", "6A 86"},
        {"P2 with bit 6", {}, "00 20 00 21", "6A 86"},
        {"P2 00", {}, "00 20 00 00", "6A 86"},
        {"drop verified state", {kVerify01}, "00 20 FF 01", "90 00"},
        {"dropped state", {kVerify01, "00 20 FF 01"}, "00 20 00 01", "63 C3"},
        // CHANGE REFERENCE DATA
        {"change", {}, "00 24 00 01 08 31 32 33 34 35 36 37 38", "90 00"},
        {"change, wrong old", {}, "00 24 00 01 08 31 31 31 31 35 36 37 38", "63 C2"},
        {"change, old only", {}, "00 24 00 01 04 31 32 33 34", "67 00"},
        {"change, new only, unverified", {}, "00 24 01 01 02 39 39", "69 82"},
        {"change, new only, verified", {kVerify01}, "00 24 01 01 02 39 39", "90 00"},
        {"new PIN works", {kVerify01, "00 24 01 01 02 39 39"}, "00 20 00 01 02 39 39", "90 00"},
        {"old PIN gone", {kVerify01, "00 24 01 01 02 39 39"}, kVerify01, "63 C2"},
        {"change, P1 02", {}, "00 24 02 01 02 39 39", "6A 86"},
        {"change, blocked",
         {kWrong01, kWrong01, kWrong01},
         "00 24 00 01 08 31 32 33 34 35 36 37 38",
         "69 83"},
        // GET CHALLENGE
        {"challenge", {}, "00 84 00 00 08", "90 00", true},
        {"challenge, Le 00", {}, "00 84 00 00 00", "90 00", true},
        {"challenge, Le 4", {}, "00 84 00 00 04", "6C 08"},
        {"challenge, no Le", {}, "00 84 00 00", "67 00"},
        {"challenge, P1", {}, "00 84 01 00 08", "6A 86"},
        // GET RESPONSE
        {"nothing pending", {}, "00 C0 00 00 10", "69 85"},
        // Class and instruction bytes, APDU layout
        {"proprietary class", {}, "80 A4 00 0C 02 3F 00", "6E 00"},
        {"class FF", {}, "FF A4 00 0C 02 3F 00", "6E 00"},
        {"class 20", {}, "20 A4 00 0C 02 3F 00", "6E 00"},
        {"logical channel 1", {}, "01 A4 00 0C 02 3F 00", "68 81"},
        {"logical channel 4", {}, "40 A4 00 0C 02 3F 00", "68 81"},
        {"secure messaging", {}, "04 A4 00 0C 02 3F 00", "68 82"},
        {"command chaining", {}, "10 A4 00 0C 02 3F 00", "68 84"},
        {"unknown INS", {}, "00 12 00 00", "6D 00"},
        {"three bytes", {}, "00 A4 00", "67 00"},
        {"extended length", {}, "00 B0 00 00 00 01 00", "67 00"},
        {"Lc disagrees", {}, "00 A4 00 0C 03 3F 00", "67 00"},
    };
    for (const Case& c : cases) {
        IsoApplication app = IsoApplication::Sample();
        for (const char* p : c.prelude) app.Process(Hex(p));
        const Bytes answer = app.Process(Hex(c.command)).Bytes();
        const Bytes expected = Hex(c.answer);
        if (c.swOnly) {
            ASSERT_GE(answer.size(), 2u) << c.name;
            EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), expected) << c.name;
        } else {
            EXPECT_EQ(answer, expected) << c.name << ": " << ToHex(answer);
        }
    }
}

TEST(sim_IsoApp, UpdateWritesTheFile) {
    IsoApplication app = IsoApplication::Sample();
    app.Process(Hex(kVerify01));
    app.Process(Hex(kSelect5001));
    EXPECT_EQ(app.Process(Hex("00 D6 00 1E 02 AA BB")).sw, sw::kOk);
    Bytes expected(32);
    for (std::size_t i = 0; i < 32; ++i) expected[i] = static_cast<std::uint8_t>(i);
    expected[30] = 0xAA;
    expected[31] = 0xBB;
    EXPECT_EQ(app.FileContent(0x5001), expected);
    EXPECT_EQ(app.CurrentEf(), 0x5001);
    EXPECT_EQ(app.CurrentDf(), 0x5000);
}

TEST(sim_IsoApp, ReadsAFileLongerThan256Bytes) {
    IsoApplication app = IsoApplication::Sample();
    app.Process(Hex("00 A4 08 0C 04 50 00 50 02"));
    const ApduResponse first = app.Process(Hex("00 B0 00 00 00"));
    ASSERT_EQ(first.sw, sw::kOk);
    ASSERT_EQ(first.data.size(), 256u);
    EXPECT_EQ(first.data[255], 0xFF);
    const ApduResponse rest = app.Process(Hex("00 B0 01 00 00"));
    EXPECT_EQ(rest.sw, sw::kOk);
    EXPECT_EQ(rest.data.size(), 44u);
    EXPECT_EQ(rest.data.front(), 0x00);
    const ApduResponse asked = app.Process(Hex("00 B0 01 00 30"));
    EXPECT_EQ(asked.sw, sw::kEndReached);
    EXPECT_EQ(asked.data.size(), 44u);
}

TEST(sim_IsoApp, DfPinCountsOnlyInsideItsDf) {
    IsoApplication app = IsoApplication::Sample();
    app.Process(Hex(kVerify01));
    app.Process(Hex(kSelectDf));
    ASSERT_EQ(app.Process(Hex(kVerify81)).sw, sw::kOk);
    EXPECT_TRUE(app.PinVerified(0x81));
    app.Process(Hex("00 A4 00 0C 02 5003"));
    EXPECT_EQ(app.Process(Hex("00 B0 00 00 01")).sw, sw::kOk);
    app.Process(Hex("00 A4 00 0C 02 3F00"));
    EXPECT_FALSE(app.PinVerified(0x81));
    EXPECT_TRUE(app.PinVerified(0x01));  // global
    app.Process(Hex(kSelect5003));
    EXPECT_EQ(app.Process(Hex("00 B0 00 00 01")).sw, sw::kSecurityNotSatisfied);
}

TEST(sim_IsoApp, BlockedPinStaysBlockedOverASession) {
    IsoApplication app = IsoApplication::Sample();
    for (int i = 0; i < 3; ++i) app.Process(Hex(kWrong01));
    EXPECT_EQ(app.TriesLeft(0x01), 0);
    app.ResetSession();
    EXPECT_EQ(app.Process(Hex(kVerify01)).sw, sw::kPinBlocked);
    EXPECT_EQ(app.PinValue(0x01), Hex("31 32 33 34"));
    app.SetTriesLeft(0x01, 99);
    EXPECT_EQ(app.TriesLeft(0x01), 3);
    EXPECT_EQ(app.Process(Hex(kVerify01)).sw, sw::kOk);
}

TEST(sim_IsoApp, SessionResetKeepsFilesAndCounters) {
    IsoApplication app = IsoApplication::Sample();
    app.Process(Hex(kVerify01));
    app.Process(Hex(kSelect5001));
    app.Process(Hex("00 D6 00 00 01 EE"));
    app.Process(Hex(kWrong01));
    app.SetPendingResponse({1, 2, 3}, sw::kOk);
    app.ResetSession();
    EXPECT_EQ(app.CurrentDf(), IsoApplication::kMf);
    EXPECT_EQ(app.CurrentEf(), std::nullopt);
    EXPECT_FALSE(app.PinVerified(0x01));
    EXPECT_FALSE(app.HasPendingResponse());
    EXPECT_EQ(app.TriesLeft(0x01), 2);
    EXPECT_EQ(app.FileContent(0x5001)[0], 0xEE);
}

TEST(sim_IsoApp, ChallengeFollowsTheSeed) {
    IsoApplication a = IsoApplication::Sample();
    IsoApplication b = IsoApplication::Sample();
    a.SeedChallenge(7);
    b.SeedChallenge(7);
    const Bytes first = a.Process(Hex("00 84 00 00 08")).data;
    EXPECT_EQ(first.size(), 8u);
    EXPECT_EQ(a.LastChallenge(), first);
    EXPECT_EQ(b.Process(Hex("00 84 00 00 08")).data, first);
    EXPECT_NE(a.Process(Hex("00 84 00 00 08")).data, first);
    b.SeedChallenge(8);
    EXPECT_NE(b.Process(Hex("00 84 00 00 08")).data, first);
}

TEST(sim_IsoApp, GetResponseHandsOutPendingData) {
    IsoApplication app;
    app.SetPendingResponse(Hex("01 02 03 04 05"), sw::kEndReached);
    EXPECT_EQ(app.Process(Hex("00 C0 00 00 02")).Bytes(), Hex("01 02 61 03"));
    EXPECT_EQ(app.Process(Hex("00 C0 00 00 00")).Bytes(), Hex("03 04 05 62 82"));
    EXPECT_FALSE(app.HasPendingResponse());
    app.SetPendingResponse(Hex("01 02"), sw::kOk);
    app.Process(Hex("00 20 00 01"));  // anything else drops it
    EXPECT_EQ(app.Process(Hex("00 C0 00 00 02")).sw, sw::kConditionsNotSatisfied);
}

TEST(sim_IsoApp, SetUpRefusesInconsistentFiles) {
    IsoApplication app;
    app.AddDf(0x1000);
    app.AddEf(0x1001, {1}, 0x1000, {FileAccess::Always(), FileAccess::Never(), 3});
    EXPECT_THROW(app.AddDf(0x1000), std::invalid_argument);
    EXPECT_THROW(app.AddEf(0x3F00, {}), std::invalid_argument);
    EXPECT_THROW(app.AddEf(0x2000, {}, 0x1001), std::invalid_argument);  // parent is an EF
    EXPECT_THROW(app.AddEf(0x1002, {}, 0x1000, {FileAccess::Always(), FileAccess::Never(), 3}),
                 std::invalid_argument);  // SFI taken
    EXPECT_THROW(app.SetPin(0x01, {}), std::invalid_argument);
    EXPECT_THROW(app.SetPin(0x20, {1}), std::invalid_argument);
    EXPECT_THROW(app.FileContent(0x1000), std::out_of_range);
    EXPECT_THROW(app.TriesLeft(0x01), std::out_of_range);
}

}  // namespace
}  // namespace quor::sim
