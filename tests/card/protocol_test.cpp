// Protocol selection through the library's dispatcher: the negotiation on the wire, the
// protocol already in force, the refusals, and the serial read time-outs each path leaves.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "tests/card/card_bench.h"

namespace {

using quor::sim::DualCard;
using quor::sim::Fault;
using quor::sim::T0Card;
using quor::sim::T1Card;
using quor::test::Bytes;
using quor::test::CardBench;
using quor::test::Hex;
using quor::test::Le32;

// T=1 parameters whose time-outs stay clear of the minimums at 4000 kHz:
// CWT = (11 + 2^15) x 93 us = 3048447 us, BWT = 11 x 93 + 2^7 x 89280 us = 11428863 us.
quor::sim::T1Settings SlowT1() {
    quor::sim::T1Settings t1;
    t1.bwi = 7;
    t1.cwi = 15;
    return t1;
}
std::shared_ptr<DualCard> SlowDual() {
    DualCard::Options o;
    o.t1 = SlowT1();
    return std::make_shared<DualCard>(o);
}
std::shared_ptr<T1Card> SlowT1Card() {
    T1Card::Options o;
    o.t1 = SlowT1();
    return std::make_shared<T1Card>(o);
}

// The card is powered; a T=0-only card is then put back into the negotiable state by hand, as
// if its ATR had left the choice open.
void Negotiable(CardBench& b) {
    b.Ext()->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
    b.Ext()->CardCapabilities.Protocol.Selected = 0;
    b.R()->ProtocolSetByDriver = 0;
}

struct SelectCase {
    const char* name;
    std::function<std::shared_ptr<quor::sim::Card>()> make;
    std::function<void(CardBench&)> arrange;
    ULONG mask;
    ULONG selected;
    const char* trace;
    std::vector<Bytes> protocolBytes;  // data of the RC_SET_PROTOCOL frames
    bool pps;
    ULONG interval, constant;
    std::optional<ULONG> multiplier;  // nullopt: left as it was
};

TEST(CardProtocol, SelectionOnTheWire) {
    const auto none = [](CardBench&) {};
    const auto t0 = [] { return std::make_shared<T0Card>(); };
    const auto pps = [](CardBench& b) { b.Reader().InjectFault(8, Fault::ErrorStatus(0x11)); };
    const auto wt960000 = [](CardBench& b) { b.Ext()->CardCapabilities.T0.WT = 960000; };
    const std::optional<ULONG> kept;
    // T=0 at 4000 kHz: WT = 960 x 10 x 372 / 4000 kHz = 892800 us.
    // clang-format off
    const SelectCase cases[] = {
        {"dual, T=0 or T=1", SlowDual, none, 3, 2, "purge 02 05 08 05 timeouts",
         {{0x02}, {0x01}}, true, 3048, 12428, kept},
        {"dual, T=1", SlowDual, none, 2, 2, "purge 02 05 08 05 timeouts",
         {{0x02}, {0x01}}, true, 3048, 12428, kept},
        {"dual, T=0", SlowDual, none, 1, 1, "purge 02 05 05 timeouts",
         {{0x02}, {0x00}}, false, 1000, 27760, kept},
        {"dual, PPS refused by the reader", SlowDual, pps, 2, 2, "purge 02 05 08 05 timeouts",
         {{0x02}, {0x01}}, true, 3048, 12428, kept},
        // Of T=0 and T=1, a card offering only T=0 gets T=0 and no T=1 PPS.
        {"T=0-only card, T=0 or T=1", t0, Negotiable, 3, 1, "purge 02 05 05 timeouts",
         {{0x02}, {0x00}}, false, 1000, 27760, kept},
        {"T=1 already selected", SlowT1Card, none, 3, 2, "timeouts", {}, false, 3048, 12428, kept},
        {"T=0 already selected", t0, wt960000, 1, 1, "timeouts", {}, false, 1000, 10600, 960},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = c.make();
        CardBench b(card);
        ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        c.arrange(b);
        b.Rig().ClearWire();
        const ULONG multiplierBefore = b.R()->SerialConfigData.Timeouts.ReadTotalTimeoutMultiplier;

        const auto r = b.SetProtocol(c.mask);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.Answer(), Le32(c.selected));
        EXPECT_EQ(b.Selected(), c.selected);
        EXPECT_EQ(b.State(), SCARD_SPECIFIC);
        EXPECT_EQ(b.Trace(), c.trace);
        EXPECT_EQ(b.FrameData(5), c.protocolBytes);
        EXPECT_EQ(b.FrameData(8),
                  c.pps ? std::vector<Bytes>{Hex("FF 11 11 FF")} : std::vector<Bytes>{});
        const SERIAL_TIMEOUTS t = b.Rig().Port().Timeouts();
        EXPECT_EQ(t.ReadIntervalTimeout, c.interval);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, c.constant);
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, c.multiplier.value_or(multiplierBefore));
    }
}

