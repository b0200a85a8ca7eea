#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "platform/kernel/clock.h"
#include "sim/fault.h"
#include "sim/reader.h"
#include "tools/quorctl/session.h"

namespace quorctl {
namespace {

constexpr double kScale = 1000;

Command Cmd(std::string name, std::vector<std::string> words = {}) {
    Command c;
    c.name = std::move(name);
    c.words = std::move(words);
    return c;
}

class QuorctlSession : public ::testing::Test {
  protected:
    void StartWith(std::string card, std::optional<std::uint8_t> model = std::nullopt) {
        Options o;
        o.sim = true;
        o.card = std::move(card);
        o.model = model;
        o.clockScale = kScale;
        session_ = std::make_unique<Session>(o, log_);
        Result start = session_->Start();
        ASSERT_EQ(start.status, STATUS_SUCCESS) << ErrorText(start.status);
    }
    void TearDown() override {
        session_.reset();
        kclock::ResetForTest();
    }
    Result Run(std::string name, std::vector<std::string> words = {}) {
        return session_->RunOne(Cmd(std::move(name), std::move(words)));
    }

    std::ostringstream log_;
    std::unique_ptr<Session> session_;
};

TEST_F(QuorctlSession, InfoReportsEveryAttribute) {
    StartWith("t1");
    EXPECT_NE(log_.str().find("Identifying reader..."), std::string::npos);
    Result r = Run("info");
    ASSERT_EQ(r.status, STATUS_SUCCESS) << r.ErrorLine();
    EXPECT_EQ(r.fields["vendor"], "VESKA Systems");
    EXPECT_EQ(r.fields["ifd_type"], "QUOR Std USB");
    EXPECT_EQ(r.fields["unit"], 0);
    EXPECT_EQ(r.fields["version"], "0.150.64");
    EXPECT_TRUE(r.fields["serial"].is_string());
    EXPECT_FALSE(r.fields["serial"].get<std::string>().empty());
    EXPECT_EQ(r.fields["clock"]["default_khz"], 5000);
    EXPECT_EQ(r.fields["clock"]["max_khz"], 5000);
    EXPECT_EQ(r.fields["data_rates"]["default_bps"], 9600);
    EXPECT_EQ(r.fields["protocols"], "T=0,T=1");
    EXPECT_EQ(r.fields["max_ifsd"], 254);
    EXPECT_EQ(r.fields["state"], "swallowed");
}

TEST_F(QuorctlSession, ModelCodeChoosesTheReaderType) {
    StartWith("none", 0x70);
    Result r = Run("info");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.fields["ifd_type"], "QUOR BIVO");
    EXPECT_EQ(r.fields["clock"]["default_khz"], 3000);
    EXPECT_EQ(r.fields["state"], "absent");
}

TEST_F(QuorctlSession, PowerProtocolTransmitReadsTheCardsFile) {
    StartWith("t1");
    Result power = Run("power", {"cold"});
    ASSERT_EQ(power.status, STATUS_SUCCESS) << power.ErrorLine();
    EXPECT_EQ(power.fields["analysis"]["protocols"], nlohmann::ordered_json::array({1}));
    EXPECT_EQ(power.fields["analysis"]["convention"], "direct");
    EXPECT_EQ(power.information, power.data.size());
    EXPECT_EQ(power.data.front(), 0x3B);

    Result proto = Run("protocol", {"t0,t1"});
    ASSERT_EQ(proto.status, STATUS_SUCCESS) << proto.ErrorLine();
    EXPECT_EQ(proto.fields["protocol"], "T=1");
    EXPECT_EQ(Run("state").fields["state"], "specific");

    Result select = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    ASSERT_EQ(select.status, STATUS_SUCCESS) << select.ErrorLine();
    EXPECT_EQ(select.fields["sw"], "9000");
    Result ef = Run("transmit", {"00", "A4", "02", "0C", "02", "2F", "00"});
    EXPECT_EQ(ef.fields["sw"], "9000");
    Result read = Run("transmit", {"00B0000011"});
    ASSERT_EQ(read.status, STATUS_SUCCESS) << read.ErrorLine();
    EXPECT_EQ(read.fields["sw"], "9000");
    std::vector<std::uint8_t> body(read.data.begin(), read.data.end() - 2);
    EXPECT_EQ(std::string(body.begin(), body.end()), "EMULATED ISO CARD");

    Result down = Run("power", {"down"});
    EXPECT_EQ(down.status, STATUS_SUCCESS);
    EXPECT_NE(Run("state").fields["state"], "specific");
}

TEST_F(QuorctlSession, TransmitPowersAndNegotiatesWhenNoProtocolIsInForce) {
    StartWith("t0");
    Result r = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    ASSERT_EQ(r.status, STATUS_SUCCESS) << r.ErrorLine();
    EXPECT_EQ(r.fields["protocol"], "T=0");
    EXPECT_EQ(r.fields["sw"], "9000");
    EXPECT_EQ(Run("state").fields["state"], "specific");
    // A second transmit uses the protocol in force without a new power-up.
    Result again = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_TRUE(again.lines.size() == 2) << again.OneLine();
}

TEST_F(QuorctlSession, DualCardNegotiatesOnItsOwn) {
    StartWith("dual");
    Result r = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    ASSERT_EQ(r.status, STATUS_SUCCESS) << r.ErrorLine();
    EXPECT_EQ(r.fields["sw"], "9000");
    std::string protocol = r.fields["protocol"];
    EXPECT_TRUE(protocol == "T=0" || protocol == "T=1") << protocol;
    Result warm = Run("power", {"warm"});
    ASSERT_EQ(warm.status, STATUS_SUCCESS) << warm.ErrorLine();
    auto protocols = warm.fields["analysis"]["protocols"];
    EXPECT_EQ(protocols, nlohmann::ordered_json::array({0, 1}));
}

TEST_F(QuorctlSession, KeysAndCardsNeedTheEmulatorAndValidNames) {
    StartWith("none");
    EXPECT_THROW(Run("insert", {"t9"}), UsageError);
    EXPECT_THROW(Run("insert", {"none"}), UsageError);
    EXPECT_THROW(Run("key", {}), UsageError);
    EXPECT_THROW(Run("wait", {"present"}), UsageError);
    EXPECT_THROW(Run("wait", {"later", "10"}), UsageError);
    Command input = Cmd("input");
    input.max = 300;
    EXPECT_THROW(session_->RunOne(input), UsageError);
    EXPECT_EQ(Run("insert", {"memory"}).status, STATUS_SUCCESS);
    EXPECT_EQ(Run("wait", {"present", "5000"}).status, STATUS_SUCCESS);
}

TEST_F(QuorctlSession, TransmitWithoutCardFailsWithTheDriversStatus) {
    StartWith("none");
    Result r = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    EXPECT_NE(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(r.Ok());
    // One message for one situation: the same for every card command without a card.
    EXPECT_EQ(r.ErrorLine(),
              "error: STATUS_UNRECOGNIZED_MEDIA (0xC0000014): There is no card in "
              "the reader. (insert a card)");
    for (const auto& [cmd, words] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"power", {"cold"}}, {"protocol", {"t1"}}, {"verify-pin", {"00 20 00 01 08"}}}) {
        Result other = Run(cmd, words);
        EXPECT_NE(other.ErrorLine().find("There is no card in the reader."), std::string::npos)
            << cmd << ": " << other.ErrorLine();
    }
}

