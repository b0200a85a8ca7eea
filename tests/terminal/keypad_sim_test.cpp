// The emulated reader's keypad: scripted keys on the status byte, and PIN entry for the PIN
// frames (codes 15 and 20), driven frame by frame on the emulator's own time.
#include <gtest/gtest.h>

#include <optional>

#include "sim/frame.h"
#include "sim/pin_pad.h"
#include "sim/processor_card.h"
#include "sim/reader.h"
#include "sim/t1_block.h"

namespace quor::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr SimTime kS = 1'000'000;

Bytes H(const char* text) {
    Bytes out;
    for (const char* p = text; *p != 0;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        char* end = nullptr;
        out.push_back(static_cast<std::uint8_t>(std::strtoul(p, &end, 16)));
        p = end;
    }
    return out;
}

struct Reply {
    Bytes data;
    std::uint8_t status = 0;
    SimTime at = 0;  // when it reached the host
};

// Sends one frame at `now` and takes its reply whenever it comes.
Reply Exchange(Reader& reader, std::uint8_t code, const Bytes& data, SimTime now) {
    reader.HostWrite(CommandFrame(code, data), now);
    Reply r;
    r.at = now;
    if (reader.HostAvailable(now) == 0) {
        const std::optional<SimTime> next = reader.NextOutputTime(now);
        if (!next) {
            ADD_FAILURE() << "no reply";
            return r;
        }
        r.at = *next;
    }
    const Bytes frame = reader.HostRead(4096, r.at);
    EXPECT_GE(frame.size(), 4u);
    if (frame.size() < 4) return r;
    r.data.assign(frame.begin() + 2, frame.end() - 2);
    r.status = frame[frame.size() - 2];
    EXPECT_EQ(XorOf(std::span<const std::uint8_t>(frame.data(), frame.size() - 1)), frame.back());
    return r;
}

std::vector<KeyStep> Steps(std::initializer_list<std::pair<SimTime, std::uint8_t>> steps) {
    std::vector<KeyStep> out;
    for (const auto& [delay, key] : steps) out.push_back({delay, key});
    return out;
}

TEST(TerminalSimKeypad, ScriptedKeysReachTheStatusByteAtTheirMoment) {
    struct Case {
        const char* name;
        std::optional<SimTime> anchor;
        std::vector<std::uint8_t> pressed;  // PressKey before the script
        std::vector<KeyStep> script;
        std::vector<std::pair<SimTime, std::uint8_t>> polls;  // time, key nibble
    };
    const Case cases[] = {
        {"from the first prompt",
         std::nullopt,
         {},
         Steps({{kS, 5}, {kS, 6}}),
         {{100, 0x0F},
          {kS, 0x0F},
          {kS + 100, 5},
          {kS + 200, 0x0F},
          {2 * kS + 99, 0x0F},
          {2 * kS + 100, 6},
          {9 * kS, 0x0F}}},
        {"from the queueing", 0, {}, Steps({{kS, 5}}), {{kS / 2, 0x0F}, {kS, 5}, {kS, 0x0F}}},
        {"silence",
         std::nullopt,
         {},
         Steps({{2 * kS, kKeySilence}, {0, 7}}),
         {{0, 0x0F}, {kS, 0x0F}, {2 * kS, 7}}},
        {"several at once, in order",
         std::nullopt,
         {},
         Steps({{0, 1}, {0, 11}, {kS, 2}}),
         {{0, 1}, {0, 11}, {0, 0x0F}, {kS, 2}}},
        {"pressed keys first", std::nullopt, {3}, Steps({{0, 4}}), {{0, 3}, {0, 4}, {0, 0x0F}}},
        {"late poll takes them all",
         std::nullopt,
         {},
         Steps({{kS, 1}, {kS, 2}}),
         {{0, 0x0F}, {5 * kS, 1}, {5 * kS, 2}, {5 * kS, 0x0F}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reader reader;
        for (std::uint8_t k : c.pressed) reader.PressKey(k);
        reader.ScriptKeys(c.script, c.anchor);
        // Without an anchor the script starts when the host shows a prompt.
        if (!c.anchor) Exchange(reader, kCodeDisplay, Bytes{'P'}, c.polls.front().first);
        for (const auto& [at, key] : c.polls) {
            const Reply r = Exchange(reader, kCodeGetStatus, {}, at);
            EXPECT_EQ(r.status & kStatusKeyMask, key) << "poll at " << at;
        }
        EXPECT_EQ(reader.ScriptedKeys(), 0u);
    }
}

TEST(TerminalSimKeypad, StatusPollsBeforeThePromptLeaveTheScriptAlone) {
    Reader reader;
    reader.ScriptKeys(Steps({{0, 5}, {kS, 6}}));
    for (SimTime at : {SimTime{0}, kS, 10 * kS}) {
        EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, at).status & kStatusKeyMask, 0x0F);
    }
    // Nor does the version a host shows after asking for the reader's information.
    Exchange(reader, kCodeGetInfo, {}, 10 * kS);
    Exchange(reader, kCodeDisplay, Bytes{'0', '2'}, 10 * kS);
    EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, 15 * kS).status & kStatusKeyMask, 0x0F);
    EXPECT_EQ(reader.ScriptedKeys(), 2u);
    Exchange(reader, kCodeDisplay, Bytes{'P'}, 20 * kS);
    EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, 20 * kS).status & kStatusKeyMask, 5);
    EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, 21 * kS).status & kStatusKeyMask, 6);
}

