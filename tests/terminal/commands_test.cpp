#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/card.h"
#include "tests/terminal/terminal_bench.h"

namespace quor::test {
namespace {

using quor::sim::Fault;

const char* const kBlank = "        ";

// Returns once the DPC thread has caught up with the clock: a timer due now has fired, so
// every timer due earlier has fired as well and its DPC has run.
void SettleTimers() {
    KTIMER timer;
    KDPC dpc;
    std::atomic<bool> fired{false};
    KeInitializeTimer(&timer);
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID c, PVOID, PVOID) { static_cast<std::atomic<bool>*>(c)->store(true); },
        &fired);
    LARGE_INTEGER due;
    due.QuadPart = kclock::Now();
    KeSetTimer(&timer, due, &dpc);
    EXPECT_TRUE(Eventually([&] { return fired.load(); }));
    KeFlushQueuedDpcs();
}

void Advance(quor::sim::SimTime us) { kclock::Advance(us * kclock::kTicksPerMicrosecond); }

// Reads a field that the expiry path changes with interlocked operations.
LONG Peek(LONG volatile* field) { return InterlockedCompareExchange(field, 0, 0); }

TEST(TerminalReset, AnswersByCardState) {
    struct Case {
        ULONG state;
        ULONG cardType;
        const char* command;
        const char* answer;
    };
    const Case cases[] = {
        {SCARD_SPECIFIC, CARD_TYPE_PROCESSOR, "20 11 01 01", "3B 02 14 50 90 01"},
        {SCARD_SPECIFIC, CARD_TYPE_MEMORY, "20 11 01 01", "3B 02 14 50 90 00"},
        {SCARD_SPECIFIC, CARD_TYPE_PROCESSOR, "20 10 01 01 00", "3B 02 14 50 90 01"},
        {SCARD_UNKNOWN, CARD_TYPE_NONE, "20 10 01 01", "64 A1"},
        {SCARD_ABSENT, CARD_TYPE_NONE, "20 11 01 01", "64 A1"},
        {SCARD_PRESENT, CARD_TYPE_NONE, "20 11 01 01", "64 A1"},
        {7, CARD_TYPE_NONE, "20 11 01 01", "64 A1"},
        {SCARD_SWALLOWED, CARD_TYPE_NONE, "20 10 01 01", "64 A2"},
        {SCARD_POWERED, CARD_TYPE_NONE, "20 10 01 01", "64 A2"},
        {SCARD_NEGOTIABLE, CARD_TYPE_PROCESSOR, "20 10 01 01", "64 A2"},
        {SCARD_ABSENT, CARD_TYPE_NONE, "20 10 00 00", "90 00"},
        {SCARD_SPECIFIC, CARD_TYPE_PROCESSOR, "20 10 00 01", "90 00"},
        {SCARD_ABSENT, CARD_TYPE_NONE, "20 11 01 00", "90 00"},
        {SCARD_SPECIFIC, CARD_TYPE_PROCESSOR, "20 10 01 02", "90 00"},
        {SCARD_SPECIFIC, CARD_TYPE_PROCESSOR, "20 10 02 00", ""},
        {SCARD_ABSENT, CARD_TYPE_NONE, "20 11 40 01", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.command << " in state " << c.state);
        TerminalBench bench;
        bench.Ext()->ReaderCapabilities.CurrentState = c.state;
        bench.R()->CardType = c.cardType;
        bench.Ext()->CardCapabilities.ATR.Length = 4;
        std::memcpy(bench.Ext()->CardCapabilities.ATR.Buffer, Hex("3B 02 14 50").data(), 4);
        const Completion done = bench.Terminal(Hex(c.command), 32);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(done.Answer(), Hex(c.answer));
        EXPECT_TRUE(bench.Reader().Frames().empty()) << "neither resets nor asks the reader";
        EXPECT_EQ(bench.Ext()->ReaderCapabilities.CurrentState, c.state);
    }
}

