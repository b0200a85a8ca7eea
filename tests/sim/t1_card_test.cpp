#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/processor_card.h"
#include "sim/t1_block.h"
#include "tests/sim/card_helpers.h"
#include "tests/sim/t1_host.h"

namespace quor::sim {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::T1Host;
using testing::ToHex;

TEST(sim_T1Block, CrcAndLrc) {
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(t1::Crc(check), 0x6F91);
    EXPECT_EQ(t1::Lrc(Hex("00 40 02 90 00")), 0xD2);
    EXPECT_EQ(t1::Encode({0x00, 0x40, Hex("90 00")}, t1::Edc::kLrc), Hex("00 40 02 90 00 D2"));
    const Bytes crcBlock = t1::Encode({0x00, 0xC1, {0x20}}, t1::Edc::kCrc);
    ASSERT_EQ(crcBlock.size(), 6u);
    const std::uint16_t crc = t1::Crc(Hex("00 C1 01 20"));
    EXPECT_EQ(crcBlock[4], crc >> 8);
    EXPECT_EQ(crcBlock[5], crc & 0xFF);
}

TEST(sim_T1Block, DecodeFindsBrokenBlocks) {
    struct Case {
        const char* name;
        Bytes bytes;
        t1::DecodeError error;
    };
    const Case cases[] = {
        {"good", Hex("00 40 02 90 00 D2"), t1::DecodeError::kNone},
        {"bad LRC", Hex("00 40 02 90 00 D3"), t1::DecodeError::kEdc},
        {"EDC missing", Hex("00 40 02 90 00"), t1::DecodeError::kEdc},
        {"cut short, LRC good", Hex("00 40 02 90 D2"), t1::DecodeError::kLength},
        {"LEN too large, LRC good", Hex("00 40 03 90 00 D3"), t1::DecodeError::kLength},
        {"LEN FF", Hex("00 00 FF FF"), t1::DecodeError::kLength},
        {"three bytes", Hex("00 00 00"), t1::DecodeError::kLength},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(t1::Decode(c.bytes, t1::Edc::kLrc).error, c.error) << c.name;
    }
    const t1::Decoded d = t1::Decode(Hex("21 40 02 90 00 F3"), t1::Edc::kLrc);
    EXPECT_EQ(d.block, (t1::Block{0x21, 0x40, Hex("90 00")}));
}

TEST(sim_T1Card, Atr) {
    const Bytes atr = T1Card().Atr();
    EXPECT_EQ(Bytes(atr.begin(), atr.end() - 1), Hex("3B 86 81 31 FE 45 45 4D 55 2D 54 31"));
    EXPECT_EQ(XorOf(std::span(atr).subspan(1)), 0);  // TCK
    T1Card::Options crc;
    crc.t1 = T1Settings{0x20, 7, 3, t1::Edc::kCrc};
    crc.historical = {};
    const Bytes crcAtr = T1Card::AtrFor(crc);
    EXPECT_EQ(crcAtr, Hex("3B 80 81 71 20 73 01 22"));
}

// ISO/IEC 7816-3 block sequences, one host block and the one card block that answers it per
// step. Each scenario starts with a freshly powered card (IFSC 254 unless set otherwise).
TEST(sim_T1Card, BlockSequences) {
    const T1Host b(nullptr);  // for building blocks only
    const Bytes verifyState = Hex("00 20 00 01");
    const Bytes triesLeft = Hex("63 C3");
    const Bytes selectEf = Hex("00 A4 08 0C 04 50 00 50 02");
    const Bytes read40 = Hex("00 B0 00 00 28");
    Bytes first32, next8;
    for (int i = 0; i < 32; ++i) first32.push_back(static_cast<std::uint8_t>(i));
    for (int i = 32; i < 40; ++i) next8.push_back(static_cast<std::uint8_t>(i));
    next8.insert(next8.end(), {0x90, 0x00});
    Bytes badEdc = b.Block(T1Host::I(0, false), verifyState);
    badEdc.back() ^= 0x01;

    struct Step {
        Bytes host, card;
    };
    struct Scenario {
        const char* name;
        std::function<void(T1Card::Options&)> options;
        std::function<void(T1Card&)> setup;
        std::vector<Step> steps;
    };
    const Scenario scenarios[] = {
        {"I-blocks alternate N(S)",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)},
          {b.Block(T1Host::I(1, false), verifyState), b.Block(T1Host::I(1, false), triesLeft)},
          {b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"unexpected N(S)",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(1, false), verifyState), b.Block(T1Host::R(0, 2))}}},
        {"bad EDC, then the block again",
         nullptr,
         nullptr,
         {{badEdc, b.Block(T1Host::R(0, 1))},
          {b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"LEN disagrees", nullptr, nullptr, {{Hex("00 00 05 00 20 00 01 24"), b.Block(0x82)}}},
        {"RFU bits in an I-block",
         nullptr,
         nullptr,
         {{b.Block(0x01, verifyState), b.Block(T1Host::R(0, 2))}}},
        {"I-block longer than IFSC",
         [](T1Card::Options& o) { o.t1.ifsc = 3; },
         nullptr,
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::R(0, 2))}}},
        {"host chaining",
         [](T1Card::Options& o) { o.t1.ifsc = 4; },
         nullptr,
         {{b.Block(T1Host::I(0, true), Hex("00 20 00 01")), b.Block(T1Host::R(1))},
          {b.Block(T1Host::I(1, true), Hex("04 31 32 33")), b.Block(T1Host::R(0))},
          {b.Block(T1Host::I(0, false), Hex("34")), b.Block(T1Host::I(0, false), Hex("90 00"))}}},
        {"card chaining at IFSD 32",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), selectEf), b.Block(T1Host::I(0, false), Hex("90 00"))},
          {b.Block(T1Host::I(1, false), read40), b.Block(T1Host::I(1, true), first32)},
          {b.Block(T1Host::R(0)), b.Block(T1Host::I(0, false), next8)}}},
        {"chained block asked for again",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), selectEf), b.Block(T1Host::I(0, false), Hex("90 00"))},
          {b.Block(T1Host::I(1, false), read40), b.Block(T1Host::I(1, true), first32)},
          {b.Block(T1Host::R(1, 1)), b.Block(T1Host::I(1, true), first32)},
          {b.Block(T1Host::R(0)), b.Block(T1Host::I(0, false), next8)}}},
        {"IFSD raised by S(IFS)",
         nullptr,
         nullptr,
         {{b.Block(T1Host::kIfsReq, {0x40}), b.Block(T1Host::kIfsResp, {0x40})},
          {b.Block(T1Host::I(0, false), selectEf), b.Block(T1Host::I(0, false), Hex("90 00"))},
          {b.Block(T1Host::I(1, false), Hex("00 B0 00 00 20")),
           b.Block(T1Host::I(1, false),
                   [&] {
                       Bytes all = first32;
                       all.insert(all.end(), {0x90, 0x00});
                       return all;
                   }())}}},
        {"S(IFS) 0 and FF refused",
         nullptr,
         nullptr,
         {{b.Block(T1Host::kIfsReq, {0x00}), b.Block(T1Host::R(0, 2))},
          {b.Block(T1Host::kIfsReq, {0xFF}), b.Block(T1Host::R(0, 2))},
          {b.Block(T1Host::kIfsReq, {}), b.Block(T1Host::R(0, 2))}}},
        {"last I-block sent again",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)},
          {b.Block(T1Host::R(0, 1)), b.Block(T1Host::I(0, false), triesLeft)},
          {b.Block(T1Host::R(0, 0)), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"host I-block lost: card asks for it",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)},
          {b.Block(T1Host::R(1)), b.Block(T1Host::R(1))},
          {b.Block(T1Host::I(1, false), verifyState), b.Block(T1Host::I(1, false), triesLeft)}}},
        {"first I-block lost", nullptr, nullptr, {{b.Block(T1Host::R(0)), b.Block(T1Host::R(0))}}},
        {"R-block ack of a chained host block sent again",
         [](T1Card::Options& o) { o.t1.ifsc = 4; },
         nullptr,
         {{b.Block(T1Host::I(0, true), Hex("00 20 00 01")), b.Block(T1Host::R(1))},
          {b.Block(T1Host::R(0, 1)), b.Block(T1Host::R(1))}}},
        {"slow command: WTX first",
         nullptr,
         [](T1Card& c) { c.SetSlowCommand(0x20, 2, 3); },
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::kWtxReq, {0x03})},
          {b.Block(T1Host::kWtxResp, {0x03}), b.Block(T1Host::kWtxReq, {0x03})},
          {b.Block(T1Host::R(0)), b.Block(T1Host::kWtxReq, {0x03})},
          {b.Block(T1Host::kWtxResp, {0x03}), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"WTX response with another multiplier",
         nullptr,
         [](T1Card& c) { c.SetSlowCommand(0x20, 1, 3); },
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::kWtxReq, {0x03})},
          {b.Block(T1Host::kWtxResp, {0x02}), b.Block(T1Host::R(1, 2))},
          {b.Block(T1Host::I(1, false), verifyState), b.Block(T1Host::R(1, 2))},
          {b.Block(T1Host::kWtxResp, {0x03}), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"unasked WTX response and host WTX request",
         nullptr,
         nullptr,
         {{b.Block(T1Host::kWtxResp, {0x01}), b.Block(T1Host::R(0, 2))},
          {b.Block(T1Host::kWtxReq, {0x01}), b.Block(T1Host::R(0, 2))}}},
        {"resynch",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)},
          {b.Block(T1Host::kResynchReq), b.Block(T1Host::kResynchResp)},
          {b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"abort a host chain",
         [](T1Card::Options& o) { o.t1.ifsc = 4; },
         nullptr,
         {{b.Block(T1Host::I(0, true), Hex("00 20 00 01")), b.Block(T1Host::R(1))},
          {b.Block(T1Host::kAbortReq), b.Block(T1Host::kAbortResp)},
          {b.Block(T1Host::I(1, false), verifyState), b.Block(T1Host::I(0, false), triesLeft)}}},
        {"I-block while the card chains",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), selectEf), b.Block(T1Host::I(0, false), Hex("90 00"))},
          {b.Block(T1Host::I(1, false), read40), b.Block(T1Host::I(1, true), first32)},
          {b.Block(T1Host::I(0, false), verifyState), b.Block(T1Host::R(0, 2))}}},
        {"R-block with an information field",
         nullptr,
         nullptr,
         {{b.Block(T1Host::R(0), {0x00}), b.Block(T1Host::R(0, 2))},
          {b.Block(0x83), b.Block(T1Host::R(0, 2))}}},
        {"NAD source and target swapped",
         nullptr,
         nullptr,
         {{b.Block(T1Host::I(0, false), verifyState, 0x21),
           b.Block(T1Host::I(0, false), triesLeft, 0x12)}}},
    };
    for (const Scenario& s : scenarios) {
        T1Card::Options options;
        if (s.options) s.options(options);
        T1Card card(options);
        if (s.setup) s.setup(card);
        card.PowerOn();
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const std::optional<Bytes> answer = card.Exchange(kProtocolT1, s.steps[i].host);
            EXPECT_EQ(answer, s.steps[i].card) << s.name << ", step " << i << ": " << ToHex(answer);
        }
    }
}