TEST(TerminalSimKeypad, AnAnchorOnlyStartsAScript) {
    Reader reader;
    reader.ScriptKeys(Steps({{kS, 1}}));
    EXPECT_THROW(reader.ScriptKeys(Steps({{kS, 2}}), 0), std::invalid_argument);
    reader.ScriptKeys(Steps({{kS, 2}}));  // follows on from the first step
    Exchange(reader, kCodeDisplay, Bytes{'P'}, 0);
    EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, 0).status & kStatusKeyMask, 0x0F);
    EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, kS).status & kStatusKeyMask, 1);
    EXPECT_EQ(Exchange(reader, kCodeGetStatus, {}, 2 * kS).status & kStatusKeyMask, 2);
    reader.ScriptKeys(Steps({{kS, 3}}));
    reader.PressKey(4);
    reader.ClearKeys();
    EXPECT_EQ(reader.PendingKeys() + reader.ScriptedKeys(), 0u);
}

TEST(TerminalSimPinPad, FormatsAndFields) {
    struct Case {
        std::uint8_t p0;
        Bytes digits;
        Bytes pin;
        std::size_t field;
    };
    const Case cases[] = {
        {0x44, {1, 2, 3, 4}, H("31 32 33 34"), 4},
        {0x08, {1, 2}, H("31 32"), 8},
        {0x02, {1, 2, 3}, H("31 32"), 2},
        {0x84, {1, 2, 3}, H("12 3F"), 2},
        {0x85, {1, 2, 3, 4, 5, 6}, H("12 34 5F"), 3},
        {0x80, {1}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.p0));
        const PinFormat f = PinFormatOf(c.p0);
        EXPECT_EQ(EncodePin(c.digits, f), c.pin);
        EXPECT_EQ(PinFieldSize(f), c.field);
    }
    EXPECT_EQ(PinFormatOf(0x44).minDigits, 4u);
    EXPECT_EQ(PinFormatOf(0xF4).minDigits, 7u);
    EXPECT_EQ(PinWritableSize(H("00 40 02 AA BB CC"), kProtocolT1), std::optional<std::size_t>(5));
    EXPECT_EQ(PinWritableSize(H("00 40 02 AA BB CC DD"), kProtocolT1),
              std::optional<std::size_t>(5));
    EXPECT_EQ(PinWritableSize(H("00 40 02 AA BB"), kProtocolT1), std::nullopt);
    EXPECT_EQ(PinWritableSize(H("00 40 FF AA"), kProtocolT1), std::nullopt);
    EXPECT_EQ(PinWritableSize(H("00 40 02 AA BB"), kProtocolT0), std::optional<std::size_t>(5));
    EXPECT_EQ(PinWritableSize(H("00 40 02 AA BB"), kProtocolPps), std::nullopt);
}