TEST(TerminalGetStatus, AnswersObjectsByModelAndState) {
    const std::string manufacturer = "46 0F 44 45 78 78 78 43 54 31 39 38 56 31 2E 36 31 90 00";
    struct Case {
        ULONG model;
        ULONG state;
        const char* command;
        std::string answer;
    };
    const Case cases[] = {
        {5, SCARD_ABSENT, "20 13 00 46", manufacturer},
        {1, SCARD_SPECIFIC, "20 13 01 46", manufacturer},
        {5, SCARD_UNKNOWN, "20 13 00 80", "80 01 00 90 00"},
        {5, SCARD_ABSENT, "20 13 01 80", "80 01 00 90 00"},
        {5, SCARD_PRESENT, "20 13 00 80", "80 01 00 90 00"},
        {5, SCARD_SWALLOWED, "20 13 01 80", "80 01 03 90 00"},
        {5, SCARD_POWERED, "20 13 00 80", "80 01 05 90 00"},
        {5, SCARD_NEGOTIABLE, "20 13 00 80", "80 01 05 90 00"},
        {5, SCARD_SPECIFIC, "20 13 00 80", "80 01 05 90 00"},
        {5, SCARD_SWALLOWED, "20 13 02 80", "6A 00"},
        {5, SCARD_SPECIFIC, "20 13 00 47", "6A 00"},
        {5, SCARD_SPECIFIC, "20 13 00 00", "6A 00"},
        {2, SCARD_ABSENT, "20 13 00 81", "81 03 01 40 50 90 00"},
        {3, SCARD_ABSENT, "20 13 00 81", "81 03 01 40 50 90 00"},
        {5, SCARD_ABSENT, "20 13 00 81", "81 03 01 40 50 90 00"},
        {6, SCARD_ABSENT, "20 13 00 81", "81 03 01 40 50 90 00"},
        {10, SCARD_ABSENT, "20 13 00 81", "81 03 01 40 50 90 00"},
        {0, SCARD_ABSENT, "20 13 00 81", "81 01 01 90 00"},
        {1, SCARD_ABSENT, "20 13 00 81", "81 01 01 90 00"},
        {4, SCARD_ABSENT, "20 13 00 81", "81 01 01 90 00"},
        {7, SCARD_ABSENT, "20 13 00 81", "81 01 01 90 00"},
        {11, SCARD_ABSENT, "20 13 00 81", "81 01 01 90 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.command << " model " << c.model);
        BenchOptions o;
        o.model = c.model;
        TerminalBench bench(o);
        bench.Ext()->ReaderCapabilities.CurrentState = c.state;
        const Completion done = bench.Terminal(Hex(c.command), 32);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(done.Answer(), Hex(c.answer.c_str()));
        EXPECT_EQ(bench.Rig().HostCodes(), Bytes{11}) << "one status request";
        EXPECT_EQ(bench.Ext()->ReaderCapabilities.CurrentState, c.state);
    }
}

TEST(TerminalGetStatus, ReaderThatDoesNotAnswerMakes6D00) {
    TerminalBench bench;
    bench.Reader().InjectFault(11, Fault::NoReply());
    const Completion done = bench.Terminal(Hex("20 13 00 46"), 32);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.Answer(), Hex("6D 00"));
}