T1Host HostFor(ProcessorCard& card, bool crc = false, std::size_t ifsc = 254) {
    return T1Host([&card](const Bytes& block) { return card.Exchange(kProtocolT1, block); }, crc,
                  ifsc);
}

TEST(sim_T1Card, LongCommandsAndAnswersBothWays) {
    T1Card::Options options;
    options.t1.ifsc = 16;
    T1Card card(options);
    card.AddEf(0x1234, Bytes(200, 0x00), IsoApplication::kMf,
               {FileAccess::Always(), FileAccess::Always(), std::nullopt});
    card.PowerOn();
    T1Host host = HostFor(card, false, 16);
    ASSERT_EQ(host.Transmit(Hex("00 A4 00 0C 02 12 34")), Hex("90 00"));
    Bytes update = Hex("00 D6 00 00 C8");
    for (int i = 0; i < 200; ++i) update.push_back(static_cast<std::uint8_t>(i * 7));
    ASSERT_EQ(host.Transmit(update), Hex("90 00"));
    EXPECT_EQ(card.FileContent(0x1234), Bytes(update.begin() + 5, update.end()));

    host.ClearTranscript();
    const std::optional<Bytes> read = host.Transmit(Hex("00 B0 00 00 C8"));
    ASSERT_TRUE(read);
    EXPECT_EQ(Bytes(read->begin(), read->end() - 2), card.FileContent(0x1234));
    // 202 bytes at IFSD 32: seven blocks, six of them chained.
    EXPECT_EQ(host.ReceivedPcbs(), Hex("20 60 20 60 20 60 00"));
    EXPECT_EQ(host.SentPcbs(), Hex("00 90 80 90 80 90 80"));

    ASSERT_TRUE(host.SetIfsd(254));
    EXPECT_EQ(card.Ifsd(), 254u);
    host.ClearTranscript();
    ASSERT_EQ(host.Transmit(Hex("00 B0 00 00 C8")), read);
    EXPECT_EQ(host.received.size(), 1u);
}