struct PinFrameCase {
    const char* name;
    std::uint8_t code;
    Bytes data;  // PIN-pad parameters, then the TPDU
    std::vector<KeyStep> keys;
    std::uint8_t status;          // of the reply
    Bytes reply;                  // its data
    std::optional<Bytes> toCard;  // what the card got; nullopt: no exchange
    SimTime busy;                 // from the frame to its reply
    std::size_t keysLeft = 0;     // script steps still queued
};

std::vector<KeyStep> EveryTenth(std::initializer_list<std::uint8_t> keys) {
    std::vector<KeyStep> out;
    for (std::uint8_t k : keys) out.push_back({kS / 10, k});
    return out;
}

TEST(TerminalSimPinPad, T0FramesTakeThePinFromTheKeypad) {
    const Bytes verify = H("00 20 00 01 04 FF FF FF FF");
    const Bytes verify8 = H("00 20 00 01 08 FF FF FF FF FF FF FF FF");
    const Bytes change8 = H("00 24 00 01 08 FF FF FF FF FF FF FF FF");
    const auto with = [](const char* parameters, const Bytes& tpdu) {
        Bytes d = H(parameters);
        d.insert(d.end(), tpdu.begin(), tpdu.end());
        return d;
    };
    const std::uint8_t ok = kStatusCardIn | kStatusPowered;
    const PinFrameCase cases[] = {
        {"ASCII", kCodePinVerify, with("44 05", verify), EveryTenth({1, 2, 3, 4, kKeyConfirm}), ok,
         H("90 00"), H("00 20 00 01 04 31 32 33 34"), kS / 2},
        {"BCD", kCodePinVerify, with("84 05", verify), EveryTenth({1, 2, 3, kKeyConfirm}), ok,
         H("63 C2"), H("00 20 00 01 04 12 3F FF FF"), 4 * kS / 10},
        {"padding kept", kCodePinVerify, with("08 05", verify8), EveryTenth({1, 2, kKeyConfirm}),
         ok, H("63 C2"), H("00 20 00 01 08 31 32 FF FF FF FF FF FF"), 3 * kS / 10},
        {"digits beyond the field", kCodePinVerify, with("04 05", verify),
         EveryTenth({1, 2, 3, 4, 5, kKeyConfirm}), ok, H("90 00"), H("00 20 00 01 04 31 32 33 34"),
         6 * kS / 10},
        {"confirm before the fewest digits", kCodePinVerify, with("44 05", verify),
         EveryTenth({1, kKeyConfirm, 2, 3, 4, 12, kKeyConfirm}), ok, H("90 00"),
         H("00 20 00 01 04 31 32 33 34"), 7 * kS / 10},
        {"cancel", kCodePinVerify, with("44 05", verify), Steps({{kS, 1}, {kS, kKeyCancel}}), ok,
         H("64 01"), std::nullopt, 2 * kS},
        {"keypad time-out",
         kCodePinVerify,
         with("44 05", verify),
         {},
         ok,
         H("64 00"),
         std::nullopt,
         30 * kS},
        {"keys after the time-out stay", kCodePinVerify, with("44 05", verify),
         Steps({{10 * kS, 1}, {21 * kS, 2}}), ok, H("64 00"), std::nullopt, 30 * kS, 1},
        {"modify", kCodePinModify, with("44 05 09", change8),
         EveryTenth({1, 2, 3, 4, kKeyConfirm, 5, 6, 7, 8, kKeyConfirm}), ok, H("90 00"),
         H("00 24 00 01 08 31 32 33 34 35 36 37 38"), kS},
        {"modify, time-out on the new PIN", kCodePinModify, with("44 05 09", change8),
         EveryTenth({1, 2, 3, 4, kKeyConfirm, 5}), ok, H("64 00"), std::nullopt, 30 * kS},
        {"field past the command",
         kCodePinVerify,
         with("44 06", verify),
         EveryTenth({1}),
         kStatusFailed,
         {},
         std::nullopt,
         0,
         1},
        {"new PIN field past the command",
         kCodePinModify,
         with("44 05 06", verify),
         EveryTenth({1}),
         kStatusFailed,
         {},
         std::nullopt,
         0,
         1},
        {"no field",
         kCodePinVerify,
         with("40 05", verify),
         EveryTenth({1}),
         kStatusFailed,
         {},
         std::nullopt,
         0,
         1},
        {"parameters only",
         kCodePinModify,
         H("44 05 09"),
         EveryTenth({1}),
         kStatusFailed,
         {},
         std::nullopt,
         0,
         1},
    };
    for (const PinFrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReaderConfig cfg;
        cfg.replyLatency = 1000;
        Reader reader(cfg);
        auto card = std::make_shared<T0Card>();
        card->SetRecording(true);
        reader.InsertCard(card);
        Exchange(reader, kCodeCardOn, {}, 0);
        card->ClearExchanges();
        reader.ScriptKeys(c.keys);
        const SimTime sent = 5 * kS;
        const Reply r = Exchange(reader, c.code, c.data, sent);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.data, c.reply);
        EXPECT_EQ(r.at - sent, c.busy + cfg.replyLatency);
        const auto exchanges = card->Exchanges();
        if (c.toCard) {
            ASSERT_EQ(exchanges.size(), 1u);
            EXPECT_EQ(exchanges[0].in, *c.toCard);
        } else {
            EXPECT_TRUE(exchanges.empty());
        }
        EXPECT_EQ(reader.ScriptedKeys(), c.keysLeft);
    }
}

