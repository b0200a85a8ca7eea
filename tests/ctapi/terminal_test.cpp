// The CT-API card terminal over an in-process emulated reader: each CT-BCS command and APDU
// with the answer or return code it must give, from a given card and the commands before it.
#include "ctapi/terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/io.h"
#include "sim/keys.h"
#include "sim/processor_card.h"
#include "sim/reader.h"

namespace quor::ctapi {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kAnyLength = -1;

struct Case {
    const char* name;
    const char* card;           // "t0", "t1" or "" for none
    std::vector<Bytes> before;  // commands to the terminal first, each answered 90 0x
    std::uint8_t dad;
    Bytes command;
    std::size_t capacity;
    std::int8_t code;
    std::uint16_t sw;  // for kOk
    int length;        // for kOk
};

// Test names and failures show the case's name.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Bytes kRequest{0x20, 0x12, 0x01, 0x00, 0x00};
const Bytes kSelectMf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

const Case kCases[] = {
    {"GetStatusManufacturer", "t1", {}, kCt, {0x20, 0x13, 0x00, 0x46, 0x00}, 300, kOk, 0x9000, 19},
    {"AnswerLargerThanBuffer", "t1", {}, kCt, {0x20, 0x13, 0x00, 0x46, 0x00}, 4, kErrMemory, 0, 0},
    {"UnknownInstructionPassedOn", "t1", {}, kCt, {0x20, 0x14, 0x00, 0x00}, 300, kOk, 0x6D00, 2},
    {"ReadersOwnReportPassedOn", "t1", {}, kCt, {0x20, 0x10, 0x01, 0x01}, 300, kOk, 0x64A2, 2},
    {"OtherClassNotServed", "t1", {}, kCt, {0x80, 0x60, 0x00, 0x00}, 300, kOk, 0x6E00, 2},
    {"RequestBadUnit", "t1", {}, kCt, {0x20, 0x12, 0x05, 0x00}, 300, kOk, 0x6A00, 2},
    {"RequestBadReturnMode", "t1", {}, kCt, {0x20, 0x12, 0x01, 0x03}, 300, kOk, 0x6A00, 2},
    {"RequestBodyCutShort",
     "t1",
     {},
     kCt,
     {0x20, 0x12, 0x01, 0x00, 0x05, 0x80},
     300,
     kOk,
     0x6700,
     2},
    {"RequestNoCardNoTime", "", {}, kCt, {0x20, 0x12, 0x01, 0x00}, 300, kOk, 0x6200, 2},
    {"RequestNoCardWithinOneSecond",
     "",
     {},
     kCt,
     {0x20, 0x12, 0x01, 0x00, 0x03, 0x80, 0x01, 0x01},
     300,
     kOk,
     0x6200,
     2},
    {"RequestAtr", "t1", {}, kCt, {0x20, 0x12, 0x01, 0x01, 0x00}, 300, kOk, 0x9001, kAnyLength},
    {"RequestHistoricalBytes", "t1", {}, kCt, {0x20, 0x12, 0x01, 0x02, 0x00}, 300, kOk, 0x9001, 8},
    {"RequestNothingButStatus", "t0", {}, kCt, {0x20, 0x12, 0x00, 0x00}, 300, kOk, 0x9001, 2},
    {"RequestAgain", "t1", {kRequest}, kCt, kRequest, 300, kOk, 0x6201, 2},
    {"ResetIcc1HistoricalBytes",
     "t1",
     {kRequest},
     kCt,
     {0x20, 0x11, 0x01, 0x02, 0x00},
     300,
     kOk,
     0x9001,
     8},
    {"ResetTerminal", "t1", {kRequest}, kCt, {0x20, 0x11, 0x00, 0x00}, 300, kOk, 0x9000, 2},
    {"ApduAfterResetTerminal",
     "t1",
     {kRequest, {0x20, 0x11, 0x00, 0x00}},
     kIcc1,
     kSelectMf,
     300,
     kOk,
     0x64A2,
     2},
    {"EjectWithoutTime", "t1", {kRequest}, kCt, {0x20, 0x15, 0x01, 0x00}, 300, kOk, 0x9000, 2},
    {"EjectCardStaysIn",
     "t1",
     {},
     kCt,
     {0x20, 0x15, 0x01, 0x00, 0x03, 0x80, 0x01, 0x01},
     300,
     kOk,
     0x6200,
     2},
    {"EjectNoCard",
     "",
     {},
     kCt,
     {0x20, 0x15, 0x01, 0x00, 0x03, 0x80, 0x01, 0x01},
     300,
     kOk,
     0x9001,
     2},
    {"ApduCardNotRequested", "t1", {}, kIcc1, kSelectMf, 300, kOk, 0x64A2, 2},
    {"ApduNoCard", "", {}, kIcc1, kSelectMf, 300, kOk, 0x64A1, 2},
    {"ApduT1", "t1", {kRequest}, kIcc1, kSelectMf, 300, kOk, 0x9000, 2},
    {"ApduT0", "t0", {kRequest}, kIcc1, {0x00, 0x84, 0x00, 0x00, 0x08}, 300, kOk, 0x9000, 10},
    {"ApduAnswerLargerThanBuffer",
     "t0",
     {kRequest},
     kIcc1,
     {0x00, 0x84, 0x00, 0x00, 0x08},
     9,
     kErrMemory,
     0,
     0},
    {"UnknownDestination", "t1", {}, 2, kSelectMf, 300, kErrInvalid, 0, 0},
    {"CommandTooShort", "t1", {}, kCt, {0x20, 0x13, 0x00}, 300, kErrInvalid, 0, 0},
};

class CardTerminalTest : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        kclock::SetScaled(1000);
        irps_ = IoTestLiveIrps();
    }
    void TearDown() override {
        terminal_.reset();
        reader_.reset();
        EXPECT_EQ(IoTestLiveIrps(), irps_) << "every request was completed and freed";
        kclock::ResetForTest();
    }

    CardTerminal& Open(const std::string& card) {
        sim::ReaderConfig config;
        // On the faster clock the real gaps between the driver's writes look long.
        config.interByteTimeout = 60'000'000;
        emulator_ = std::make_shared<sim::Reader>(config);
        if (card == "t0") emulator_->InsertCard(std::make_shared<sim::T0Card>());
        if (card == "t1") emulator_->InsertCard(std::make_shared<sim::T1Card>());
        reader_ = std::make_unique<client::Reader>();
        EXPECT_EQ(reader_->OpenEmulated(emulator_), client::status::kSuccess);
        terminal_ = std::make_unique<CardTerminal>(*reader_);
        return *terminal_;
    }

    static std::uint16_t Sw(const Answer& a) {
        return a.bytes.size() < 2 ? 0 : a.bytes[a.bytes.size() - 2] << 8 | a.bytes.back();
    }

    std::shared_ptr<sim::Reader> emulator_;
    std::unique_ptr<client::Reader> reader_;
    std::unique_ptr<CardTerminal> terminal_;
    LONG irps_ = 0;
};

