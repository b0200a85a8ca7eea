// Transmission through the library's dispatcher: T=0 command cases, T=1 chaining both ways,
// waiting-time extensions and error recovery, the repeat rules counted on the wire, the PIN-pad
// frames, and the requests the dispatcher refuses before the reader is involved.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/card/card_bench.h"

namespace {

using quor::serial::PortFault;
using quor::sim::DualCard;
using quor::sim::Fault;
using quor::sim::T0Card;
using quor::sim::T1Card;
using quor::test::Bytes;
using quor::test::CardBench;
using quor::test::Cat;
using quor::test::Hex;
using quor::test::Le32;

const Bytes kSelectMf = Hex("00 A4 00 0C 02 3F 00");
const Bytes kSelect2F00 = Hex("00 A4 00 0C 02 2F 00");
const Bytes kRead2F00 = Hex("00 B0 00 00 08");
const Bytes kEmulated = Cat(Bytes{'E', 'M', 'U', 'L', 'A', 'T', 'E', 'D'}, Hex("90 00"));

std::shared_ptr<T1Card> T1With(quor::sim::T1Settings t1) {
    T1Card::Options o;
    o.t1 = t1;
    return std::make_shared<T1Card>(o);
}
quor::sim::T1Settings SmallIfsc() {
    quor::sim::T1Settings t1;
    t1.ifsc = 16;
    return t1;
}

// A powered card, and for T=1 a first exchange so that the IFSD has been announced.
void Ready(CardBench& b, bool announceIfsd = true) {
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(b.State(), SCARD_SPECIFIC);
    if (announceIfsd && b.Selected() == SCARD_PROTOCOL_T1) {
        ASSERT_EQ(b.Exchange(kSelectMf), Hex("90 00"));
    }
    b.Rig().ClearWire();
    kclock::ClearPauses();
}

// The host's T=1 blocks on the wire: "I" (with "+" when chained), "R" and its error code,
// or the PCB of an S-block.
std::string HostBlocks(CardBench& b) {
    std::string kinds;
    for (const Bytes& block : b.FrameData(8)) {
        const UCHAR pcb = block.at(1);
        if (!kinds.empty()) kinds += ' ';
        if ((pcb & 0x80) == 0) {
            kinds += (pcb & 0x20) ? "I+" : "I";
        } else if ((pcb & 0xC0) == 0x80) {
            kinds += "R" + std::to_string(pcb & 0x03);
        } else {
            char text[3];
            std::snprintf(text, sizeof(text), "%02X", pcb);
            kinds += text;
        }
    }
    return kinds;
}

struct T0Step {
    const char* apdu;
    const char* answer;
    const char* tpdu;  // bytes of the exchange frame
};

TEST(CardTransmit, T0CommandCases) {
    // clang-format off
    const T0Step steps[] = {
        {"00 A4 08 0C 04 50 00 50 01", "90 00",             "00 A4 08 0C 04 50 00 50 01"},  // case 3
        {"00 B0 00 00 04",             "00 01 02 03 90 00", "00 B0 00 00 04"},              // case 2
        {"00 D6 00 00 02 AA BB",       "69 82",             "00 D6 00 00 02 AA BB"},
        {"00 20 00 01",                "63 C3",             "00 20 00 01 00"},              // case 1
        {"00 20 00 01 04 31 32 33 34", "90 00",             "00 20 00 01 04 31 32 33 34"},
        {"00 D6 00 00 02 AA BB",       "90 00",             "00 D6 00 00 02 AA BB"},
        {"00 B0 00 00 02",             "AA BB 90 00",       "00 B0 00 00 02"},
        {"00 B0 00 00 00",             "6C 20",             "00 B0 00 00 00"},
    };
    // clang-format on
    auto card = std::make_shared<T0Card>();
    CardBench b(card);
    Ready(b);
    for (const auto& s : steps) {
        SCOPED_TRACE(s.apdu);
        b.Rig().ClearWire();
        EXPECT_EQ(b.Exchange(Hex(s.apdu)), Hex(s.answer));
        EXPECT_EQ(b.FrameData(8), std::vector<Bytes>{Hex(s.tpdu)});
    }

    // Case 4: Le is not sent, the card's 61xx goes back to the caller, and GET RESPONSE
    // fetches the answer.
    b.Rig().ClearWire();
    const Bytes more = b.Exchange(Hex("00 A4 08 00 04 50 00 50 01 00"));
    EXPECT_EQ(b.FrameData(8), std::vector<Bytes>{Hex("00 A4 08 00 04 50 00 50 01")});
    ASSERT_EQ(more.size(), 2u);
    ASSERT_EQ(more[0], 0x61);
    const Bytes fci = b.Exchange(Bytes{0x00, 0xC0, 0x00, 0x00, more[1]});
    ASSERT_EQ(fci.size(), more[1] + 2u);
    EXPECT_EQ(fci.front(), 0x6F);
    EXPECT_EQ(Bytes(fci.end() - 2, fci.end()), Hex("90 00"));
}

TEST(CardTransmit, T1ChainsBothWays) {
    auto card = T1With(SmallIfsc());
    CardBench b(card);
    Ready(b);
    ASSERT_EQ(b.Exchange(Hex("00 A4 00 0C 02 50 00")), Hex("90 00"));
    ASSERT_EQ(b.Exchange(Cat(Hex("00 20 00 81 08"), Bytes{'8', '7', '6', '5', '4', '3', '2', '1'})),
              Hex("90 00"));
    ASSERT_EQ(b.Exchange(Hex("00 A4 02 0C 02 50 02")), Hex("90 00"));

    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i) data[i] = UCHAR(0xFF - i);
    b.Rig().ClearWire();
    EXPECT_EQ(b.Exchange(Cat(Hex("00 D6 00 00 C8"), data)), Hex("90 00"));
    // 205 bytes in blocks of at most IFSC 16: twelve chained blocks and the last one.
    EXPECT_EQ(HostBlocks(b), "I+ I+ I+ I+ I+ I+ I+ I+ I+ I+ I+ I+ I");
    for (const Bytes& block : b.FrameData(8)) EXPECT_LE(block.at(2), 16);