TEST(TerminalOutput, ShowsTextsOnTheDisplay) {
    struct Case {
        const char* name;
        Bytes before;  // an earlier command, when not empty
        Bytes command;
        const char* answer;
        std::vector<std::string> displays;  // texts the command sent
    };
    const Case cases[] = {
        {"first 8 of 10",
         {},
         Apdu(0x20, 0x17, 0x40, 0x00, Object(0x50, Text("ABCDEFGHIJ"))),
         "90 00",
         {"ABCDEFGH"}},
        {"short text", {}, Apdu(0x20, 0x17, 0x40, 0x00, Object(0x50, Text("HI"))), "90 00", {"HI"}},
        {"long-form length",
         {},
         Apdu(0x20, 0x17, 0x40, 0x00, Cat({Hex("50 FF 00 09"), Text("123456789")})),
         "90 00",
         {"12345678"}},
        {"last text wins",
         {},
         Apdu(0x20, 0x17, 0x40, 0x00, Cat({Object(0x50, Text("ONE")), Object(0x50, Text("TWO"))})),
         "90 00",
         {"TWO"}},
        {"empty text", {}, Apdu(0x20, 0x17, 0x40, 0x00, Object(0x50, {})), "90 00", {""}},
        {"extended coding", {}, Hex("20 17 40 00 00 00 04 50 02 4F 4B"), "90 00", {"OK"}},
        {"not the display", {}, Apdu(0x20, 0x17, 0x00, 0x00, Object(0x50, Text("ABC"))), "", {}},
        {"no data", {}, Hex("20 17 40 00"), "", {}},
        {"no text yet", {}, Apdu(0x20, 0x17, 0x40, 0x00, Object(0x80, Hex("05"))), "", {}},
        {"text of before",
         Apdu(0x20, 0x17, 0x40, 0x00, Object(0x50, Text("X"))),
         Apdu(0x20, 0x17, 0x40, 0x00, Object(0x80, Hex("05"))),
         "90 00",
         {kBlank}},
        {"value past the data", {}, Hex("20 17 40 00 04 50 0A 41 42"), "", {}},
        {"header cut", {}, Hex("20 17 40 00 01 50"), "", {}},
        {"long-form header cut", {}, Hex("20 17 40 00 03 50 FF 00"), "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        if (!c.before.empty()) {
            bench.Terminal(c.before);
            bench.Rig().ClearWire();
        }
        const Completion done = bench.Terminal(c.command, 16);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(done.Answer(), Hex(c.answer));
        EXPECT_EQ(bench.Displays(), c.displays);
        if (c.displays.empty()) {
            EXPECT_TRUE(bench.Reader().Frames().empty());
        }
        // A text of the command's own is never left behind.
        PREADER_EXTENSION r = bench.R();
        EXPECT_TRUE(r->DisplayText == nullptr ||
                    (r->DisplayText == BlankDisplayText && r->DisplayTextLength == 8));
    }
}