// Power-up replies lost while the card did get power leave it POWERED without an ATR: a
// transmit then powers it up again instead of failing on the missing ATR.
TEST_F(QuorctlSession, TransmitPowersACardWhoseAtrWasLost) {
    StartWith("t1");
    session_->SimReader()->InjectFault(2, quor::sim::Fault::NoReply().Times(4));
    EXPECT_NE(Run("power", {"cold"}).status, STATUS_SUCCESS);
    for (int i = 0; i < 20000 && Run("state").fields.value("state", "") != "powered"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // until a status poll
    }
    ASSERT_EQ(Run("state").fields["state"], "powered");
    Result r = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    EXPECT_EQ(r.status, STATUS_SUCCESS) << r.ErrorLine();
    EXPECT_EQ(r.fields["sw"], "9000");
}

TEST_F(QuorctlSession, TerminalCommandsReachTheReader) {
    StartWith("t1");
    Result d = Run("display", {"HELLO", "QUOR"});
    ASSERT_EQ(d.status, STATUS_SUCCESS) << d.ErrorLine();
    EXPECT_EQ(d.fields["sw"], "9000");
    auto shown = session_->SimReader()->Display();
    // The display holds eight characters.
    EXPECT_EQ(std::string(shown.begin(), shown.end()).substr(0, 8), "HELLO QU");

    // INPUT with P1 other than the keypad is refused by the reader's terminal.
    Result ct = Run("ct", {"20 16 40 02 04"});
    ASSERT_EQ(ct.status, STATUS_SUCCESS);
    EXPECT_EQ(ct.fields["sw"], "6A00");
}