TEST(CardProtocol, NegotiatedProtocolCarriesApdus) {
    DualCard::Options strict;  // answers only in the protocol in force
    strict.strict = true;
    auto card = std::make_shared<DualCard>(strict);
    CardBench b(card);
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(b.SetProtocol(SCARD_PROTOCOL_Tx).status, STATUS_SUCCESS);
    EXPECT_EQ(card->NegotiatedProtocol(), std::optional<std::uint8_t>(1));
    EXPECT_EQ(b.Reader().Protocol(), 1);
    EXPECT_EQ(b.Exchange(Hex("00 A4 00 0C 02 2F 00")), Hex("90 00"));
}

struct RefusalCase {
    const char* name;
    std::function<void(CardBench&)> arrange;
    ULONG mask;
    NTSTATUS status;
    ULONG state;
};

TEST(CardProtocol, RefusalsSendNothing) {
    const RefusalCase cases[] = {
        {"card swallowed",
         [](CardBench& b) { ASSERT_EQ(b.Power(SCARD_POWER_DOWN).status, STATUS_SUCCESS); }, 3,
         STATUS_INVALID_DEVICE_STATE, SCARD_SWALLOWED},
        {"no protocol", [](CardBench&) {}, 0, STATUS_INVALID_DEVICE_REQUEST, SCARD_SPECIFIC},
        {"T=1 from a T=0-only card", Negotiable, 2, STATUS_NOT_SUPPORTED, SCARD_NEGOTIABLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench b(std::make_shared<T0Card>());
        ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        c.arrange(b);
        b.Rig().ClearWire();
        EXPECT_EQ(b.SetProtocol(c.mask).status, c.status);
        EXPECT_EQ(b.Trace(), "");
        EXPECT_EQ(b.State(), c.state);
    }
}

TEST(CardProtocol, RefusalStillReportsTheSelectedProtocol) {
    CardBench b(std::make_shared<T0Card>());
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(b.Power(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
    b.Rig().ClearWire();
    Bytes request = Le32(SCARD_PROTOCOL_T1);
    Bytes reply(4, 0xEE);
    ULONG information = 99;
    auto& io = b.Ext()->IoRequest;
    io.RequestBuffer = request.data();
    io.RequestBufferLength = 4;
    io.ReplyBuffer = reply.data();
    io.ReplyBufferLength = 4;
    io.Information = &information;
    b.Ext()->MinorIoControlCode = SCARD_PROTOCOL_T1;
    EXPECT_EQ(ReaderSetProtocol(b.Ext()), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(reply, Le32(b.Selected()));
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(b.Trace(), "");
    std::memset(&io, 0, sizeof(io));
}

TEST(CardProtocol, ResetFailingFourTimesMeansNoCard) {
    CardBench b(SlowDual());
    ASSERT_EQ(b.Power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    b.Reader().InjectFault(2, Fault::ErrorStatus(0x11).Times(4));
    b.Rig().ClearWire();
    EXPECT_EQ(b.SetProtocol(SCARD_PROTOCOL_Tx).status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(b.Trace(), "purge 02 purge 02 purge 02 purge 02");
    EXPECT_EQ(b.State(), SCARD_ABSENT);
    EXPECT_TRUE(b.Atr().empty());
}

}  // namespace