// Keys pressed while the PIN entry runs (a person at the keypad) end it; frames that came
// meanwhile are answered after it.
TEST(TerminalSimPinPad, AnEntryWaitsForKeysPressedDuringIt) {
    constexpr std::uint8_t kCardBits = kStatusCardIn | kStatusPowered;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> live;  // pressed at 7 s
        bool pull = false;               // the card is pulled first
        std::uint8_t status;
        Bytes reply;
    };
    const Case cases[] = {
        {"confirmed", {2, 3, 4, kKeyConfirm}, false, kCardBits, H("90 00")},
        {"cancelled", {2, kKeyCancel}, false, kCardBits, H("64 01")},
        {"card pulled",
         {2, 3, 4, kKeyConfirm},
         true,
         kStatusFailed | kStatusCardError | kCardErrorNoCard,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reader reader;
        reader.SetRecording(true);
        auto card = std::make_shared<T0Card>();
        reader.InsertCard(card);
        Exchange(reader, kCodeCardOn, {}, 0);
        reader.ScriptKeys(Steps({{0, 1}}));  // the entry takes it, then waits for the rest
        reader.HostWrite(CommandFrame(kCodePinVerify, H("44 05 00 20 00 01 04 FF FF FF FF")),
                         5 * kS);
        EXPECT_TRUE(reader.PinEntryWaiting());
        EXPECT_EQ(reader.NextOutputTime(5 * kS), 35 * kS);
        EXPECT_EQ(reader.ReadableTime(7, 0, 5 * kS), 35 * kS);       // a read sleeps no longer
        reader.HostWrite(CommandFrame(kCodeGetStatus, {}), 6 * kS);  // held
        EXPECT_EQ(reader.HostAvailable(6 * kS), 0u);
        if (c.pull) reader.RemoveCard();
        for (std::uint8_t k : c.live) reader.PressKey(k);
        ASSERT_GT(reader.HostAvailable(7 * kS), 0u);
        EXPECT_FALSE(reader.PinEntryWaiting());
        const Bytes frames = reader.HostRead(4096, 7 * kS);
        const Bytes pin = ReplyFrame(c.reply, c.status);
        ASSERT_GT(frames.size(), pin.size());
        EXPECT_EQ(Bytes(frames.begin(), frames.begin() + pin.size()), pin);
        EXPECT_EQ(frames.size(), pin.size() + 4) << "then the held status reply";
        const auto fr = reader.Frames();
        ASSERT_EQ(fr.size(), 3u);
        EXPECT_EQ(fr[1].replyTime, 7 * kS);
        EXPECT_EQ(fr[2].code, kCodeGetStatus);
    }
}

