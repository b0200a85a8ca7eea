// The T=1 engine driven the way the driver's transmit loop drives it, against scripted cards
// (block sequences in the manner of the ISO/IEC 7816-3 annex).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/smclib/engine_rig.h"

namespace smclib_test {
namespace {

const Bytes kApdu{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, kSw{0x90, 0x00}, kNone{};

Bytes Block(int pcb, const Bytes& inf, bool crc = false) {
    Bytes b{0x00, static_cast<UCHAR>(pcb), static_cast<UCHAR>(inf.size())};
    b.insert(b.end(), inf.begin(), inf.end());
    const USHORT c = SmartcardT1Crc(b.data(), static_cast<ULONG>(b.size()));
    if (crc) b.insert(b.end(), {static_cast<UCHAR>(c >> 8), static_cast<UCHAR>(c)});
    if (!crc) b.push_back(SmartcardT1Lrc(b.data(), static_cast<ULONG>(b.size())));
    return b;
}
Bytes I(int ns, int m, const Bytes& inf, bool crc = false) {
    return Block(ns << 6 | m << 5, inf, crc);
}
Bytes R(int nr, int error) { return Block(0x80 | nr << 4 | error, {}); }
Bytes S(int pcb, const Bytes& inf = {}, bool crc = false) { return Block(pcb, inf, crc); }
Bytes Part(const Bytes& b, size_t at, size_t n) { return {b.begin() + at, b.begin() + at + n}; }
std::string Hex(const Bytes& b) {
    std::string s;
    char x[4];
    for (UCHAR c : b) s += (std::snprintf(x, sizeof(x), "%02X ", c), x);
    return s;
}

struct Step {
    Bytes host, card;  // the block the engine must send; what comes back (empty: nothing)
};
using Script = std::vector<Step>;
Script operator+(Script a, const Script& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Script Announce(int ifsd = 0xFE, bool crc = false) {
    return {{S(0xC1, {static_cast<UCHAR>(ifsd)}, crc), S(0xE1, {static_cast<UCHAR>(ifsd)}, crc)}};
}

// One transmit call. Every block is asked for twice, as when the reader loses an answer, and
// must come out the same; T1.Wtx must follow the card's S(WTX request) through the response.
NTSTATUS Exchange(Rig& rig, const Script& steps, const std::string& name) {
    PSMARTCARD_EXTENSION ext = rig.ext.get();
    for (size_t i = 0; i < steps.size(); ++i) {
        const UCHAR wtx = ext->T1.Wtx;
        for (int copy = 0; copy < 2; ++copy) {
            if (NTSTATUS s = SmartcardT1Request(ext); s != STATUS_SUCCESS) return s;
            EXPECT_EQ(Hex(rig.TakeSent()), Hex(steps[i].host)) << name << ", step " << i;
            EXPECT_EQ(ext->T1.Wtx, wtx) << name << ", step " << i;
        }
        rig.CardSays(steps[i].card);
        const NTSTATUS s = SmartcardT1Reply(ext);
        const Bytes& c = steps[i].card;
        EXPECT_EQ(ext->T1.Wtx,
                  c.size() == 5 && c[1] == 0xC3 && s == STATUS_MORE_PROCESSING_REQUIRED ? c[3] : 0)
            << name;
        if (s != STATUS_MORE_PROCESSING_REQUIRED) {
            EXPECT_EQ(i + 1, steps.size()) << name << ": ended early";
            return s;
        }
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Scenario {
    std::string name;
    Script steps;  // behind the IFSD announcement of a fresh session
    NTSTATUS want = STATUS_SUCCESS;
    Bytes answer = kSw;
    UCHAR ifsc = 32;
    bool crc = false;
    ULONG maxIfsd = 0;
    Bytes apdu = kApdu;
    bool announce = true;
};

void Play(const Scenario& sc) {
    Rig rig;
    rig.ext->CardCapabilities.T1.IFSC = sc.ifsc;
    rig.ext->CardCapabilities.T1.EDC = sc.crc ? 1 : 0;
    rig.ext->ReaderCapabilities.MaxIFSD = sc.maxIfsd;
    rig.SetApdu(sc.apdu);
    const Script all =
        sc.announce ? Announce(sc.maxIfsd ? sc.maxIfsd : 0xFE, sc.crc) + sc.steps : sc.steps;
    EXPECT_EQ(Exchange(rig, all, sc.name), sc.want) << sc.name;
    if (sc.want == STATUS_SUCCESS) {
        EXPECT_EQ(Hex(rig.Answer()), Hex(sc.answer)) << sc.name;
    }
}

// A card whose answer chain outgrows the caller's reply buffer, or that chains empty blocks
// without end, is stopped; the next APDU starts with a resynchronisation.
TEST(smclib_T1, EndlessChainsEnd) {
    const Bytes full(254, 0x5A);
    Script outgrows{{I(0, 0, kApdu), I(0, 1, full)}};
    Script empty{{I(0, 0, kApdu), I(0, 1, kNone)}};
    for (int i = 1; i <= 4; ++i) {
        outgrows.push_back({R(i % 2, 0), I(i % 2, 1, full)});  // the 5th outgrows 1016 bytes
        if (i < 4) empty.push_back({R(i % 2, 0), I(i % 2, 1, kNone)});
    }
    const Scenario cases[] = {
        {"answer outgrows the reply buffer", outgrows, STATUS_BUFFER_TOO_SMALL},
        {"empty chained blocks", empty, STATUS_DEVICE_PROTOCOL_ERROR},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.ext->CardCapabilities.T1.IFSC = 32;
        EXPECT_EQ(Exchange(rig, Announce() + c.steps, c.name), c.want) << c.name;
        rig.SetApdu({0x00, 0xB0, 0x00, 0x00, 0x00});
        ASSERT_EQ(SmartcardT1Request(rig.ext.get()), STATUS_SUCCESS);
        EXPECT_EQ(Hex(rig.TakeSent()), Hex(S(0xC0))) << c.name;
    }
}

TEST(smclib_T1, Exchanges) {
    const Bytes junk{0x00, 0x00};
    Bytes apdu(100), answer(302);
    for (size_t i = 0; i < answer.size(); ++i) answer[i] = apdu[i % 100] = static_cast<UCHAR>(i);
    Script storm{{I(0, 0, kApdu), S(0xC3, {1})}};
    for (ULONG i = 0; i < T1_MAX_CARD_REQUESTS; ++i) storm.push_back({S(0xE3, {1}), S(0xC3, {1})});
    // clang-format off
    const Scenario cases[] = {
        {"single I-block", {{I(0, 0, kApdu), I(0, 0, kSw)}}},
        {"card chains its answer",
         {{I(0, 0, kApdu), I(0, 1, {0x61})}, {R(1, 0), I(1, 1, {0x62})}, {R(0, 0), I(0, 0, kSw)}},
         STATUS_SUCCESS, {0x61, 0x62, 0x90, 0x00}},
        {"APDU chained at IFSC 4",
         {{I(0, 1, Part(kApdu, 0, 4)), R(1, 0)}, {I(1, 0, Part(kApdu, 4, 3)), I(0, 0, kSw)}},
         STATUS_SUCCESS, kSw, 4},
        {"100-byte APDU, 302-byte answer",
         {{I(0, 1, Part(apdu, 0, 32)), R(1, 0)}, {I(1, 1, Part(apdu, 32, 32)), R(0, 0)},
          {I(0, 1, Part(apdu, 64, 32)), R(1, 0)},
          {I(1, 0, Part(apdu, 96, 4)), I(0, 1, Part(answer, 0, 254))},
          {R(1, 0), I(1, 0, Part(answer, 254, 48))}},
         STATUS_SUCCESS, answer, 32, false, 0, apdu},
        {"WTX", {{I(0, 0, kApdu), S(0xC3, {5})}, {S(0xE3, {5}), I(0, 0, kSw)}}},
        {"33 WTX requests in a row", storm, STATUS_DEVICE_PROTOCOL_ERROR},
        {"card sets IFSC", {{I(0, 0, kApdu), S(0xC1, {2})}, {S(0xE1, {2}), I(0, 0, kSw)}}},
        {"EDC error", {{I(0, 0, kApdu), {0, 0, 2, 0x90, 0, 0}}, {R(0, 1), I(0, 0, kSw)}}},
        {"no answer", {{I(0, 0, kApdu), kNone}, {R(0, 2), I(0, 0, kSw)}}},
        {"card asks again: same N(S)", {{I(0, 0, kApdu), R(0, 1)}, {I(0, 0, kApdu), I(0, 0, kSw)}}},
        {"stale bytes, a block prefix",
         {{I(0, 0, kApdu), {0x00, 0x40}}, {R(0, 1), {0, 0, 2}}, {R(0, 1), {0}},
          {R(0, 1), I(0, 0, kSw)}}},
        {"acknowledgement of a chained block damaged",
         {{I(0, 1, Part(kApdu, 0, 4)), junk}, {R(0, 1), R(1, 0)},
          {I(1, 0, Part(kApdu, 4, 3)), I(0, 0, kSw)}},
         STATUS_SUCCESS, kSw, 4},
        {"silent card: 3 repeats, 3 resynchs, error",
         {{I(0, 0, kApdu), kNone}, {R(0, 2), kNone}, {R(0, 2), kNone}, {R(0, 2), kNone},
          {S(0xC0), kNone}, {S(0xC0), junk}, {S(0xC0), I(0, 0, kSw)}},
         STATUS_DEVICE_PROTOCOL_ERROR},
        {"resynch while announcing starts the APDU over",
         Script{{S(0xC1, {0xFE}), kNone}, {S(0xC1, {0xFE}), R(0, 2)},
                {S(0xC1, {0xFE}), S(0xE1, {0x20})}, {S(0xC1, {0xFE}), kNone}, {S(0xC0), S(0xE0)}}
             + Announce() + Script{{I(0, 0, kApdu), I(0, 0, kSw)}},
         STATUS_SUCCESS, kSw, 32, false, 0, kApdu, false},
        {"resynch after the last block ends the APDU",
         {{I(0, 0, kApdu), kNone}, {R(0, 2), kNone}, {R(0, 2), kNone}, {R(0, 2), kNone},
          {S(0xC0), S(0xE0)}},
         STATUS_DEVICE_PROTOCOL_ERROR},
        {"card aborts its chain",
         {{I(0, 0, kApdu), I(0, 1, {1})}, {R(1, 0), S(0xC2)}, {S(0xE2), R(1, 0)}},
         STATUS_DEVICE_PROTOCOL_ERROR},
        {"CRC", {{I(0, 0, kApdu, true), I(0, 0, kSw, true)}}, STATUS_SUCCESS, kSw, 32, true},
    };
    // clang-format on
    for (const Scenario& sc : cases) Play(sc);
}

TEST(smclib_T1, InvalidCardBlocksAreAskedForAgain) {
    Bytes extra = I(0, 0, kSw), badNad = I(0, 0, kSw);
    extra.push_back(0x00);
    badNad[0] = 0x21;
    badNad.back() ^= 0x21;
    const struct {
        const char* name;
        Bytes block;
        int error;
    } cases[] = {
        {"NAD not 0", badNad, 2},
        {"RFU bit in I-block PCB", Block(0x01, kSw), 2},
        {"LEN FF", {0x00, 0x00, 0xFF, 0xFF}, 2},
        {"byte beyond the EDC", extra, 1},
        {"wrong N(S)", I(1, 0, kSw), 2},
        {"longer than the IFSD (16) announced", I(0, 0, Bytes(17, 0x11)), 2},
        {"S(IFS request) for 0", S(0xC1, {0x00}), 2},
        {"S(RESYNCH request) from the card", S(0xC0), 2},
        {"unasked S(IFS response)", S(0xE1, {0x20}), 2},
        {"R-block with a field", Block(0x80, {0x00}), 2},
        {"R-block with RFU error code", R(0, 3), 2},
    };
    for (const auto& c : cases) {
        Play({c.name,
              {{I(0, 0, kApdu), c.block}, {R(0, c.error), I(0, 0, kSw)}},
              STATUS_SUCCESS,
              kSw,
              32,
              false,
              16});
    }
}

void FirstApdu(Rig& rig) {
    ASSERT_EQ(Exchange(rig, Announce() + Script{{I(0, 0, kApdu), I(0, 0, kSw)}}, "first"),
              STATUS_SUCCESS);
}

TEST(smclib_T1, SessionCarriesSequenceNumbersUntilReset) {
    Rig rig;
    FirstApdu(rig);
    EXPECT_EQ(Exchange(rig, {{I(1, 0, kApdu), I(1, 0, kSw)}}, "second"), STATUS_SUCCESS);
    EXPECT_EQ(Exchange(rig, {{I(0, 0, kApdu), I(0, 0, kSw)}}, "third"), STATUS_SUCCESS);
    SmartcardT1ResetSession(rig.ext.get());
    FirstApdu(rig);
}

TEST(smclib_T1, ExchangeEndedWithoutReplyNeverLeaksIntoTheNextApdu) {
    const Bytes next{0x00, 0xB0, 0x00, 0x00, 0x04};
    for (int way = 0; way < 3; ++way) {
        Rig rig;
        FirstApdu(rig);
        ASSERT_EQ(SmartcardT1Request(rig.ext.get()), STATUS_SUCCESS);  // then the reader fails
        Bytes copy = rig.request, apdu = next;
        if (way == 0) {  // the dispatcher starts a transmit
            SmartcardT1StartApdu(rig.ext.get());
            rig.SetApdu(next);
        } else if (way == 1) {  // another APDU in the same buffer
            std::memcpy(rig.request.data() + 8, next.data(), next.size());
            rig.ext->IoRequest.RequestBufferLength = 8 + 5;
        } else {  // the same APDU in another buffer
            rig.ext->IoRequest.RequestBuffer = copy.data();
            apdu = kApdu;
        }
        rig.TakeSent();
        const Script s =
            Script{{S(0xC0), S(0xE0)}} + Announce() + Script{{I(0, 0, apdu), I(0, 0, kSw)}};
        EXPECT_EQ(Exchange(rig, s, "way " + std::to_string(way)), STATUS_SUCCESS);
    }
    Rig rig;  // dropped while only the IFSD announcement was out: the card holds nothing
    ASSERT_EQ(SmartcardT1Request(rig.ext.get()), STATUS_SUCCESS);
    rig.TakeSent();
    SmartcardT1StartApdu(rig.ext.get());
    FirstApdu(rig);
}

TEST(smclib_T1, AnswerLongerThanTheReplyBuffer) {
    Rig rig;
    FirstApdu(rig);
    rig.reply.assign(1024, 0xEE);
    rig.information = 0xDEAD;
    rig.ext->IoRequest.ReplyBufferLength = 8 + 3;
    const Script s{{I(1, 0, kApdu), I(1, 1, {1, 2})}, {R(0, 0), I(0, 0, {3, 4})}};
    EXPECT_EQ(Exchange(rig, s, "long"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.reply, Bytes(1024, 0xEE));
    EXPECT_EQ(rig.information, 0xDEADu);
    // The chain was complete, so the session goes on without a resynch.
    EXPECT_EQ(Exchange(rig, {{I(0, 0, kApdu), I(1, 0, kSw)}}, "after"), STATUS_SUCCESS);
}

TEST(smclib_T1, ReplyBufferSharedWithTheRequest) {
    Rig rig;  // a buffered device control hands one buffer for request and reply
    rig.ext->CardCapabilities.T1.IFSC = 4;
    const Bytes apdu(10, 0x42);
    rig.SetApdu(apdu);
    rig.request.resize(64);
    rig.ext->IoRequest.RequestBuffer = rig.ext->IoRequest.ReplyBuffer = rig.request.data();
    rig.ext->IoRequest.ReplyBufferLength = 64;
    const Script s{{I(0, 1, Part(apdu, 0, 4)), R(1, 0)},
                   {I(1, 1, Part(apdu, 4, 4)), R(0, 0)},
                   {I(0, 0, Part(apdu, 8, 2)), I(0, 1, Bytes(20, 7))},
                   {R(1, 0), I(1, 0, kSw)}};
    ASSERT_EQ(Exchange(rig, Announce() + s, "shared"), STATUS_SUCCESS);
    Bytes want(20, 7);
    want.insert(want.end(), kSw.begin(), kSw.end());
    EXPECT_EQ(Bytes(rig.request.begin() + 8, rig.request.begin() + rig.information), want);
}

TEST(smclib_T1, RefusalsAndErrorDetectionCodes) {
    Rig rig;
    EXPECT_EQ(SmartcardT1Reply(rig.ext.get()), STATUS_INVALID_DEVICE_STATE);
    rig.SetApdu({0x00, 0xA4, 0x04});
    EXPECT_EQ(SmartcardT1Request(rig.ext.get()), STATUS_INVALID_PARAMETER);
    const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(SmartcardT1Crc(digits.data(), 9), 0x6F91);
    EXPECT_EQ(SmartcardT1Lrc(digits.data(), 9), 0x31);
}

}  // namespace
}  // namespace smclib_test
