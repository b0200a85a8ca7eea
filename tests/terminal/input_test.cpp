#include <gtest/gtest.h>

#include "tests/terminal/terminal_bench.h"

namespace quor::test {
namespace {

using quor::sim::Fault;
using quor::sim::kKeyCancel;
using quor::sim::kKeyConfirm;
using quor::sim::SimTime;

const char* const kBlank = "        ";
constexpr SimTime kS = kSecond;

// Keys one second apart, the first a second after the input starts.
std::vector<KeyStep> EverySecond(std::initializer_list<UCHAR> keys) {
    std::vector<KeyStep> steps;
    for (UCHAR k : keys) steps.push_back({kS, k});
    return steps;
}

struct InputCase {
    const char* name;
    Bytes command;
    std::vector<KeyStep> keys;
    const char* answer;
    std::vector<std::string> displays;           // empty: not checked
    std::optional<SimTime> ends = std::nullopt;  // from the first key poll to the last display
    ULONG out = 300;
};

Bytes Input(UCHAR p2, UCHAR le) { return Bytes{0x20, 0x16, 0x50, p2, le}; }

Bytes InputWith(const Bytes& data, UCHAR p2 = 0x02, USHORT le = 0) {
    return Apdu(0x20, 0x16, 0x50, p2, data, le);
}

std::vector<InputCase> Cases() {
    return {
        {"key limit 4, dashes",
         Input(0x02, 4),
         EverySecond({1, 2, 3, 4}),
         "31 32 33 34 90 00",
         {"", kBlank, "-       ", "--      ", "---     ", kBlank}},
        {"confirm key",
         Input(0x02, 0),
         EverySecond({1, 2, kKeyConfirm}),
         "31 32 90 00",
         {"", kBlank, "-       ", "--      ", kBlank}},
        {"no key", Input(0x02, 0), {}, "64 00", {"", kBlank, kBlank}, 15 * kS},
        {"first key within 30 s",
         InputWith(Object(0x80, {0x1E})),
         {{29 * kS, 3}, {kS, kKeyConfirm}},
         "33 90 00",
         {}},
        {"nothing in 30 s", InputWith(Object(0x80, {0x1E})), {}, "64 00", {}, 30 * kS},
        {"zero seconds", InputWith(Object(0x80, {0x00})), {}, "64 00", {}, 0},
        {"empty time-out ignored", InputWith(Object(0x80, {})), {}, "64 00", {}, 15 * kS},
        {"5 s after a digit", Input(0x02, 0), {{kS, 1}}, "31 64 00", {}, 6 * kS},
        {"next digit in time",
         Input(0x02, 0),
         {{kS, 1}, {4'900'000, 2}, {4'900'000, kKeyConfirm}},
         "31 32 90 00",
         {}},
        {"next digit too late", Input(0x02, 0), {{kS, 1}, {5'200'000, 2}}, "31 64 00", {}, 6 * kS},
        {"confirm as time runs out", Input(0x02, 0), {{15 * kS, kKeyConfirm}}, "90 00", {}},
        {"echo hidden",
         Input(0x00, 3),
         EverySecond({1, 2, 3}),
         "31 32 33 90 00",
         {"", kBlank, kBlank}},
        {"echo digits",
         Input(0x01, 3),
         EverySecond({1, 2, 3}),
         "31 32 33 90 00",
         {"", kBlank, "1       ", "12      ", kBlank}},
        {"echo mode 3",
         Input(0x03, 3),
         EverySecond({1, 2, 3}),
         "31 32 33 90 00",
         {"", kBlank, kBlank}},
        {"shift after eight",
         Input(0x01, 10),
         EverySecond({1, 2, 3, 4, 5, 6, 7, 8, 9, 0}),
         "31 32 33 34 35 36 37 38 39 30 90 00",
         {"", kBlank, "1       ", "12      ", "123     ", "1234    ", "12345   ", "123456  ",
          "1234567 ", "12345678", "23456789", kBlank}},
        {"prompt",
         InputWith(Object(0x50, Text("PIN")), 0x01, 2),
         EverySecond({7, 8}),
         "37 38 90 00",
         {"", "PIN     ", "7IN     ", kBlank}},
        {"long prompt",
         InputWith(Object(0x50, Text("ENTER PIN NOW")), 0x01, 1),
         EverySecond({5}),
         "35 90 00",
         {"", "ENTER PI", kBlank}},
        {"not the keypad", Hex("20 16 40 02 04"), EverySecond({1}), "6A 00", {""}},
        {"limit capped by the output",
         Input(0x02, 0),
         EverySecond({1, 2, 3}),
         "31 32 90 00",
         {},
         std::nullopt,
         4},
        {"key limit above the output",
         Input(0x02, 9),
         EverySecond({1, 2, 3}),
         "31 90 00",
         {},
         std::nullopt,
         3},
        {"extended Le",
         Hex("20 16 50 02 00 00 03"),
         EverySecond({1, 2, 3, 4}),
         "31 32 33 90 00",
         {}},
        {"extended Le, low byte 0",
         Hex("20 16 50 02 00 01 00"),
         EverySecond({1, kKeyConfirm}),
         "31 90 00",
         {}},
        {"other keys ignored",
         Input(0x02, 0),
         {{kS, kKeyCancel}, {0, 12}, {0, 15}, {0, 1}, {0, kKeyConfirm}},
         "31 90 00",
         {}},
    };
}

void RunInput(const InputCase& c, TerminalBench& bench) {
    std::vector<KeyStep> keys = c.keys;
    // An input that should time out and does not would run for as long as the clock goes: a
    // confirm key well after every time-out ends it with an answer that fails the case.
    if (c.ends) keys.push_back({60 * kS, kKeyConfirm});
    if (!keys.empty()) bench.Reader().ScriptKeys(keys);
    const Completion done = bench.Terminal(c.command, c.out);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.Answer(), Hex(c.answer));
    EXPECT_LE(done.information, c.out);
    if (!c.displays.empty()) {
        EXPECT_EQ(bench.Displays(), c.displays);
    }
    // Once the input has pointed it at its own buffer, the text is given back.
    if (!bench.FramesOf(11).empty()) {
        EXPECT_EQ(bench.R()->DisplayText, BlankDisplayText);
        EXPECT_EQ(bench.R()->DisplayTextLength, 8u);
    } else {
        EXPECT_EQ(bench.R()->DisplayText, nullptr);
    }
    if (c.ends) {
        const auto polls = bench.FramesOf(11);
        ASSERT_FALSE(polls.empty());
        const SimTime took = bench.Reader().Frames().back().time - polls.front().time;
        EXPECT_GE(took, *c.ends);
        EXPECT_LE(took, *c.ends + 4 * kLatency);
    }
}

TEST(TerminalInput, CollectsKeys) {
    for (const InputCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        RunInput(c, bench);
    }
}

TEST(TerminalInput, NoKeyPollWithoutRoomForAnAnswer) {
    for (ULONG out : {0u, 1u, 2u}) {
        SCOPED_TRACE(out);
        TerminalBench bench;
        bench.Reader().ScriptKeys(EverySecond({1, 2}));
        const Completion done = bench.Terminal(Input(0x02, 0), out);
        EXPECT_EQ(done.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(done.information, 0u);
        EXPECT_TRUE(bench.FramesOf(11).empty());
        EXPECT_EQ(bench.Reader().ScriptedKeys(), 2u);
    }
}

// The time-outs count on differences of the wrapping millisecond clock: the same inputs started
// two seconds before the clock wraps.
TEST(TerminalInput, TimeOutsAcrossAClockWrap) {
    const std::vector<std::string> wrapCases = {"no key",
                                                "nothing in 30 s",
                                                "5 s after a digit",
                                                "next digit in time",
                                                "confirm as time runs out",
                                                "key limit 4, dashes"};
    for (const InputCase& c : Cases()) {
        if (std::find(wrapCases.begin(), wrapCases.end(), c.name) == wrapCases.end()) continue;
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        const std::int64_t ms = kclock::Now() / kclock::kTicksPerMillisecond;
        const std::int64_t wrapAt = ((ms >> 32) + 1) << 32;
        kclock::SetNow((wrapAt - 2000) * kclock::kTicksPerMillisecond);
        const ULONG before = MillisecondClock();
        EXPECT_EQ(before, 0xFFFFFFFFu - 1999u);
        RunInput(c, bench);
        EXPECT_LT(MillisecondClock(), before) << "the clock did not wrap during the input";
    }
}

// A status reply that reports a failure (its low bits then give the error's kind) is no key.
TEST(TerminalInput, FailedStatusRepliesAreNoKeys) {
    for (UCHAR kind : {0x00, 0x11, 0x13}) {
        SCOPED_TRACE(kind);
        TerminalBench bench;
        bench.Reader().ScriptKeys({{0, 7}, {0, kKeyConfirm}});
        bench.Reader().InjectFault(11, Fault::ErrorStatus(kind));
        EXPECT_EQ(bench.Terminal(Input(0x02, 0), 16).Answer(), Hex("37 90 00"));
    }
}

TEST(TerminalInput, ReaderFailuresMake6D00) {
    struct Case {
        const char* name;
        UCHAR code;  // frame code whose reply is lost
        int after;   // replies of that code that still come first
    };
    const Case cases[] = {
        {"first display", 10, 0},
        {"key poll", 11, 2},
        {"echo display", 10, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        bench.Reader().ScriptKeys({{0, 1}, {0, 2}, {0, 3}});
        Fault pass = Fault::Delay(0).Times(c.after);
        if (c.after > 0) bench.Reader().InjectFault(c.code, pass);
        bench.Reader().InjectFault(c.code, Fault::NoReply());
        const Completion done = bench.Terminal(Input(0x01, 0), 16);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(done.Answer(), Hex("6D 00"));
        EXPECT_EQ(bench.R()->DisplayText == nullptr || bench.R()->DisplayText == BlankDisplayText,
                  true);
    }
}

}  // namespace
}  // namespace quor::test