TEST_F(QuorctlSession, InputReturnsTheDigitsTyped) {
    StartWith("t1");
    // The keys are typed from this thread once the input has begun. On the fast clock the
    // longest key time-out (255 s) would be a quarter of a real second, which a loaded machine
    // can let pass before they are typed: the input runs on the real clock instead.
    kclock::SetScaled(1);
    Command c = Cmd("input");
    c.max = 4;
    c.keys = "1234";
    c.timeout = 255;
    Result r = session_->RunOne(c);
    ASSERT_EQ(r.status, STATUS_SUCCESS) << r.ErrorLine();
    EXPECT_EQ(r.fields["digits"], "1234");
    EXPECT_EQ(r.fields["sw"], "9000");

    // Without a key limit the confirm key ends the input.
    c.max = 0;
    c.keys = "97#";
    Result confirmed = session_->RunOne(c);
    ASSERT_EQ(confirmed.status, STATUS_SUCCESS) << confirmed.ErrorLine();
    EXPECT_EQ(confirmed.fields["digits"], "97");
    kclock::SetScaled(kScale);  // the polling thread's pause ends soon for the tear-down
}

TEST_F(QuorctlSession, UsageErrorsThrowBeforeAnyRequest) {
    StartWith("t1");
    EXPECT_THROW(Run("transmit", {"0A4"}), UsageError);
    EXPECT_THROW(Run("transmit", {"00 A4"}), UsageError);
    EXPECT_THROW(Run("power", {"hot"}), UsageError);
    EXPECT_THROW(Run("protocol", {"t2"}), UsageError);
    EXPECT_THROW(Run("ioctl", {"0xZZ", "-", "4"}), UsageError);
    EXPECT_THROW(Run("attr", {"nonsense"}), UsageError);
    EXPECT_THROW(Run("key", {"12x"}), UsageError);
    EXPECT_THROW(Run("frobnicate"), UsageError);
    Command pin = Cmd("verify-pin", {"00 20 00 01 08 FF FF FF FF FF FF FF FF"});
    pin.params = "48";
    EXPECT_THROW(session_->RunOne(pin), UsageError);
}

TEST_F(QuorctlSession, IoctlAndAttrReachAnyCode) {
    StartWith("t1");
    Result state = Run("ioctl", {"0x310038", "-", "4"});  // IOCTL_SMARTCARD_GET_STATE
    ASSERT_EQ(state.status, STATUS_SUCCESS) << state.ErrorLine();
    EXPECT_EQ(state.information, 4u);
    Result vendor = Run("attr", {"vendor"});
    EXPECT_EQ(vendor.fields["value"], "VESKA Systems");
    Result byTag = Run("attr", {"0x00010100"});
    EXPECT_EQ(byTag.data, vendor.data);
    Result bad = Run("ioctl", {"0x31FFFC", "-", "4"});
    EXPECT_NE(bad.status, STATUS_SUCCESS);
}

TEST_F(QuorctlSession, WaitAndWatchFollowTheCard) {
    StartWith("none");
    Result timedOut = Run("wait", {"present", "50"});
    EXPECT_NE(timedOut.status, STATUS_SUCCESS);
    EXPECT_EQ(timedOut.fields["timed_out"], true);

    Run("insert", {"t1"});
    Result present = Run("wait", {"present", "5000"});
    EXPECT_EQ(present.status, STATUS_SUCCESS) << present.ErrorLine();

    std::thread puller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        session_->SimReader()->RemoveCard();
    });
    Command watch = Cmd("watch");
    watch.count = 1;
    std::vector<Result> events;
    NTSTATUS st = session_->Run(watch, [&](const Result& r) { events.push_back(r); });
    puller.join();
    EXPECT_EQ(st, STATUS_SUCCESS);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].fields["event"], "removed");
}

TEST_F(QuorctlSession, SleepAndWakeKeepTheReaderUsable) {
    StartWith("t1");
    EXPECT_EQ(Run("sleep").status, STATUS_SUCCESS);
    EXPECT_EQ(Run("wake").status, STATUS_SUCCESS);
    Result r = Run("transmit", {"00 A4 00 0C 02 3F 00"});
    EXPECT_EQ(r.status, STATUS_SUCCESS) << r.ErrorLine();
}

TEST_F(QuorctlSession, TraceShowsFramesAndSerialRequests) {
    Options o;
    o.sim = true;
    o.clockScale = kScale;
    o.trace = true;
    session_ = std::make_unique<Session>(o, log_);
    ASSERT_EQ(session_->Start().status, STATUS_SUCCESS);
    Run("state");
    session_->FlushTrace();
    std::string log = log_.str();
    EXPECT_NE(log.find("frame host->reader"), std::string::npos);
    EXPECT_NE(log.find("frame reader->host"), std::string::npos);
    EXPECT_NE(log.find("serial WRITE"), std::string::npos);
    EXPECT_NE(log.find("serial READ"), std::string::npos);
}

}  // namespace
}  // namespace quorctl
