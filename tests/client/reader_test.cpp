// The client library: several readers on in-process emulated readers in one process, used
// from several threads at once, with waits for card events cancelled from other threads.
#include "client/reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/io.h"
#include "sim/memory_card.h"
#include "sim/processor_card.h"
#include "sim/reader.h"

namespace quor::client {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSelectMf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x08};

std::shared_ptr<sim::Card> MakeCard(const std::string& type) {
    if (type == "t0") return std::make_shared<sim::T0Card>();
    if (type == "t1") return std::make_shared<sim::T1Card>();
    return nullptr;
}

class ClientReader : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::ResetForTest();
        kclock::SetScaled(1000);
        irps_ = IoTestLiveIrps();
    }
    void TearDown() override {
        readers_.clear();
        EXPECT_EQ(IoTestLiveIrps(), irps_) << "every request was completed and freed";
        kclock::ResetForTest();
    }

    // An emulated reader with the card given ("" for none), opened through the client.
    Reader& OpenOne(const std::string& card = "t1") {
        sim::ReaderConfig config;
        // On the faster clock the real gaps between the driver's writes look long.
        config.interByteTimeout = 60'000'000;
        auto emulator = std::make_shared<sim::Reader>(config);
        if (auto c = MakeCard(card)) emulator->InsertCard(c);
        readers_.push_back(std::make_unique<Reader>());
        EXPECT_EQ(readers_.back()->OpenEmulated(emulator), status::kSuccess);
        return *readers_.back();
    }

    // Powers the card and selects a protocol; the protocol in force.
    static std::uint32_t Ready(Reader& r) {
        EXPECT_EQ(r.Power(PowerAction::ColdReset).status, status::kSuccess);
        Reply set = r.SetProtocol(protocol::kT0 | protocol::kT1);
        EXPECT_EQ(set.status, status::kSuccess);
        return set.Ulong().value_or(0);
    }

    // Waits in a thread of its own, so that another thread can act while it is parked.
    class ParkedWait {
      public:
        ParkedWait(Reader& r, bool present) : reader_(r) {
            thread_ = std::thread([this, present] {
                reply_ = present ? reader_.WaitPresent() : reader_.WaitAbsent();
                done_ = true;
            });
            // Until the tracking request is in the driver (no time limit: it gets there).
            while (reader_.ParkedWaits() == 0 && !done_) std::this_thread::yield();
        }
        WaitReply Join() {
            thread_.join();
            return reply_;
        }
        ~ParkedWait() {
            if (thread_.joinable()) thread_.join();
        }

      private:
        Reader& reader_;
        std::thread thread_;
        std::atomic<bool> done_{false};
        WaitReply reply_;
    };

    std::vector<std::unique_ptr<Reader>> readers_;
    LONG irps_ = 0;
};

TEST_F(ClientReader, ReadersShareOneDriverEachWithItsOwnUnit) {
    std::vector<Reader*> open;
    for (int i = 0; i < 3; ++i) open.push_back(&OpenOne());
    std::set<std::uint32_t> units;
    for (Reader* r : open) {
        auto unit = r->Unit();
        ASSERT_TRUE(unit.has_value());
        units.insert(*unit);
        Reply vendor = r->Attribute(0x00010100);  // SCARD_ATTR_VENDOR_NAME
        EXPECT_EQ(std::string(vendor.data.begin(), vendor.data.end() - 1), "VESKA Systems");
    }
    EXPECT_EQ(units, (std::set<std::uint32_t>{0, 1, 2}));

    // A unit given up is the next one handed out; the others keep theirs.
    auto middle = open[1]->Unit();
    open[1]->Close();
    EXPECT_FALSE(open[1]->IsOpen());
    Reader& again = OpenOne();
    EXPECT_EQ(again.Unit(), middle);
    EXPECT_EQ(open[0]->Unit(), 0u);
    EXPECT_EQ(open[2]->Unit(), 2u);

    // Once the last reader is closed the driver is unloaded: a new one starts from unit 0.
    readers_.clear();
    EXPECT_EQ(OpenOne().Unit(), 0u);
}

TEST_F(ClientReader, TransmitsFromSeveralThreadsOnSeveralReadersAtOnce) {
    struct Case {
        std::string card;
        std::uint32_t protocol;
    };
    const std::vector<Case> cases{
        {"t1", protocol::kT1}, {"t0", protocol::kT0}, {"t1", protocol::kT1}};
    std::vector<Reader*> open;
    for (const Case& c : cases) {
        open.push_back(&OpenOne(c.card));
        EXPECT_EQ(Ready(*open.back()), c.protocol) << c.card;
    }
    constexpr int kThreadsPerReader = 2;
    constexpr int kRounds = 10;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < open.size(); ++i) {
        for (int t = 0; t < kThreadsPerReader; ++t) {
            threads.emplace_back([&, i] {
                for (int n = 0; n < kRounds; ++n) {
                    // 0: the protocol in force, as the driver reports it.
                    Reply select = open[i]->Transmit(kSelectMf);
                    Reply challenge = open[i]->Transmit(kGetChallenge, cases[i].protocol);
                    if (select.data == Bytes{0x90, 0x00} && challenge.data.size() == 10 &&
                        challenge.data[8] == 0x90 && challenge.data[9] == 0x00) {
                        ++good;
                    }
                }
            });
        }
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, static_cast<int>(open.size()) * kThreadsPerReader * kRounds);
}