TEST(sim_T1Card, WtxStormOfNRequests) {
    for (int n : {1, 5, 40}) {
        T1Card card;
        card.PowerOn();
        card.WtxStorm(n, 4);
        T1Host host = HostFor(card);
        EXPECT_EQ(host.Transmit(Hex("00 20 00 01")), Hex("63 C3")) << n;
        EXPECT_EQ(host.wtxAnswered, n);
        EXPECT_EQ(card.WtxRequestsSent(), n);
        host.wtxAnswered = 0;
        EXPECT_EQ(host.Transmit(Hex("00 20 00 01")), Hex("63 C3")) << n;  // storm is over
        EXPECT_EQ(host.wtxAnswered, 0);
    }
}

TEST(sim_T1Card, EndlessWtxStormEndsWithAbort) {
    T1Card card;
    card.PowerOn();
    card.WtxStorm(kAlways);
    T1Host host = HostFor(card);
    host.maxSteps = 500;
    EXPECT_EQ(host.Transmit(Hex("00 20 00 01 04 31 32 33 34")), std::nullopt);
    EXPECT_EQ(card.WtxRequestsSent(), 500);
    EXPECT_TRUE(card.PinVerified(0x01));  // carried out; only the answer is held back
    const Bytes abortResp = host.Block(T1Host::kAbortResp);
    EXPECT_EQ(host.Send(host.Block(T1Host::kAbortReq)), abortResp);
    EXPECT_EQ(host.Transmit(Hex("00 20 00 01")), Hex("90 00"));
}

}  // namespace
}  // namespace quor::sim