TEST_P(CardTerminalTest, Answers) {
    const Case& c = GetParam();
    CardTerminal& t = Open(c.card);
    for (const Bytes& b : c.before) {
        const Answer a = t.Data(kCt, b, 300);
        ASSERT_EQ(a.code, kOk);
        ASSERT_EQ(Sw(a) & 0xFFF0, 0x9000);
    }
    const Answer a = t.Data(c.dad, c.command, c.capacity);
    ASSERT_EQ(a.code, c.code);
    if (c.code != kOk) {
        EXPECT_TRUE(a.bytes.empty());
        return;
    }
    EXPECT_EQ(Sw(a), c.sw);
    if (c.length != kAnyLength) {
        EXPECT_EQ(a.bytes.size(), static_cast<std::size_t>(c.length));
    }
    EXPECT_LE(a.bytes.size(), c.capacity);
}

INSTANTIATE_TEST_SUITE_P(Commands, CardTerminalTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// REQUEST ICC with a time waits for the card: one that comes within it is started.
TEST_F(CardTerminalTest, RequestWaitsForACardInserted) {
    CardTerminal& t = Open("");
    std::atomic<bool> answered{false};
    std::thread inserter([&] {
        // Once the terminal shows its prompt it waits for the card.
        while (!answered && emulator_->Display() != Bytes{'C', 'A', 'R', 'D', '?'}) {
            std::this_thread::yield();
        }
        if (!answered) emulator_->InsertCard(std::make_shared<sim::T0Card>());
    });
    const Answer a = t.Data(kCt,
                            Bytes{0x20, 0x12, 0x01, 0x01, 0x0A, 0x50, 0x05, 'C', 'A', 'R', 'D', '?',
                                  0x80, 0x01, 0x1E, 0x00},
                            300);
    answered = true;
    inserter.join();
    ASSERT_EQ(a.code, kOk);
    EXPECT_EQ(Sw(a), 0x9001);
    EXPECT_EQ(a.bytes.front(), 0x3B);
}

// INPUT and the PIN commands go to the terminal: keys from the keypad come back, or go into
// the card's VERIFY and CHANGE REFERENCE DATA.
TEST_F(CardTerminalTest, KeypadCommandsGoToTheTerminal) {
    CardTerminal& t = Open("t1");
    emulator_->ScriptKeys(sim::ParseKeyScript("12#", 0));
    Answer a =
        t.Data(kCt, Bytes{0x20, 0x16, 0x50, 0x02, 0x06, 0x50, 0x04, 'K', 'E', 'Y', '?', 0x00}, 300);
    ASSERT_EQ(a.code, kOk);
    EXPECT_EQ(a.bytes, (Bytes{'1', '2', 0x90, 0x00}));

    ASSERT_EQ(Sw(t.Data(kCt, kRequest, 300)), 0x9001);
    // Prompt "PIN?", then 4 ASCII digits into VERIFY of PIN 01 at offset 5.
    const Bytes verify{0x20, 0x18, 0x01, 0x00, 0x13, 0x50, 0x04, 'P',  'I',  'N',  '?',  0x52,
                       0x0B, 0x44, 0x05, 0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
    for (const auto& [keys, sw] : {std::pair{"9999#", 0x63C2}, std::pair{"1234#", 0x9000}}) {
        emulator_->ScriptKeys(sim::ParseKeyScript(keys, 0));
        a = t.Data(kCt, verify, 300);
        ASSERT_EQ(a.code, kOk);
        EXPECT_EQ(Sw(a), sw) << keys;
    }

    // MODIFY VERIFICATION DATA: old and new PIN into CHANGE REFERENCE DATA at offsets 5 and 9;
    // the new PIN verifies afterwards.
    const Bytes modify{0x20, 0x19, 0x01, 0x00, 0x12, 0x52, 0x10, 0x44, 0x05, 0x09, 0x00, 0x24,
                       0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    emulator_->ScriptKeys(sim::ParseKeyScript("1234#5678#", 0));
    a = t.Data(kCt, modify, 300);
    ASSERT_EQ(a.code, kOk);
    EXPECT_EQ(Sw(a), 0x9000);
    emulator_->ScriptKeys(sim::ParseKeyScript("5678#", 0));
    EXPECT_EQ(Sw(t.Data(kCt, verify, 300)), 0x9000);
}

}  // namespace
}  // namespace quor::ctapi