TEST(TerminalOutput, DisplayFailures) {
    struct Case {
        const char* name;
        bool hasDisplay;
        std::optional<Fault> fault;
        NTSTATUS status;
        const char* answer;
    };
    const Case cases[] = {
        {"display answers", true, std::nullopt, STATUS_SUCCESS, "90 00"},
        {"reader without display", false, std::nullopt, STATUS_DEVICE_DATA_ERROR, "90 00"},
        {"no reply", true, Fault::NoReply(), STATUS_SUCCESS, "6D 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BenchOptions o;
        o.reader.hasDisplay = c.hasDisplay;
        TerminalBench bench(o);
        if (c.fault) bench.Reader().InjectFault(10, *c.fault);
        const Completion done =
            bench.Terminal(Apdu(0x20, 0x17, 0x40, 0x00, Object(0x50, Text("ABC"))), 16);
        EXPECT_EQ(done.status, c.status);
        EXPECT_EQ(done.Answer(), Hex(c.answer));
        EXPECT_EQ(bench.R()->DisplayText, BlankDisplayText);
    }
}

Bytes Show(const char* text, std::optional<UCHAR> seconds = std::nullopt) {
    Bytes data = Object(0x50, Text(text));
    if (seconds) data = Cat({data, Object(0x80, {*seconds})});
    return Apdu(0x20, 0x17, 0x40, 0x00, data);
}

TEST(TerminalDisplayTimer, ExpiryBlanksTheDisplay) {
    struct Case {
        const char* name;
        std::vector<std::pair<Bytes, quor::sim::SimTime>> steps;  // command, then time to pass
        std::vector<std::string> displays;
        quor::sim::SimTime blankAfterLast;  // from the last text to the blank; 0 for none
    };
    const Case cases[] = {
        // The timer is armed as the text goes out (the emulator's times are whole
        // microseconds, the clock's a tenth of that); the reply takes kLatency.
        {"after its seconds",
         {{Show("HELLO", 5), 5 * kSecond - kLatency + 1}},
         {"HELLO", kBlank},
         5 * kSecond},
        {"not before", {{Show("HELLO", 5), 5 * kSecond - kLatency - 1}}, {"HELLO"}, 0},
        {"cancelled by the next output",
         {{Show("A", 5), 3 * kSecond}, {Show("B"), 10 * kSecond}},
         {"A", "B"},
         0},
        {"armed again",
         {{Show("A", 5), 3 * kSecond}, {Show("B", 5), 5 * kSecond}},
         {"A", "B", kBlank},
         5 * kSecond},
        {"at once", {{Show("NOW", 0), 0}}, {"NOW", kBlank}, 0},
        {"empty value arms nothing",
         {{Apdu(0x20, 0x17, 0x40, 0x00, Cat({Object(0x50, Text("A")), Object(0x80, {})})),
           60 * kSecond}},
         {"A"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TerminalBench bench;
        for (const auto& [command, pass] : c.steps) {
            if (!command.empty()) {
                EXPECT_EQ(bench.Terminal(command).Answer(), Hex("90 00"));
            }
            Advance(pass);
            SettleTimers();
        }
        // Every expiry work item is done with the records.
        EXPECT_TRUE(Eventually([&] { return Peek(&bench.R()->DisplayWorkRefs) == 1; }));
        EXPECT_EQ(bench.Displays(), c.displays);
        EXPECT_EQ(Peek(&bench.R()->DisplayExpired), 0);
        const auto log = bench.Reader().DisplayLog();
        if (c.blankAfterLast != 0 && log.size() >= 2) {
            const auto gap = log.back().time - log[log.size() - 2].time;
            EXPECT_GE(gap, c.blankAfterLast);
            EXPECT_LE(gap, c.blankAfterLast + 2 * kLatency);
        }
        EXPECT_EQ(bench.R()->DisplayText, BlankDisplayText);
    }
}

TEST(TerminalDisplayTimer, ExpiryWaitsForARunningCommand) {
    TerminalBench bench;
    bench.Terminal(Show("A", 1));
    // INPUT without keys runs 15 s; the timer runs out meanwhile and its blanking has to wait.
    EXPECT_EQ(bench.Terminal(Hex("20 16 50 02 00")).Answer(), Hex("64 00"));
    EXPECT_TRUE(Eventually([&] { return bench.Displays().size() == 5; }));
    const auto log = bench.Reader().DisplayLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].Text(), "A");
    for (size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].Text(), kBlank);
    EXPECT_GE(log[4].time, log[3].time);
    EXPECT_GE(log[3].time - log[0].time, 15 * kSecond);
}

// An expiry still on its way when the next command starts is honoured before that command, so
// a late blanking never wipes out the new text.
TEST(TerminalDisplayTimer, PendingExpiryGoesBeforeTheNextCommand) {
    TerminalBench bench;
    bench.Terminal(Show("A", 1));
    PKMUTEX mutex = &bench.R()->DeviceControlMutex;
    KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);  // as a long request
    Advance(kSecond);
    SettleTimers();
    EXPECT_EQ(Peek(&bench.R()->DisplayWorkQueued), 1);
    EXPECT_EQ(bench.Terminal(Show("B")).Answer(), Hex("90 00"));  // the mutex is recursive
    KeReleaseMutex(mutex, FALSE);
    EXPECT_TRUE(Eventually([&] { return Peek(&bench.R()->DisplayWorkRefs) == 1; }));
    EXPECT_EQ(bench.Displays(), (std::vector<std::string>{"A", kBlank, "B"}));
}

TEST(TerminalDisplayTimer, WithoutWorkItemTheNextCommandBlanks) {
    BenchOptions o;
    o.workItem = false;
    TerminalBench bench(o);
    bench.Terminal(Show("A", 2));
    Advance(2 * kSecond);
    SettleTimers();
    EXPECT_EQ(Peek(&bench.R()->DisplayExpired), 1);
    EXPECT_EQ(bench.Displays(), (std::vector<std::string>{"A"}));
    bench.Rig().ClearWire();
    EXPECT_EQ(bench.Terminal(Hex("20 13 00 81")).Answer(), Hex("81 03 01 40 50 90 00"));
    EXPECT_EQ(bench.Rig().HostCodes(), (Bytes{10, 11}));
    EXPECT_EQ(bench.Displays(), (std::vector<std::string>{kBlank}));
    EXPECT_EQ(Peek(&bench.R()->DisplayExpired), 0);
}