TEST_F(ClientReader, CancelledWaitEndsWithCancelledAndTheReaderGoesOn) {
    struct Case {
        const char* name;
        std::string card;  // in the slot while waiting
        bool present;      // wait for presence (else absence)
    };
    for (const Case& c : {Case{"for a card", "", true}, Case{"for its removal", "t1", false}}) {
        SCOPED_TRACE(c.name);
        Reader& r = OpenOne(c.card);
        Reader& other = OpenOne("t1");
        ParkedWait wait(r, c.present);
        ASSERT_EQ(r.ParkedWaits(), 1);
        r.CancelWaits();
        WaitReply reply = wait.Join();
        EXPECT_EQ(reply.status, status::kCancelled);
        EXPECT_FALSE(reply.timedOut);
        EXPECT_EQ(r.ParkedWaits(), 0);

        // The reader is still usable, and the other reader never noticed.
        EXPECT_TRUE(r.State().Ok());
        Ready(other);
        EXPECT_EQ(other.Transmit(kSelectMf).data, (Bytes{0x90, 0x00}));
        WaitReply soon = c.present ? r.WaitPresent(50) : r.WaitAbsent(50);
        EXPECT_TRUE(soon.timedOut);
        EXPECT_EQ(soon.status, status::kCancelled);
        readers_.clear();
    }
}

TEST_F(ClientReader, CancelBeforeAWaitEndsTheNextWaitOnly) {
    Reader& r = OpenOne("");
    r.CancelWaits();  // nothing parked yet: the stop still reaches the wait that comes next
    EXPECT_EQ(r.WaitPresent().status, status::kCancelled);
    auto* emulator = r.Emulator();
    ASSERT_NE(emulator, nullptr);
    emulator->InsertCard(std::make_shared<sim::T1Card>());
    WaitReply present = r.WaitPresent(3'600'000);
    EXPECT_EQ(present.status, status::kSuccess);
    EXPECT_FALSE(present.timedOut);
    EXPECT_EQ(r.State().state, CardState::Swallowed);
}

TEST_F(ClientReader, ClosingOneReaderLeavesTheBusyOnesAlone) {
    Reader& busy = OpenOne("t1");
    Reader& closing = OpenOne("");
    Ready(busy);
    std::atomic<bool> stop{false};
    std::atomic<int> good{0}, bad{0};
    std::thread worker([&] {
        while (!stop) {
            (busy.Transmit(kGetChallenge).data.size() == 10 ? good : bad)++;
        }
    });
    // A wait parked on the reader being closed: the close ends it.
    ParkedWait wait(closing, true);
    while (good + bad < 3) std::this_thread::yield();
    closing.Close();
    EXPECT_EQ(wait.Join().status, status::kCancelled);
    const int before = good + bad;
    while (good + bad < before + 3) std::this_thread::yield();
    stop = true;
    worker.join();
    EXPECT_EQ(bad, 0);

    // A closed reader answers every call without touching the driver.
    EXPECT_EQ(closing.State().status, status::kInvalidDeviceState);
    EXPECT_EQ(closing.Transmit(kSelectMf, protocol::kT1).status, status::kInvalidDeviceState);
    EXPECT_EQ(closing.WaitPresent(10).status, status::kInvalidDeviceState);
    EXPECT_EQ(closing.Sleep(), status::kInvalidDeviceState);
    EXPECT_NE(closing.Port(), nullptr) << "the port's records stay readable";
    EXPECT_TRUE(busy.State().Ok());
}

TEST_F(ClientReader, BadRequestsGetAClearStatus) {
    Reader& r = OpenOne("t1");
    struct Case {
        const char* name;
        Reply reply;
        NtStatus want;
        Bytes data;
    };
    const Case cases[] = {
        {"huge output",
         r.Ioctl(0x00310038, {}, std::size_t{1} << 30),
         status::kInvalidParameter,
         {}},
        {"huge answer",
         r.Transmit(kSelectMf, protocol::kT1, std::size_t{1} << 30),
         status::kInvalidParameter,
         {}},
        {"attribute buffer too small", r.Attribute(0x00010100, 4), status::kBufferTooSmall, {}},
        // The terminal itself answers a command too short to be one: wrong length.
        {"short terminal command", r.TerminalCommand(Bytes{0x20}), status::kSuccess, {0x67, 0x00}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reply.status, c.want) << c.name;
        EXPECT_EQ(c.reply.data, c.data) << c.name;
    }
    Reader second;
    EXPECT_EQ(second.OpenEmulated(nullptr), status::kInvalidParameter);
    EXPECT_EQ(r.OpenEmulated(std::make_shared<sim::Reader>()), status::kInvalidDeviceState)
        << "already open";
}

TEST(ClientStatus, NamesKnownAndUnknownCodes) {
    EXPECT_EQ(StatusName(status::kCancelled), "STATUS_CANCELLED");
    EXPECT_EQ(StatusName(static_cast<NtStatus>(0xC0DE0001u)), "0xC0DE0001");
    EXPECT_EQ(StatusText(static_cast<NtStatus>(0xC0DE0001u)), "Unknown status.");
}

}  // namespace
}  // namespace quor::client