    // 256 bytes and SW1 SW2 are more than the IFSD of 254: the card chains its answer.
    b.Rig().ClearWire();
    Bytes expected = data;
    for (size_t i = data.size(); i < 256; ++i) expected.push_back(UCHAR(i));
    EXPECT_EQ(b.Exchange(Hex("00 B0 00 00 00")), Cat(expected, Hex("90 00")));
    EXPECT_EQ(HostBlocks(b), "I R0");
    auto content = card->FileContent(0x5002);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 200), data);
}

struct WtxCase {
    const char* name;
    UCHAR model;
    quor::sim::T1Settings t1;
    UCHAR multiplier;
    std::vector<Bytes> waitTimes;  // data of the RC_SET_WAIT_TIME frames
};

TEST(CardTransmit, WaitingTimeExtension) {
    quor::sim::T1Settings longWait;
    longWait.bwi = 9;
    const WtxCase cases[] = {
        {"BWI 4 at 4000 kHz", quor::test::kModel4000, {}, 2, {Hex("01 1E"), Hex("02 3C")}},
        // 12288 x 6 does not fit 16 bits: the reader gets the longest wait, not a short one.
        {"BWI 9 at 3000 kHz", quor::test::kModel3000, longWait, 6, {Hex("30 00"), Hex("FF FF")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = T1With(c.t1);
        CardBench b(card, c.model);
        Ready(b);
        ASSERT_EQ(b.Exchange(kSelect2F00), Hex("90 00"));
        card->SetSlowCommand(0xB0, 1, c.multiplier);
        b.Rig().ClearWire();
        kclock::ClearPauses();

        EXPECT_EQ(b.Exchange(kRead2F00), kEmulated);
        EXPECT_EQ(card->WtxRequestsSent(), 1);
        EXPECT_EQ(b.FrameData(4), c.waitTimes);
        EXPECT_EQ(HostBlocks(b), "I E3");  // the command, then S(WTX response)

        // No sleep of Wtx x BWT: the read that follows the S(WTX response) may wait that much
        // longer and returns as soon as the answer is there; then the time-out is put back.
        const kclock::Ticks sleep = 10LL * c.multiplier * b.Ext()->CardCapabilities.T1.BWT;
        for (const auto& p : kclock::Pauses()) EXPECT_NE(p.duration, sleep);
        const ULONG base = b.R()->SerialConfigData.Timeouts.ReadTotalTimeoutConstant;
        const ULONG extra = static_cast<ULONG>((sleep / 10 + 999) / 1000);  // milliseconds
        std::vector<ULONG> totals;
        for (const auto& q : b.Rig().Port().Requests()) {
            if (q.ioctl != IOCTL_SERIAL_SET_TIMEOUTS) continue;
            SERIAL_TIMEOUTS t;
            std::memcpy(&t, q.input.data(), sizeof(t));
            totals.push_back(t.ReadTotalTimeoutConstant);
        }
        EXPECT_EQ(totals, (std::vector<ULONG>{base + extra, base}));
    }
}

struct RecoveryCase {
    const char* name;
    std::function<void(T1Card&)> fault;
    const char* hostBlocks;
};

TEST(CardTransmit, T1RecoversLostAndDamagedBlocks) {
    const RecoveryCase cases[] = {
        // The reader reports no answer: the same block goes again.
        {"block lost on the way in", [](T1Card& c) { c.DropCommands(); }, "I I"},
        // The card ran the command; the host's repeat is out of sequence, the card says so,
        // and the host's R-block fetches the answer.
        {"answer lost", [](T1Card& c) { c.DropAnswers(); }, "I I R2"},
        {"answer damaged", [](T1Card& c) { c.CorruptEdc(); }, "I R1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = std::make_shared<T1Card>();
        CardBench b(card);
        Ready(b);
        ASSERT_EQ(b.Exchange(kSelect2F00), Hex("90 00"));
        c.fault(*card);
        b.Rig().ClearWire();
        EXPECT_EQ(b.Exchange(kRead2F00), kEmulated);
        EXPECT_EQ(HostBlocks(b), c.hostBlocks);
        EXPECT_EQ(b.Exchange(kRead2F00), kEmulated);  // in step again
    }
}

TEST(CardTransmit, T1ResynchronisesAndStartsTheChainOver) {
    auto card = T1With(SmallIfsc());
    CardBench b(card);
    Ready(b);
    ASSERT_EQ(b.Exchange(Hex("00 20 00 01 04 31 32 33 34")), Hex("90 00"));
    ASSERT_EQ(b.Exchange(Hex("00 A4 08 0C 04 50 00 50 01")), Hex("90 00"));
    card->AnswerGarbage(4);
    b.Rig().ClearWire();
    const Bytes data(20, 0x5C);
    EXPECT_EQ(b.Exchange(Cat(Hex("00 D6 00 00 14"), data)), Hex("90 00"));
    // Noise for the first block and three repeats: S(RESYNCH), S(IFS) again, the whole chain.
    EXPECT_EQ(HostBlocks(b), "I+ R1 R1 R1 C0 C1 I+ I");
    const Bytes content = card->FileContent(0x5001);
    EXPECT_EQ(Bytes(content.begin(), content.begin() + 20), data);
}

struct RetryCase {
    const char* name;
    bool t1;
    std::function<void(CardBench&)> arrange;
    size_t frames;  // exchange frames on the wire
    NTSTATUS status;
};

TEST(CardTransmit, RepeatRules) {
    const auto reader = [](Fault f) { return [f](CardBench& b) { b.Reader().InjectFault(8, f); }; };
    const RetryCase cases[] = {
        {"T=0 0x91 every time", false, reader(Fault::ErrorStatus(0x11).Always()), 4,
         STATUS_IO_TIMEOUT},
        {"T=0 0x91 three times", false, reader(Fault::ErrorStatus(0x11).Times(3)), 4,
         STATUS_SUCCESS},
        {"T=0 0x93", false, reader(Fault::ErrorStatus(0x13)), 1, STATUS_IO_TIMEOUT},
        {"T=0 0x80", false, reader(Fault::ErrorStatus(0x00)), 1, STATUS_IO_TIMEOUT},
        // A reply that does not come is followed by a short status request: a reader that
        // answers it gets the frame again, a silent one no repeat at all.
        {"T=0 frame lost three times", false, reader(Fault::NoReply().Times(3)), 4, STATUS_SUCCESS},
        {"T=0 frame lost every time", false, reader(Fault::NoReply().Always()), 4,
         STATUS_IO_TIMEOUT},
        {"T=0 read times out, the reader still answers", false,
         [](CardBench& b) { b.Rig().Port().AddFault(PortFault::ReadTimeout(1)); }, 2,
         STATUS_SUCCESS},
        {"T=0 silent port", false,
         [](CardBench& b) { b.Rig().Port().AddFault(PortFault::ReadTimeout(4)); }, 1,
         STATUS_IO_TIMEOUT},
        {"T=0 silent reader", false, [](CardBench& b) { b.Reader().SetSilent(true); }, 1,
         STATUS_IO_TIMEOUT},
        {"T=1 silent reader", true, [](CardBench& b) { b.Reader().SetSilent(true); }, 0,
         STATUS_IO_TIMEOUT},
        {"T=0 reply checksum bad", false, reader(Fault::BadChecksum()), 1, STATUS_DATA_ERROR},
        {"T=1 0x93 with reply data", true, reader(Fault::StatusByte(0x93)), 1,
         STATUS_DEVICE_PROTOCOL_ERROR},
        {"T=1 0x91 without data once", true, reader(Fault::ErrorStatus(0x11)), 2, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench b(c.t1 ? std::shared_ptr<quor::sim::Card>(std::make_shared<T1Card>())
                         : std::make_shared<T0Card>());
        Ready(b);
        c.arrange(b);
        EXPECT_EQ(b.Transmit(b.Selected(), kSelectMf).status, c.status);
        EXPECT_EQ(b.FrameData(8).size(), c.frames);
    }
}

// A reader gone mute in the middle of a session is found out within one read time-out and a
// short status request: no repeats, no card-level recovery blocks, no four power-up attempts.
TEST(CardTransmit, SilentReaderFailsWithinFifteenSeconds) {
    const struct {
        const char* name;
        bool t1;
        bool power;  // a power-up instead of a transmission
    } rows[] = {
        {"T=0 transmit", false, false}, {"T=1 transmit", true, false}, {"power-up", true, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CardBench b(row.t1 ? std::shared_ptr<quor::sim::Card>(std::make_shared<T1Card>())
                           : std::make_shared<T0Card>());
        Ready(b);
        b.Reader().SetSilent(true);
        const kclock::Ticks start = kclock::Now();
        const NTSTATUS status = row.power ? b.Power(SCARD_COLD_RESET).status
                                          : b.Transmit(b.Selected(), kSelectMf).status;
        EXPECT_EQ(status, STATUS_IO_TIMEOUT);
        EXPECT_LT(kclock::Now() - start, 15 * kclock::kTicksPerSecond);
        b.Reader().SetSilent(false);
        if (!row.power) {
            EXPECT_EQ(b.Exchange(kSelectMf), Hex("90 00"));  // and then it goes on
        }
    }
}

TEST(CardTransmit, T1RepeatsShareOneBudgetAcrossTheChain) {
    auto card = T1With(SmallIfsc());
    CardBench b(card);
    Ready(b);
    ASSERT_EQ(b.Exchange(Hex("00 20 00 01 04 31 32 33 34")), Hex("90 00"));
    ASSERT_EQ(b.Exchange(Hex("00 A4 08 0C 04 50 00 50 01")), Hex("90 00"));
    b.Rig().ClearWire();
    // Three blocks: the second is answered "no answer" once, the last three times. After the
    // second block's repeat only two are left, so the last block's third failure goes to the
    // library's recovery, whose R-block makes the card ask for that block again.
    b.Reader().InjectFault(8, Fault::Delay(0));
    b.Reader().InjectFault(8, Fault::ErrorStatus(0x11));
    b.Reader().InjectFault(8, Fault::Delay(0));
    b.Reader().InjectFault(8, Fault::ErrorStatus(0x11).Times(3));
    const Bytes data(32, 0x77);
    EXPECT_EQ(b.Exchange(Cat(Hex("00 D6 00 00 20"), data)), Hex("90 00"));
    EXPECT_EQ(HostBlocks(b), "I+ I+ I+ I I I R2 I");
    const Bytes content = card->FileContent(0x5001);
    EXPECT_EQ(content, data);
}

// Calls ReaderTransmit as the PIN commands do: with IoRequest pointing at their own request.
struct PinCall {
    Bytes request;
    Bytes reply = Bytes(300, 0);
    ULONG information = 0;

    NTSTATUS Run(CardBench& b, ULONG mode, const Bytes& apdu) {
        request = Cat(Cat(Le32(b.Selected()), Le32(8)), apdu);
        auto& io = b.Ext()->IoRequest;
        io.RequestBuffer = request.data();
        io.RequestBufferLength = ULONG(request.size());
        io.ReplyBuffer = reply.data();
        io.ReplyBufferLength = ULONG(reply.size());
        io.Information = &information;
        PREADER_EXTENSION r = b.R();
        r->PinMode = mode;
        r->PinParameters[0] = 0x52;
        r->PinParameters[1] = 0x05;
        r->PinParameters[2] = 0x09;
        r->PinTimeout = 31000;
        r->SavedReplyLength = 0;
        const NTSTATUS status = ReaderTransmit(b.Ext());
        r->PinMode = PIN_MODE_NONE;
        std::memset(&io, 0, sizeof(io));
        return status;
    }
};

struct PinCase {
    const char* name;
    bool t1;
    bool announceIfsd;
    ULONG mode;
    std::vector<Fault> faults;  // on the PIN frame, one after the other
    const char* trace;
    const char* header;
    size_t prologue;  // bytes between the header and the APDU
    NTSTATUS status;
    std::vector<ULONG> totalTimeouts;  // ReadTotalTimeoutConstant of each time-out setting
};

TEST(CardTransmit, PinFrames) {
    const Fault answered = Fault::Answer({0x90, 0x00}, 0x60);
    const PinCase cases[] = {
        {"verify over T=1",
         true,
         true,
         PIN_MODE_VERIFY,
         {answered},
         "purge 04 timeouts 0F timeouts",
         "52 08",
         3,
         STATUS_SUCCESS,
         {31000, 5000}},
        // The S(IFS request) that opens the session carries no header.
        {"verify over T=1, IFSD not yet announced",
         true,
         false,
         PIN_MODE_VERIFY,
         {answered},
         "purge 04 08 purge 04 timeouts 0F timeouts",
         "52 08",
         3,
         STATUS_SUCCESS,
         {31000, 5000}},
        {"verify over T=1, first pass repeated",
         true,
         true,
         PIN_MODE_VERIFY,
         {Fault::NoReply(), answered},
         // The reader answers the short status request, so the frame is sent again.
         "purge 04 timeouts 0F timeouts 0B timeouts purge 04 timeouts 0F timeouts",
         "52 08",
         3,
         STATUS_SUCCESS,
         {31000, 1000, 31000, 31000, 5000}},
        {"modify over T=0",
         false,
         true,
         PIN_MODE_MODIFY,
         {answered},
         "purge timeouts 14 timeouts",
         "52 05 09",
         0,
         STATUS_SUCCESS,
         {31000, 5000}},
        {"verify over T=0",
         false,
         true,
         PIN_MODE_VERIFY,
         {answered},
         "purge timeouts 0F timeouts",
         "52 05",
         0,
         STATUS_SUCCESS,
         {31000, 5000}},
    };
    const Bytes apdu = Hex("00 20 00 01 08 FF FF FF FF FF FF FF FF");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench b(c.t1 ? std::shared_ptr<quor::sim::Card>(std::make_shared<T1Card>())
                         : std::make_shared<T0Card>());
        Ready(b, c.announceIfsd);
        const UCHAR code = c.mode == PIN_MODE_VERIFY ? 15 : 20;
        for (const Fault& f : c.faults) b.Reader().InjectFault(code, f);
        PinCall call;
        EXPECT_EQ(call.Run(b, c.mode, apdu), c.status);
        EXPECT_EQ(b.Trace(), c.trace);

        const Bytes header = Hex(c.header);
        for (const Bytes& frame : b.FrameData(code)) {
            ASSERT_EQ(frame.size(), header.size() + c.prologue + apdu.size() + (c.t1 ? 1 : 0));
            EXPECT_EQ(Bytes(frame.begin(), frame.begin() + long(header.size())), header);
            const auto body = frame.begin() + long(header.size() + c.prologue);
            EXPECT_EQ(Bytes(body, body + long(apdu.size())), apdu);
        }
        std::vector<ULONG> totals;
        for (const auto& t : b.TimeoutsSent()) totals.push_back(t.ReadTotalTimeoutConstant);
        EXPECT_EQ(totals, c.totalTimeouts);
        EXPECT_EQ(b.Rig().Port().Timeouts().ReadTotalTimeoutConstant, 5000u);
        if (c.t1) {
            // The reader's own two bytes are the answer; the library's reply processing is
            // not run.
            EXPECT_EQ(Bytes(b.R()->SavedReply, b.R()->SavedReply + b.R()->SavedReplyLength),
                      Hex("90 00"));
            EXPECT_EQ(call.information, 0u);
        } else {
            EXPECT_EQ(Bytes(call.reply.begin() + 8, call.reply.begin() + long(call.information)),
                      Hex("90 00"));
        }
    }
}

TEST(CardTransmit, FailedPinReadsAreNotAReply) {
    // Every reply to the PIN frame starts with a bad marker: only its two-byte head is read,
    // and that must not pass for the reader's two-byte answer.
    CardBench b(std::make_shared<T1Card>());
    Ready(b);
    b.Reader().InjectFault(15, Fault::FirstByte(0x41).Always());
    PinCall call;
    EXPECT_NE(call.Run(b, PIN_MODE_VERIFY, Hex("00 20 00 01 08 FF FF FF FF FF FF FF FF")),
              STATUS_SUCCESS);
    EXPECT_EQ(b.R()->SavedReplyLength, 0u);
    EXPECT_EQ(b.Rig().Port().Timeouts().ReadTotalTimeoutConstant, 5000u);
}

TEST(CardTransmit, NoProtocolSelected) {
    CardBench b(std::make_shared<T0Card>());
    Ready(b);
    b.Ext()->CardCapabilities.Protocol.Selected = 0;
    PinCall call;
    EXPECT_EQ(call.Run(b, PIN_MODE_NONE, kSelectMf), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(b.Trace(), "purge");
}

struct RefusalCase {
    const char* name;
    std::function<std::shared_ptr<quor::sim::Card>()> make;
    std::function<quor::test::IoResult(CardBench&)> send;
    NTSTATUS status;
};

TEST(CardTransmit, DispatcherRefusals) {
    const auto t1 = [] { return std::make_shared<T1Card>(); };
    const RefusalCase cases[] = {
        {"header names T=0", t1,
         [](CardBench& b) { return b.Transmit(SCARD_PROTOCOL_T0, kSelectMf); },
         STATUS_INVALID_DEVICE_REQUEST},
        {"three-byte APDU", t1,
         [](CardBench& b) { return b.Transmit(SCARD_PROTOCOL_T1, Hex("00 A4 00")); },
         STATUS_INVALID_PARAMETER},
        {"no card", t1,
         [](CardBench& b) {
             b.Reader().RemoveCard();
             EXPECT_EQ(UpdateCardStatus(b.Ext()), STATUS_SUCCESS);
             b.Rig().ClearWire();
             return b.Transmit(SCARD_PROTOCOL_T1, kSelectMf);
         },
         STATUS_NO_MEDIA},
        {"card still negotiable", [] { return std::make_shared<DualCard>(); },
         [](CardBench& b) { return b.Transmit(SCARD_PROTOCOL_Tx, kSelectMf); },
         STATUS_INVALID_DEVICE_STATE},
        {"power action 3", t1, [](CardBench& b) { return b.Power(3); },
         STATUS_INVALID_DEVICE_REQUEST},
        {"protocol mask 0", t1, [](CardBench& b) { return b.SetProtocol(0); },
         STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = c.make();
        CardBench b(card);
        ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        b.Rig().ClearWire();
        const Bytes atr = b.Atr();
        EXPECT_EQ(c.send(b).status, c.status);
        EXPECT_EQ(b.Trace(), "");
        if (b.State() > SCARD_ABSENT) {
            EXPECT_EQ(b.Atr(), atr);
        }
    }
}

}  // namespace