TEST(TerminalDisplayTimer, StoppedReaderIsLeftAlone) {
    TerminalBench bench;
    bench.Terminal(Show("A", 1));
    KeClearEvent(&bench.Dx()->ReaderStarted);
    Advance(kSecond);
    SettleTimers();
    EXPECT_TRUE(Eventually([&] { return Peek(&bench.R()->DisplayWorkQueued) == 0; }));
    EXPECT_TRUE(Eventually([&] { return Peek(&bench.R()->DisplayWorkRefs) == 1; }));
    EXPECT_EQ(bench.Displays(), (std::vector<std::string>{"A"}));
    EXPECT_EQ(Peek(&bench.R()->DisplayExpired), 0);
}

TEST(TerminalDisplayTimer, ShutdownWaitsForTheExpiry) {
    auto bench = std::make_unique<TerminalBench>();
    bench->Terminal(Show("A", 1));
    PKMUTEX mutex = &bench->R()->DeviceControlMutex;
    std::atomic<bool> held{false};
    std::atomic<bool> released{false};
    std::thread holder([&] {
        KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        released = true;
        KeReleaseMutex(mutex, FALSE);
    });
    ASSERT_TRUE(Eventually([&] { return held.load(); }));
    Advance(kSecond);
    SettleTimers();
    EXPECT_EQ(Peek(&bench->R()->DisplayWorkQueued), 1);  // queued, waiting for the mutex
    bench.reset();  // TerminalShutdown: waits until the work item is done with the records
    EXPECT_TRUE(released.load());
    holder.join();
}

TEST(TerminalDisplayTimer, ShutdownWithoutInitialisationOrRecord) {
    TerminalBench bench;
    READER_EXTENSION fresh;
    std::memset(&fresh, 0, sizeof(fresh));
    PREADER_EXTENSION r = bench.Ext()->ReaderExtension;
    bench.Ext()->ReaderExtension = &fresh;
    TerminalShutdown(bench.Ext());  // never initialised: returns at once
    bench.Ext()->ReaderExtension = nullptr;
    TerminalShutdown(bench.Ext());
    bench.Ext()->ReaderExtension = r;
}

TEST(TerminalSelectProtocol, SetsTheSelectedProtocolAndTellsTheReader) {
    struct Case {
        const char* data;
        ULONG before;
        ULONG after;
        std::vector<Bytes> setProtocol;  // data of the RC_SET_PROTOCOL frames
    };
    const Case cases[] = {
        {"22 01 02", 0, SCARD_PROTOCOL_T1, {{0x01}}},
        {"22 01 01", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0, {{0x00}}},
        {"22 01 05", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1, {{0x01}}},
        {"22 01 05", 0, 0, {}},  // the reader cannot be told of no protocol
        {"22 01 01 22 01 02", 0, SCARD_PROTOCOL_T1, {{0x00}, {0x01}}},
        {"22 00", SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, {{0x00}}},
        {"50 01 41", SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, {}},
        {"22 02 02", SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, {}},  // value past the data
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        TerminalBench bench;
        bench.Ext()->CardCapabilities.Protocol.Selected = c.before;
        const Completion done = bench.Terminal(Apdu(0x80, 0x60, 0x00, 0x00, Hex(c.data)), 16);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(done.information, 0u);
        EXPECT_EQ(bench.Ext()->CardCapabilities.Protocol.Selected, c.after);
        std::vector<Bytes> sent;
        for (const auto& f : bench.FramesOf(5)) sent.push_back(f.data);
        EXPECT_EQ(sent, c.setProtocol);
    }
}

}  // namespace
}  // namespace quor::test
