#include <gtest/gtest.h>

#include <algorithm>

#include "link/frame.h"
#include "sim/processor_card.h"
#include "tests/terminal/terminal_bench.h"

namespace quor::test {
namespace {

using quor::sim::kKeyCancel;
using quor::sim::kKeyConfirm;
using quor::sim::ProcessorCard;
using quor::sim::SimTime;

const char* const kBlank = "        ";
constexpr SimTime kS = kSecond;

const Bytes kVerifyApdu = Hex("00 20 00 01 04 FF FF FF FF");
const Bytes kModifyApdu = Hex("00 24 00 01 08 FF FF FF FF FF FF FF FF");
// p0: four digits exactly, ASCII; p1 (and p2) count from the first APDU byte.
const Bytes kVerifyParameters = Hex("44 05");
const Bytes kModifyParameters = Hex("44 05 09");

Bytes Perform(const Bytes& toPerform, const Bytes& before = {}) {
    return Apdu(0x20, 0x18, 0x00, 0x00, Cat({before, Object(0x52, toPerform)}));
}
Bytes Modify(const Bytes& toPerform, const Bytes& before = {}) {
    return Apdu(0x20, 0x19, 0x00, 0x00, Cat({before, Object(0x52, toPerform)}));
}
const Bytes kPerformVerify = Perform(Cat({kVerifyParameters, kVerifyApdu}));
const Bytes kPerformModify = Modify(Cat({kModifyParameters, kModifyApdu}));

std::vector<KeyStep> Keys(std::initializer_list<UCHAR> keys) {
    std::vector<KeyStep> steps;
    for (UCHAR k : keys) steps.push_back({kS / 2, k});
    return steps;
}
const std::vector<KeyStep> kPin1234 = Keys({1, 2, 3, 4, kKeyConfirm});
const std::vector<KeyStep> kPin1234Then5678 =
    Keys({1, 2, 3, 4, kKeyConfirm, 5, 6, 7, 8, kKeyConfirm});

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

enum class CardKind { kT1, kT1Crc, kT0 };

std::shared_ptr<ProcessorCard> MakeCard(CardKind kind) {
    switch (kind) {
        case CardKind::kT1:
            return std::make_shared<quor::sim::T1Card>();
        case CardKind::kT1Crc: {
            quor::sim::T1Card::Options o;
            o.t1.edc = quor::sim::t1::Edc::kCrc;
            return std::make_shared<quor::sim::T1Card>(o);
        }
        case CardKind::kT0:
            return std::make_shared<quor::sim::T0Card>();
    }
    return nullptr;
}

using Arrange = std::function<void(TerminalBench&, ProcessorCard&)>;
using Check = std::function<void(TerminalBench&, ProcessorCard&)>;

struct PinCase {
    const char* name;
    CardKind card;
    ULONG protocol;  // selected for the command (raw over a T=0 card)
    Bytes command;
    std::vector<KeyStep> keys;
    const char* answer;
    UCHAR frameCode;     // of the PIN frame; 0 for none
    const char* header;  // PIN-pad parameters at the start of the PIN frame
    Arrange arrange = nullptr;
    Check check = nullptr;
    ULONG out = 64;
    NTSTATUS status = STATUS_SUCCESS;
};

void StaleSavedReply(TerminalBench& bench, ProcessorCard&) {
    // What an earlier PIN command may have left: never an answer of a later one.
    bench.R()->SavedReply[0] = 0x64;
    bench.R()->SavedReply[1] = 0x00;
    bench.R()->SavedReplyLength = 2;
}

void SelectEf5002(TerminalBench& bench, ProcessorCard&) {
    // The card answers in blocks of at most 32 bytes.
    bench.Ext()->ReaderCapabilities.MaxIFSD = 32;
    const Completion select = bench.Transmit(Hex("00 A4 08 0C 04 50 00 50 02"));
    ASSERT_EQ(select.status, STATUS_SUCCESS);
    ASSERT_EQ(Bytes(select.out.begin() + 8, select.out.begin() + 10), Hex("90 00"));
}

Bytes ReadBinary0x30() {
    Bytes b;
    for (UCHAR i = 0x30; i < 0x70; ++i) b.push_back(i);
    b.push_back(0x90);
    b.push_back(0x00);
    return b;
}

std::vector<PinCase> Cases() {
    const Bytes readBinary =
        Perform(Hex("01 03 00 B0 00 FF 40"));  // one digit, written into P2 (the offset)
    return {
        {"verify T=1", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify, kPin1234, "90 00", 15,
         "44 08", nullptr,
         [](TerminalBench&, ProcessorCard& card) {
             EXPECT_TRUE(card.PinVerified(0x01));
             EXPECT_EQ(card.TriesLeft(0x01), 3);
         }},
        {"verify T=1, CRC", CardKind::kT1Crc, SCARD_PROTOCOL_T1, kPerformVerify, kPin1234, "90 00",
         15, "44 08", nullptr,
         [](TerminalBench&, ProcessorCard& card) { EXPECT_TRUE(card.PinVerified(0x01)); }},
        {"wrong PIN", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify,
         Keys({9, 9, 9, 9, kKeyConfirm}), "63 C2", 15, "44 08", nullptr,
         [](TerminalBench&, ProcessorCard& card) {
             EXPECT_FALSE(card.PinVerified(0x01));
             EXPECT_EQ(card.TriesLeft(0x01), 2);
         }},
        {"keypad time-out, T=1",
         CardKind::kT1,
         SCARD_PROTOCOL_T1,
         kPerformVerify,
         {},
         "64 00",
         15,
         "44 08",
         nullptr,
         [](TerminalBench& bench, ProcessorCard& card) {
             const auto pin = bench.FramesOf(15).at(0);
             EXPECT_EQ(pin.replyTime - pin.time, 30 * kS + kLatency);
             EXPECT_TRUE(card.Exchanges().size() <= 1u) << "only the IFS exchange";
         }},
        {"cancel, T=1", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify, Keys({1, kKeyCancel}),
         "64 01", 15, "44 08"},
        {"too few digits for the confirm key", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify,
         Keys({1, 2, kKeyConfirm, 3, 4, kKeyConfirm}), "90 00", 15, "44 08"},
        {"modify T=1", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformModify, kPin1234Then5678, "90 00",
         20, "44 08 0C", nullptr,
         [](TerminalBench&, ProcessorCard& card) { EXPECT_EQ(card.PinValue(0x01), Text("5678")); }},
        {"modify, wrong old PIN", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformModify,
         Keys({4, 3, 2, 1, kKeyConfirm, 5, 6, 7, 8, kKeyConfirm}), "63 C2", 20, "44 08 0C", nullptr,
         [](TerminalBench&, ProcessorCard& card) { EXPECT_EQ(card.PinValue(0x01), Text("1234")); }},
        {"modify, cancel on the new PIN", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformModify,
         Keys({1, 2, 3, 4, kKeyConfirm, 5, kKeyCancel}), "64 01", 20, "44 08 0C"},
        {"waiting time extension before the answer", CardKind::kT1, SCARD_PROTOCOL_T1,
         kPerformVerify, kPin1234, "90 00", 15, "44 08",
         [](TerminalBench& bench, ProcessorCard& card) {
             StaleSavedReply(bench, card);
             card.SetSlowCommand(0x20, 1, 2);
         },
         [](TerminalBench&, ProcessorCard& card) {
             EXPECT_EQ(card.WtxRequestsSent(), 1);
             EXPECT_TRUE(card.PinVerified(0x01));
         }},
        {"first block with an EDC error", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify,
         kPin1234, "90 00", 15, "44 08",
         [](TerminalBench& bench, ProcessorCard& card) {
             // The T=1 session is under way, so the next block of the card is the answer.
             ASSERT_EQ(bench.Transmit(Hex("00 A4 00 0C 02 3F 00")).status, STATUS_SUCCESS);
             StaleSavedReply(bench, card);
             card.CorruptEdc(1);
         },
         [](TerminalBench& bench, ProcessorCard& card) {
             EXPECT_TRUE(card.PinVerified(0x01));
             EXPECT_EQ(bench.FramesOf(15).size(), 1u) << "the PIN is asked for once";
         }},
        {"chained answer", CardKind::kT1, SCARD_PROTOCOL_T1, readBinary, Keys({0, kKeyConfirm}),
         nullptr, 15, "01 06", SelectEf5002,
         [](TerminalBench& bench, ProcessorCard&) {
             EXPECT_GE(bench.FramesOf(8).size(), 2u) << "the chain is acknowledged";
         },
         80},
        {"chained answer beyond the output", CardKind::kT1, SCARD_PROTOCOL_T1, readBinary,
         Keys({0, kKeyConfirm}), "", 15, "01 06", SelectEf5002, nullptr, 65,
         STATUS_BUFFER_TOO_SMALL},
        // Without room for a status word nothing reaches the reader: the card never sees the
        // PIN whose outcome could not be told.
        {"no room for a status word, verify", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify,
         kPin1234, "", 0, "", nullptr,
         [](TerminalBench& bench, ProcessorCard& card) {
             EXPECT_FALSE(card.PinVerified(0x01));
             EXPECT_TRUE(bench.Rig().HostFrames().empty());
         },
         1, STATUS_BUFFER_TOO_SMALL},
        {"no room for a status word, modify", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformModify,
         kPin1234Then5678, "", 0, "", nullptr,
         [](TerminalBench& bench, ProcessorCard& card) {
             EXPECT_EQ(card.PinValue(0x01), Text("1234"));
             EXPECT_TRUE(bench.Rig().HostFrames().empty());
         },
         0, STATUS_BUFFER_TOO_SMALL},
        {"verify T=0", CardKind::kT0, SCARD_PROTOCOL_T0, kPerformVerify, kPin1234, "90 00", 15,
         "44 05", StaleSavedReply,
         [](TerminalBench&, ProcessorCard& card) { EXPECT_TRUE(card.PinVerified(0x01)); }},
        {"keypad time-out, T=0",
         CardKind::kT0,
         SCARD_PROTOCOL_T0,
         kPerformVerify,
         {},
         "64 00",
         15,
         "44 05"},
        {"modify T=0", CardKind::kT0, SCARD_PROTOCOL_T0, kPerformModify, kPin1234Then5678, "90 00",
         20, "44 05 09", nullptr,
         [](TerminalBench&, ProcessorCard& card) { EXPECT_EQ(card.PinValue(0x01), Text("5678")); }},
        {"verify raw", CardKind::kT0, SCARD_PROTOCOL_RAW, kPerformVerify, kPin1234, "90 00", 15,
         "44 05", StaleSavedReply,
         [](TerminalBench&, ProcessorCard& card) { EXPECT_TRUE(card.PinVerified(0x01)); }},
        {"no protocol: the transmission fails", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify,
         kPin1234, "6A 00", 0, "",
         [](TerminalBench& bench, ProcessorCard& card) {
             StaleSavedReply(bench, card);
             bench.Ext()->CardCapabilities.Protocol.Selected = 0;
         }},
        {"card pulled: the transmission fails", CardKind::kT1, SCARD_PROTOCOL_T1, kPerformVerify,
         kPin1234, "6A 00", 15, "44 08",
         [](TerminalBench& bench, ProcessorCard& card) {
             ASSERT_EQ(bench.Transmit(Hex("00 A4 00 0C 02 3F 00")).status, STATUS_SUCCESS);
             StaleSavedReply(bench, card);
             bench.Reader().RemoveCard();
         }},
        {"0x52 without both parameters", CardKind::kT1, SCARD_PROTOCOL_T1, Perform(Hex("44")),
         kPin1234, "67 00", 0, ""},
        {"0x52 without three parameters", CardKind::kT1, SCARD_PROTOCOL_T1, Modify(Hex("44 05")),
         kPin1234, "67 00", 0, ""},
        {"APDU beyond 1040 bytes", CardKind::kT1, SCARD_PROTOCOL_T1,
         Perform(Cat({kVerifyParameters, Bytes(1041, 0x00)})), kPin1234, "67 00", 0, ""},
        {"no 0x52", CardKind::kT1, SCARD_PROTOCOL_T1,
         Apdu(0x20, 0x18, 0x00, 0x00, Object(0x50, Text("PIN?"))), kPin1234, "", 0, "", nullptr,
         [](TerminalBench& bench, ProcessorCard&) {
             EXPECT_EQ(bench.Displays(), (std::vector<std::string>{"PIN?", kBlank}));
         }},
        {"prompt, then the PIN", CardKind::kT1, SCARD_PROTOCOL_T1,
         Perform(Cat({kVerifyParameters, kVerifyApdu}), Object(0x50, Text("PIN PLEASE"))), kPin1234,
         "90 00", 15, "44 08", nullptr,
         [](TerminalBench& bench, ProcessorCard&) {
             EXPECT_EQ(bench.Displays(), (std::vector<std::string>{"PIN PLEA", kBlank}));
         }},
        {"the last 0x52 counts", CardKind::kT1, SCARD_PROTOCOL_T1,
         Perform(Cat({kVerifyParameters, kVerifyApdu}), Object(0x52, Hex("44"))), kPin1234, "90 00",
         15, "44 08"},
    };
}

TEST(TerminalPin, RunThroughTheReaderKeypad) {
    for (const PinCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        auto card = MakeCard(c.card);
        card->SetRecording(true);
        bench.PowerUp(card, c.protocol == SCARD_PROTOCOL_RAW ? SCARD_PROTOCOL_T0 : c.protocol);
        if (c.protocol == SCARD_PROTOCOL_RAW) {
            bench.Ext()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_RAW;
        }
        if (c.arrange) c.arrange(bench, *card);
        bench.Rig().ClearWire();
        card->ClearExchanges();
        const ULONG readTimeout = bench.R()->SerialConfigData.Timeouts.ReadTotalTimeoutConstant;
        if (!c.keys.empty()) bench.Reader().ScriptKeys(c.keys);

        const Completion done = bench.Terminal(c.command, c.out);
        EXPECT_EQ(done.status, c.status);
        EXPECT_LE(done.information, c.out);
        EXPECT_EQ(done.Answer(), c.answer ? Hex(c.answer) : ReadBinary0x30());

        const auto pinFrames = bench.FramesOf(c.frameCode ? c.frameCode : 15);
        const auto otherPinFrames = bench.FramesOf(c.frameCode == 20 ? 15 : 20);
        EXPECT_TRUE(otherPinFrames.empty());
        if (c.frameCode == 0) {
            EXPECT_TRUE(pinFrames.empty());
        } else if (!pinFrames.empty()) {
            // The parameters, then the protocol bytes with the APDU as the host had it: the PIN
            // itself never travels from the host.
            const Bytes header = Hex(c.header);
            const Bytes& data = pinFrames.front().data;
            EXPECT_EQ(Bytes(data.begin(), data.begin() + static_cast<long>(header.size())), header);
            const size_t prologue = c.protocol == SCARD_PROTOCOL_T1 ? 3 : 0;
            const Bytes& apdu = c.frameCode == 20 ? kModifyApdu : kVerifyApdu;
            if (Contains(c.command, apdu)) {
                const auto at = data.begin() + static_cast<long>(header.size() + prologue);
                ASSERT_GE(data.end() - at, static_cast<long>(apdu.size()));
                EXPECT_EQ(Bytes(at, at + static_cast<long>(apdu.size())), apdu);
            }
        } else {
            ADD_FAILURE() << "no PIN frame";
        }

        // The PIN time-out was in force for the PIN frame only.
        PREADER_EXTENSION r = bench.R();
        EXPECT_EQ(r->PinMode, PIN_MODE_NONE);
        EXPECT_EQ(r->PinTimeout, PIN_TIMEOUT_MS);
        EXPECT_EQ(r->SerialConfigData.Timeouts.ReadTotalTimeoutConstant, readTimeout);
        std::vector<ULONG> totals;
        for (const auto& q : bench.Rig().Port().Requests()) {
            if (q.ioctl != IOCTL_SERIAL_SET_TIMEOUTS || q.input.size() < sizeof(SERIAL_TIMEOUTS)) {
                continue;
            }
            SERIAL_TIMEOUTS t;
            std::memcpy(&t, q.input.data(), sizeof(t));
            totals.push_back(t.ReadTotalTimeoutConstant);
        }
        if (!bench.FramesOf(15).empty() || !bench.FramesOf(20).empty()) {
            ASSERT_GE(totals.size(), 2u);
            EXPECT_EQ(totals.front(), PIN_TIMEOUT_MS);
            EXPECT_EQ(totals.back(), readTimeout);
        }
        // A command refused before it started leaves the display text alone.
        if (c.frameCode != 0 || c.status == STATUS_SUCCESS) {
            EXPECT_EQ(r->DisplayText, BlankDisplayText);
        }
        if (c.check) c.check(bench, *card);
    }
}

// A keypad time-out leaves the T=1 exchange half done (the card never saw the block); the next
// PIN command starts afresh with a resynchronisation, not by repeating the old block.
TEST(TerminalPin, AfterAKeypadTimeOutTheNextStartsAfresh) {
    TerminalBench bench;
    auto card = MakeCard(CardKind::kT1);
    bench.PowerUp(card);
    EXPECT_EQ(bench.Terminal(kPerformVerify).Answer(), Hex("64 00"));
    bench.Rig().ClearWire();
    bench.Reader().ScriptKeys(kPin1234);
    EXPECT_EQ(bench.Terminal(kPerformVerify).Answer(), Hex("90 00"));
    EXPECT_TRUE(card->PinVerified(0x01));
    const auto frames = bench.Reader().Frames();
    const auto pin = std::find_if(frames.begin(), frames.end(),
                                  [](const quor::sim::FrameRecord& f) { return f.code == 15; });
    ASSERT_NE(pin, frames.end());
    const bool resynch = std::any_of(frames.begin(), pin, [](const quor::sim::FrameRecord& f) {
        return f.code == 8 && f.data.size() >= 2 && f.data[1] == 0xC0;
    });
    EXPECT_TRUE(resynch) << "S(RESYNCH request) before the PIN frame";
}

}  // namespace
}  // namespace quor::test
