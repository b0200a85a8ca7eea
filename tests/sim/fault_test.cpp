#include "sim/fault.h"

#include <gtest/gtest.h>

#include "sim/reader.h"
#include "tests/sim/sim_helpers.h"

namespace quor::sim {
namespace {

using testing::Bytes;
using testing::Command;

const Bytes kAtrReply = {0x00, 0x05, 0x3B, 0x02, 0x14, 0x50, 0x60, 0x18};

// Each fault on one card-on frame: what reaches the host, and whether the card got powered.
TEST(sim_Fault, EachKindOnCardOn) {
    struct Case {
        Fault fault;
        Bytes reply;
        bool powered;
    };
    const Case cases[] = {
        {Fault::NoReply(), {}, true},
        {Fault::BadChecksum(), {0x00, 0x05, 0x3B, 0x02, 0x14, 0x50, 0x60, 0xE7}, true},
        {Fault::FirstByte(0x41), {0x41, 0x05, 0x3B, 0x02, 0x14, 0x50, 0x60, 0x18}, true},
        {Fault::Truncate(3), {0x00, 0x05, 0x3B}, true},
        {Fault::Truncate(50), kAtrReply, true},
        {Fault::ErrorStatus(0x13), {0x00, 0x01, 0x93, 0x92}, false},
        {Fault::StatusByte(0xE0), {0x00, 0x05, 0x3B, 0x02, 0x14, 0x50, 0xE0, 0x98}, true},
        {Fault::Answer({}, 0x60), {0x00, 0x01, 0x60, 0x61}, false},
        {Fault::Delay(700), {}, true},
        {Fault::Noise({0xFF, 0x00}),
         {0xFF, 0x00, 0x00, 0x05, 0x3B, 0x02, 0x14, 0x50, 0x60, 0x18},
         true},
        {Fault::Gap(2, 500), {0x00, 0x05}, true},
        {Fault::CardPulled(), {0x00, 0x01, 0x80, 0x81}, false},
    };
    for (const Case& c : cases) {
        const int kind = static_cast<int>(c.fault.kind);
        Reader reader;
        reader.SetRecording(true);
        reader.InsertCard(std::make_shared<AtrCard>());
        reader.InjectFault(kCodeCardOn, c.fault);
        EXPECT_EQ(Command(reader, kCodeCardOn), c.reply) << kind;
        EXPECT_EQ(reader.CardPowered(), c.powered) << kind;
        EXPECT_EQ(reader.Frames().at(0).fault, c.fault.kind) << kind;
        if (c.fault.kind == Fault::Kind::kCardPulled)
            reader.InsertCard(std::make_shared<AtrCard>());
        // With whatever the spoiled reply left on the line thrown away, the next one is normal.
        reader.HostPurge(1000);
        EXPECT_EQ(Command(reader, kCodeCardOn, {}, 1000), kAtrReply) << kind;
    }
}

TEST(sim_Fault, GapHoldsBackTheRestOfTheReply) {
    Reader reader;
    reader.InjectFault(kCodeGetStatus, Fault::Gap(1, 5000));
    reader.HostWrite(CommandFrame(kCodeGetStatus), 100);
    EXPECT_EQ(reader.HostRead(10, 200), (Bytes{0x00}));
    EXPECT_EQ(reader.NextOutputTime(200), 5100);
    EXPECT_EQ(reader.HostRead(10, 5100), (Bytes{0x01, 0x0F, 0x0E}));
}

TEST(sim_Fault, DelayShiftsTheReply) {
    ReaderConfig cfg;
    cfg.byteTime = 10;
    Reader reader(cfg);
    reader.InjectFault(kCodeGetStatus, Fault::Delay(5000));
    reader.HostWrite(CommandFrame(kCodeGetStatus), 100);
    EXPECT_EQ(reader.NextOutputTime(100), 5110);
    EXPECT_EQ(reader.HostAvailable(5139), 3u);
    EXPECT_EQ(reader.HostRead(10, 5140), (Bytes{0x00, 0x01, 0x0F, 0x0E}));
}

// Which of six get-status frames the armed faults spoil: '.' normal, 'n' no reply, 'e' error.
TEST(sim_Fault, CountsAndOrder) {
    struct Case {
        std::vector<std::pair<std::uint8_t, Fault>> armed;
        std::string expected;
    };
    const Case cases[] = {
        {{{kCodeGetStatus, Fault::NoReply()}}, "n....."},
        {{{kCodeGetStatus, Fault::NoReply().Times(3)}}, "nnn..."},
        {{{kCodeGetStatus, Fault::NoReply().Always()}}, "nnnnnn"},
        {{{kCodeGetStatus, Fault::NoReply().Times(0)}}, "......"},
        {{{kCodeGetStatus, Fault::NoReply().Times(2)}, {kCodeGetStatus, Fault::ErrorStatus(0)}},
         "nne..."},
        {{{kCodeGetInfo, Fault::NoReply().Always()}}, "......"},
    };
    for (const Case& c : cases) {
        Reader reader;
        for (const auto& [code, fault] : c.armed) reader.InjectFault(code, fault);
        std::string seen;
        for (int i = 0; i < 6; ++i) {
            const Bytes reply = Command(reader, kCodeGetStatus);
            seen += reply.empty() ? 'n' : reply[2] == 0x80 ? 'e' : '.';
        }
        EXPECT_EQ(seen, c.expected);
    }
}

TEST(sim_Fault, OnlyAnsweredGoodFramesUseUpAFault) {
    Reader reader;
    reader.InjectFault(kCodeGetStatus, Fault::NoReply().Times(2));
    reader.SetSilent(true);
    Command(reader, kCodeGetStatus);
    reader.SetSilent(false);
    EXPECT_EQ(testing::Send(reader, {0x0B, 0x00, 0x0C}), (Bytes{0x00, 0x01, 0x80, 0x81}));
    EXPECT_TRUE(Command(reader, kCodeGetStatus).empty());
    reader.ClearFaults();
    EXPECT_FALSE(Command(reader, kCodeGetStatus).empty());
}

}  // namespace
}  // namespace quor::sim