TEST(TerminalSimPinPad, AWaitingEntryTimesOutAtItsDeadline) {
    Reader reader;
    reader.InsertCard(std::make_shared<T1Card>());
    Exchange(reader, kCodeCardOn, {}, 0);
    reader.HostWrite(CommandFrame(kCodePinVerify, H("44 05 00 20 00 01 04 FF FF FF FF")), kS);
    EXPECT_EQ(reader.HostAvailable(31 * kS - 1), 0u);
    EXPECT_EQ(reader.HostRead(64, 31 * kS), ReplyFrame(H("64 00"), kStatusCardIn | kStatusPowered));
    EXPECT_FALSE(reader.PinEntryWaiting());
}

TEST(TerminalSimPinPad, WithoutAPoweredCardNoKeyIsTaken) {
    Reader reader;
    reader.ScriptKeys(Steps({{0, 1}}));
    const Reply r = Exchange(reader, kCodePinVerify, H("41 05 00 20 00 01 01 FF"), 0);
    EXPECT_EQ(r.status, kStatusFailed | kStatusCardError | kCardErrorNoCard);
    EXPECT_EQ(reader.ScriptedKeys(), 1u);
}

// Over T=1 the PIN goes into the block and the EDC is worked out again in the block's own kind.
TEST(TerminalSimPinPad, T1BlocksGetTheirEdcAgain) {
    for (t1::Edc edc : {t1::Edc::kLrc, t1::Edc::kCrc}) {
        SCOPED_TRACE(edc == t1::Edc::kLrc ? "LRC" : "CRC");
        T1Card::Options o;
        o.t1.edc = edc;
        auto card = std::make_shared<T1Card>(o);
        card->SetRecording(true);
        Reader reader;
        reader.InsertCard(card);
        Exchange(reader, kCodeCardOn, {}, 0);
        Exchange(reader, kCodeSetProtocol, {kProtocolT1}, 0);
        const Bytes block = t1::Encode({0x00, 0x00, H("00 20 00 01 04 FF FF FF FF")}, edc);
        Bytes data = H("44 08");  // the first APDU byte is the block's fourth
        data.insert(data.end(), block.begin(), block.end());
        reader.ScriptKeys(Steps({{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, kKeyConfirm}}));

        const Reply r = Exchange(reader, kCodePinVerify, data, kS);
        const t1::Decoded answer = t1::Decode(r.data, edc);
        ASSERT_EQ(answer.error, t1::DecodeError::kNone);
        EXPECT_EQ(answer.block.inf, H("90 00"));
        const t1::Decoded sent = t1::Decode(card->Exchanges().back().in, edc);
        ASSERT_EQ(sent.error, t1::DecodeError::kNone);
        EXPECT_EQ(sent.block.inf, H("00 20 00 01 04 31 32 33 34"));
        EXPECT_TRUE(card->PinVerified(0x01));

        // A block without its EDC is no block.
        Bytes bad = H("44 08");
        bad.insert(bad.end(), block.begin(), block.begin() + 3 + 9);
        reader.ScriptKeys(Steps({{0, 1}}));
        EXPECT_EQ(Exchange(reader, kCodePinVerify, bad, 2 * kS).status, kStatusFailed);
        reader.ClearKeys();
    }
}

}  // namespace
}  // namespace quor::sim
