#include "sim/reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "tests/sim/sim_helpers.h"

namespace quor::sim {
namespace {

using testing::Bytes;
using testing::Command;
using testing::Send;

// Answers exchanges from a queue and remembers what it was sent.
class ScriptedCard : public AtrCard {
  public:
    std::optional<Bytes> Exchange(std::uint8_t protocol,
                                  std::span<const std::uint8_t> in) override {
        protocols.push_back(protocol);
        received.emplace_back(in.begin(), in.end());
        if (answers.empty()) return std::nullopt;
        std::optional<Bytes> answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::deque<std::optional<Bytes>> answers;
    std::vector<std::uint8_t> protocols;
    std::vector<Bytes> received;
};

enum class Slot { kEmpty, kCard, kPowered };

// The key nibble idles at 0 here, so the status byte shows the card bits alone.
TEST(sim_Reader, RepliesToEachCommand) {
    struct Case {
        const char* name;
        Slot slot;
        Bytes frame, reply;
    };
    const Case cases[] = {
        {"status", Slot::kEmpty, {0x0B, 0x00, 0x0B}, {0x00, 0x01, 0x00, 0x01}},
        {"status, card", Slot::kCard, {0x0B, 0x00, 0x0B}, {0x00, 0x01, 0x40, 0x41}},
        {"card on",
         Slot::kCard,
         {0x02, 0x00, 0x02},
         {0x00, 0x05, 0x3B, 0x02, 0x14, 0x50, 0x60, 0x18}},
        {"card on, no card", Slot::kEmpty, {0x02, 0x00, 0x02}, {0x00, 0x01, 0x80, 0x81}},
        {"card off", Slot::kPowered, {0x03, 0x00, 0x03}, {0x00, 0x01, 0x40, 0x41}},
        {"reset", Slot::kPowered, {0x01, 0x00, 0x01}, {0x00, 0x01, 0x40, 0x41}},
        {"wait time", Slot::kCard, {0x04, 0x02, 0x12, 0x34, 0x20}, {0x00, 0x01, 0x40, 0x41}},
        {"wait time, 1 byte", Slot::kCard, {0x04, 0x01, 0x12, 0x17}, {0x00, 0x01, 0x80, 0x81}},
        {"protocol 3", Slot::kPowered, {0x05, 0x01, 0x03, 0x07}, {0x00, 0x01, 0x80, 0x81}},
        {"info", Slot::kCard, {0x09, 0x00, 0x09}, {0x00, 0x05, 0x02, 0x0A, 0x1F, 0x58, 0x40, 0x0A}},
        {"exchange, no card", Slot::kEmpty, {0x08, 0x01, 0x00, 0x09}, {0x00, 0x01, 0x93, 0x92}},
        {"exchange, mute card", Slot::kPowered, {0x08, 0x01, 0x00, 0x09}, {0x00, 0x01, 0x91, 0x90}},
        {"bad checksum", Slot::kCard, {0x02, 0x00, 0x03}, {0x00, 0x01, 0x80, 0x81}},
        {"code 6", Slot::kCard, {0x06, 0x00, 0x06}, {0x00, 0x01, 0x80, 0x81}},
        {"code 15", Slot::kPowered, {0x0F, 0x01, 0x00, 0x0E}, {0x00, 0x01, 0x80, 0x81}},
    };
    for (const Case& c : cases) {
        ReaderConfig cfg;
        cfg.idleKey = 0;
        Reader reader(cfg);
        if (c.slot != Slot::kEmpty) reader.InsertCard(std::make_shared<AtrCard>());
        if (c.slot == Slot::kPowered) Command(reader, kCodeCardOn);
        EXPECT_EQ(Send(reader, c.frame), c.reply) << c.name;
    }
}

TEST(sim_Reader, AssemblesBytewiseAndGivesUpStalledFrames) {
    Reader reader;
    reader.HostWrite(Bytes{0x05, 0x01}, 0);  // a frame that stalls
    const Bytes status = CommandFrame(kCodeGetStatus);
    for (std::size_t i = 0; i < status.size(); ++i) {
        EXPECT_EQ(Send(reader, {status[i]}, 50'001 + i).size(), i == 2 ? 4u : 0u);
    }
    EXPECT_EQ(reader.DroppedPartialFrames(), 1u);
    reader.HostWrite(Bytes{0x05, 0x01}, 60'000);  // a gap of exactly the time-out is fine
    EXPECT_EQ(Send(reader, {0x01, 0x05}, 110'000), (Bytes{0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(reader.Protocol(), kProtocolT1);
}

TEST(sim_Reader, LogsAreOffUntilAskedForAndKeepTheNewest) {
    Reader reader;
    Command(reader, kCodeDisplay, {'H', 'i'}, 10);
    Command(reader, kCodeGetStatus, {}, 20);
    EXPECT_TRUE(reader.WireLog().empty());
    EXPECT_TRUE(reader.Frames().empty());
    EXPECT_TRUE(reader.DisplayLog().empty());
    EXPECT_EQ(reader.Display(), (Bytes{'H', 'i'}));  // the display itself is no log
    EXPECT_EQ(reader.DisplayCount(), 1u);

    reader.SetRecording(true, 2);
    for (SimTime t : {30, 40, 50}) Command(reader, kCodeGetStatus, {}, t);
    const auto frames = reader.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].number, 3u);  // frames are numbered whether recorded or not
    EXPECT_EQ(frames[1].time, 50);
    const auto wire = reader.WireLog();  // two events a command: its bytes and the reply
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].number, 8u);
    EXPECT_EQ(wire[1].kind, WireEntry::Kind::kReaderToHost);
    EXPECT_EQ(reader.FrameCount(), 5u);
}

TEST(sim_Reader, StateCommandsTakeEffect) {
    ReaderConfig cfg;
    cfg.defaultWaitTime = 0x0101;
    Reader reader(cfg);
    auto card = std::make_shared<AtrCard>();
    reader.InsertCard(card);
    Command(reader, kCodeCardOn);
    Command(reader, kCodeSetWaitTime, {0x12, 0x34});
    Command(reader, kCodeSetProtocol, {kProtocolPps});
    Command(reader, kCodeSetProtocol, {7});  // refused, the mode stays
    EXPECT_TRUE(reader.CardPowered());
    EXPECT_EQ(reader.WaitTime(), 0x1234);
    EXPECT_EQ(reader.Protocol(), kProtocolPps);

    Command(reader, kCodeResetReader);
    EXPECT_FALSE(reader.CardPowered());
    EXPECT_EQ(card->PowerOffCount(), 1);
    EXPECT_EQ(reader.WaitTime(), 0x0101);
    EXPECT_EQ(reader.Protocol(), kProtocolT0);

    Send(reader, {0x02, 0x00, 0x03});  // a card on with a bad checksum is not carried out
    EXPECT_FALSE(reader.CardPowered());
    EXPECT_EQ(card->PowerOnCount(), 1);
}

TEST(sim_Reader, KeysReachOnlyGetStatusOneAtATime) {
    Reader reader;
    reader.InsertCard(std::make_shared<AtrCard>());
    reader.PressKey(3);
    reader.PressKey(11);
    EXPECT_EQ(Command(reader, kCodeCardOff), (Bytes{0x00, 0x01, 0x40, 0x41}));
    EXPECT_EQ(Command(reader, kCodeGetStatus), (Bytes{0x00, 0x01, 0x43, 0x42}));
    EXPECT_EQ(Command(reader, kCodeGetStatus), (Bytes{0x00, 0x01, 0x4B, 0x4A}));
    EXPECT_EQ(Command(reader, kCodeGetStatus), (Bytes{0x00, 0x01, 0x4F, 0x4E}));  // idle 0x0F
}

TEST(sim_Reader, ExchangeReachesTheCardInTheSelectedMode) {
    Reader reader;
    auto card = std::make_shared<ScriptedCard>();
    card->answers = {Bytes{0x90, 0x00}, Bytes(300, 0xA5), Bytes(511, 0x11)};
    reader.InsertCard(card);
    Command(reader, kCodeCardOn);
    Command(reader, kCodeSetProtocol, {kProtocolT1});

    EXPECT_EQ(Command(reader, kCodeExchange, {0x00, 0xA4}),
              (Bytes{0x00, 0x03, 0x90, 0x00, 0x60, 0xF3}));
    const Bytes longReply = Command(reader, kCodeExchange, Bytes(511, 0x5A));
    ASSERT_EQ(longReply.size(), 304u);
    EXPECT_EQ(longReply[0], 0x80);
    EXPECT_EQ(longReply[1], 0x2D);  // full length 301
    EXPECT_EQ(longReply[302], 0x60);
    EXPECT_EQ(Command(reader, kCodeExchange, {0x01}), (Bytes{0x00, 0x01, 0x92, 0x93}));
    EXPECT_EQ(card->protocols, (std::vector<std::uint8_t>{1, 1, 1}));
    EXPECT_EQ(card->received[0], (Bytes{0x00, 0xA4}));
    EXPECT_EQ(card->received[1], Bytes(511, 0x5A));
}

TEST(sim_Reader, CardRemovedWhilePoweredAndMuteCard) {
    Reader reader;
    auto card = std::make_shared<AtrCard>(Bytes{0x3F, 0x00});
    reader.InsertCard(card);
    EXPECT_EQ(Command(reader, kCodeCardOn), (Bytes{0x00, 0x03, 0x3F, 0x00, 0x60, 0x5C}));
    reader.RemoveCard();
    EXPECT_FALSE(card->Powered());
    EXPECT_EQ(Command(reader, kCodeExchange, {0x00}), (Bytes{0x00, 0x01, 0x93, 0x92}));
    reader.InsertCard(card);  // back in, unpowered until the next card on
    EXPECT_EQ(Command(reader, kCodeGetStatus), (Bytes{0x00, 0x01, 0x4F, 0x4E}));

    auto mute = std::make_shared<AtrCard>(Bytes{});
    reader.InsertCard(mute);
    EXPECT_EQ(Command(reader, kCodeCardOn), (Bytes{0x00, 0x01, 0x91, 0x90}));
    EXPECT_FALSE(reader.CardPowered());
    EXPECT_FALSE(mute->Powered());
}

TEST(sim_Reader, DisplayByModel) {
    for (const auto& [model, display] : std::vector<std::pair<std::uint8_t, bool>>{{0x58, true},
                                                                                   {0x09, true},
                                                                                   {0x70, false},
                                                                                   {0x78, false},
                                                                                   {0x80, false},
                                                                                   {0x82, false}}) {
        Reader reader(ConfigForModelCode(model));
        reader.SetRecording(true);
        EXPECT_EQ(Command(reader, kCodeGetInfo).at(5), model);
        EXPECT_EQ(Command(reader, kCodeDisplay, {'0', '2', '0', ':'}, 1234).at(2),
                  display ? 0x00 : 0x80);
        const auto log = reader.DisplayLog();
        ASSERT_EQ(log.size(), display ? 1u : 0u) << int(model);
        if (display) {
            EXPECT_EQ(log[0].Text(), "020:");
            EXPECT_EQ(log[0].time, 1234);
        }
    }
}

TEST(sim_Reader, ByteTimedRepliesQueueBehindEachOther) {
    ReaderConfig cfg;
    cfg.byteTime = 1146;
    cfg.replyLatency = 2000;
    Reader reader(cfg);
    reader.HostWrite(CommandFrame(kCodeGetStatus), 10'000);
    reader.HostWrite(CommandFrame(kCodeGetStatus), 10'500);  // before the first reply is out
    EXPECT_EQ(reader.NextOutputTime(10'000), 13'146);
    EXPECT_EQ(reader.HostAvailable(13'145), 0u);
    EXPECT_EQ(reader.HostAvailable(13'146), 1u);
    // The second reply follows the first one's last byte (12'000 + 4 * 1146).
    EXPECT_EQ(reader.HostAvailable(16'584), 4u);
    EXPECT_EQ(reader.NextOutputTime(16'584), 16'584 + 1146);
    EXPECT_EQ(reader.HostRead(100, 21'168).size(), 8u);
    EXPECT_EQ(reader.NextOutputTime(21'168), std::nullopt);
}

TEST(sim_Reader, ReadableTimeIsWhenTheCountIsIn) {
    ReaderConfig cfg;
    cfg.byteTime = 1146;
    cfg.replyLatency = 2000;
    Reader reader(cfg);
    // Three 4-byte replies: in by 16'584, under way at 33'146..36'584 and 43'146..46'584.
    reader.HostWrite(CommandFrame(kCodeGetStatus), 10'000);
    reader.HostWrite(CommandFrame(kCodeGetStatus), 30'000);
    reader.HostWrite(CommandFrame(kCodeGetStatus), 40'000);
    const struct {
        std::size_t count;
        SimTime gap;
        SimTime now;
        std::optional<SimTime> at;
    } cases[] = {
        {5, 0, 30'000, 33'146},       // the first byte under way
        {6, 0, 30'000, 34'292},       // counting the four already in
        {8, 0, 30'000, 36'584},       //
        {12, 0, 30'000, 46'584},      // the last byte queued
        {20, 0, 30'000, 46'584},      // more than will come: the last one
        {12, 5000, 30'000, 36'584},   // a silence of 6'562 ends it first
        {12, 10000, 30'000, 46'584},  // a silence shorter than the gap does not
        {12, 0, 46'584, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.count << " / " << c.gap << " / " << c.now);
        EXPECT_EQ(reader.ReadableTime(c.count, c.gap, c.now), c.at);
    }
}

TEST(sim_Reader, PurgeDropsOnlyArrivedBytes) {
    ReaderConfig cfg;
    cfg.byteTime = 100;
    Reader reader(cfg);
    reader.SetRecording(true);
    reader.HostWrite(CommandFrame(kCodeGetInfo), 0);  // 8 bytes arriving at 100..800
    reader.HostPurge(300);
    EXPECT_EQ(reader.HostAvailable(300), 0u);
    EXPECT_EQ(reader.HostRead(100, 800), (Bytes{0x0A, 0x1F, 0x58, 0x00, 0x4A}));
    EXPECT_EQ(reader.WireLog().back().bytes, (Bytes{0x00, 0x05, 0x02}));
}

TEST(sim_Reader, SilentReaderSwallowsFrames) {
    Reader reader;
    reader.SetRecording(true);
    reader.InsertCard(std::make_shared<AtrCard>());
    reader.SetSilent(true);
    EXPECT_TRUE(Command(reader, kCodeCardOn).empty());
    EXPECT_FALSE(reader.CardPowered());
    EXPECT_EQ(reader.NextOutputTime(0), std::nullopt);
    reader.SetSilent(false);
    EXPECT_EQ(Command(reader, kCodeGetStatus), (Bytes{0x00, 0x01, 0x4F, 0x4E}));
    EXPECT_TRUE(reader.Frames().at(0).swallowed);
}

TEST(sim_Reader, ChangeCallbackRunsWithoutTheLock) {
    Reader reader;
    int calls = 0;
    reader.SetChangeCallback([&] {
        ++calls;
        reader.CardPresent();  // would deadlock if the lock were held
    });
    reader.InsertCard(std::make_shared<AtrCard>());
    reader.RemoveCard();
    reader.SetSilent(true);
    reader.InjectFault(kCodeGetStatus, Fault::NoReply());
    reader.ClearFaults();
    reader.PressKey(1);
    Command(reader, kCodeGetStatus);  // line traffic is no change from outside
    EXPECT_EQ(calls, 6);
}

TEST(sim_Reader, LineAndUserSideRunConcurrently) {
    Reader reader;
    std::atomic<bool> stop{false};
    std::thread user([&] {
        while (!stop) {
            reader.InsertCard(std::make_shared<AtrCard>());
            reader.RemoveCard();
        }
    });
    for (SimTime t = 0; t < 2000; ++t) {
        const Bytes reply = Command(reader, t % 2 ? kCodeCardOn : kCodeGetStatus, {}, t);
        ASSERT_GE(reply.size(), 4u);
        EXPECT_EQ(XorOf(reply), 0);
    }
    stop = true;
    user.join();
}

}  // namespace
}  // namespace quor::sim
