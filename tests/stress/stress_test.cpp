// Concurrency stress, bounded in time: several threads send mixed device-control requests while
// another inserts and removes the card, switches the port between its immediate and its
// asynchronous completion, closes and reopens the handle, stops and starts the device and puts
// it to sleep and wakes it; tracking requests are cancelled; the run ends with a surprise
// removal under load. Every request must complete exactly once, a watchdog fails the run when
// no request finishes for a minute (printing what each thread is doing), and resident memory
// must stay flat. QUOR_STRESS_SECONDS sets the length (default 3 s).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/clock.h"
#include "platform/kernel/io.h"
#include "sim/processor_card.h"
#include "terminal/terminal.h"
#include "tests/support/hosted.h"

namespace quor::test {
namespace {

using Bytes = std::vector<UCHAR>;
using Clock = std::chrono::steady_clock;

long ResidentKb() {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

Bytes Ulong(ULONG v) { return {UCHAR(v), UCHAR(v >> 8), UCHAR(v >> 16), UCHAR(v >> 24)}; }

struct Work {
    ULONG code;
    Bytes in;
    ULONG out;
};

const Work kWork[] = {
    {IOCTL_SMARTCARD_GET_STATE, {}, 4},
    {IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(0x00010100), 64},  // vendor name
    {IOCTL_SMARTCARD_POWER, Ulong(1), 64},
    {IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(3), 4},
    {IOCTL_SMARTCARD_TRANSMIT,
     {2, 0, 0, 0, 8, 0, 0, 0, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},
     64},
    {IOCTL_TERMINAL_COMMAND, {0x20, 0x13, 0x00, 0x80, 0x00}, 16},
    {IOCTL_SMARTCARD_IS_PRESENT, {}, 0},
    {IOCTL_SMARTCARD_IS_ABSENT, {}, 0},
};

// What a request that succeeded must have returned: never success with wrong data.
bool PlausibleOutput(const Work& w, const Bytes& out) {
    auto swOk = [&](std::size_t header) {
        return out.size() >= header + 2 && out[out.size() - 2] >= 0x60 &&
               out[out.size() - 2] <= 0x9F;
    };
    switch (w.code) {
        case IOCTL_SMARTCARD_GET_STATE:
            return out.size() == 4 && out[0] <= 6 && out[1] == 0 && out[2] == 0 && out[3] == 0;
        case IOCTL_SMARTCARD_GET_ATTRIBUTE:
            return std::string(out.begin(), out.end()).rfind("VESKA Systems", 0) == 0;
        case IOCTL_SMARTCARD_POWER:
            return !out.empty() && (out[0] == 0x3B || out[0] == 0x3F);
        case IOCTL_SMARTCARD_SET_PROTOCOL:
            return out.size() == 4 && (out[0] == 1 || out[0] == 2);
        case IOCTL_SMARTCARD_TRANSMIT:
            return swOk(8);  // the protocol header, then the card's answer
        case IOCTL_TERMINAL_COMMAND:
            return swOk(0);
        default:
            return out.empty();
    }
}

// What the run saw of its requests. Each worker keeps its newest requests for a while and
// counts their completions again when it lets them go and at the end, so that a completion
// that comes late, after the one the worker waited for, is caught too.
struct Tally {
    long sent = 0, completed = 0, notOnce = 0, cancelled = 0, wrongData = 0;
    std::map<NTSTATUS, long> statuses;
    std::deque<std::shared_ptr<khost::Request>> recent;

    void Keep(std::shared_ptr<khost::Request> r) {
        recent.push_back(std::move(r));
        if (recent.size() > 256) Drop();
    }
    void Drop() {
        if (recent.front()->Completions() != 1) ++notOnce;
        recent.pop_front();
    }
    void Add(const Tally& t) {
        sent += t.sent;
        completed += t.completed;
        notOnce += t.notOnce;
        cancelled += t.cancelled;
        wrongData += t.wrongData;
        for (const auto& [st, n] : t.statuses) statuses[st] += n;
    }
};

TEST(Stress, MixedRequestsCardChangesAndDeviceChanges) {
    const char* env = std::getenv("QUOR_STRESS_SECONDS");
    const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 3;
    kclock::ResetForTest();
    kclock::SetScaled(1000);
    const LONG irpsBefore = IoTestLiveIrps();
    auto hosted = std::make_unique<HostedReader>(std::make_shared<quor::sim::T1Card>());
    HostedReader& h = *hosted;
    ASSERT_EQ(h.StartStatus(), STATUS_SUCCESS);
    khost::Handle handle = nullptr;
    ASSERT_EQ(h.Host().Open(h.Pdo(), &handle), STATUS_SUCCESS);

    // Workers hold the lock shared while they use the handle; the handle changes under it
    // exclusively.
    std::shared_mutex handleLock;
    constexpr int kWorkers = 4;
    std::atomic<bool> stop{false}, stopChaos{false}, closing{false};
    std::vector<Tally> tallies(kWorkers);
    // What each thread (the workers, then the chaos thread) is doing, and since when.
    struct Doing {
        std::atomic<const char*> what{"idle"};
        std::atomic<ULONG> code{0};
        std::atomic<Clock::rep> since{0};
        void Set(const char* w, ULONG c = 0) {
            code = c;
            since = Clock::now().time_since_epoch().count();
            what = w;
        }
    };
    std::vector<Doing> doing(kWorkers + 1);

    auto worker = [&](int id) {
        std::mt19937 rng(id);
        Tally& tally = tallies[id];
        while (!stop) {
            const Work& w = kWork[rng() % std::size(kWork)];
            while (closing) std::this_thread::yield();  // readers would starve the close
            std::shared_lock lock(handleLock);
            if (handle == nullptr) continue;
            doing[id].Set("sending", w.code);
            auto request = h.Host().IoctlAsync(handle, w.code, w.in, w.out);
            ++tally.sent;
            const bool tracking =
                w.code == IOCTL_SMARTCARD_IS_PRESENT || w.code == IOCTL_SMARTCARD_IS_ABSENT;
            if (tracking && !request->Wait(static_cast<int>(rng() % 3))) {
                request->Cancel();
                ++tally.cancelled;
            }
            doing[id].Set(tracking ? "waiting (cancelled)" : "waiting", w.code);
            request->Wait();
            doing[id].Set("idle");
            ++tally.completed;
            ++tally.statuses[request->Status()];
            if (request->Information() > w.out ||
                (request->Status() == STATUS_SUCCESS && !PlausibleOutput(w, request->Output()))) {
                ++tally.wrongData;
            }
            tally.Keep(std::move(request));
        }
    };
    auto chaos = [&] {
        std::mt19937 rng(99);
        PDEVICE_OBJECT pdo = h.Pdo();
        while (!stopChaos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            switch (rng() % 8) {
                case 0:
                    doing[kWorkers].Set("card out");
                    h.Reader().RemoveCard();
                    break;
                case 1:
                    doing[kWorkers].Set("card in");
                    h.Reader().InsertCard(std::make_shared<quor::sim::T1Card>());
                    break;
                case 2:
                    doing[kWorkers].Set("completion mode");
                    h.Port().SetCompletion(
                        rng() % 2 ? quor::serial::SerialPort::Completion::Immediate
                                  : quor::serial::SerialPort::Completion::Asynchronous);
                    break;
                case 3: {
                    doing[kWorkers].Set("close and open");
                    closing = true;
                    std::unique_lock lock(handleLock);
                    closing = false;
                    EXPECT_EQ(h.Host().Close(handle), STATUS_SUCCESS);
                    handle = nullptr;
                    EXPECT_EQ(h.Host().Open(pdo, &handle), STATUS_SUCCESS);
                    break;
                }
                case 4:
                    doing[kWorkers].Set("stop and start");
                    if (NT_SUCCESS(h.Host().Stop(pdo))) {
                        EXPECT_EQ(h.Host().Start(pdo), STATUS_SUCCESS);
                    }
                    break;
                case 5:
                    doing[kWorkers].Set("sleep and wake");
                    if (NT_SUCCESS(h.Host().Sleep(pdo))) {
                        EXPECT_EQ(h.Host().Wake(pdo), STATUS_SUCCESS);
                    }
                    break;
                default:
                    break;
            }
            doing[kWorkers].Set("idle");
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < kWorkers; ++i) threads.emplace_back(worker, i);
    threads.emplace_back(chaos);
    // The watchdog: fails the run when no request finished for a minute, to the very end.
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            bool stuck = false;
            for (const Doing& d : doing) {
                const auto busy = Clock::now() - Clock::time_point(Clock::duration(d.since.load()));
                stuck |= std::string(d.what.load()) != "idle" && busy > std::chrono::seconds(60);
            }
            if (!stuck) continue;
            for (size_t i = 0; i < doing.size(); ++i) {
                std::fprintf(stderr, "thread %zu: %s, code %lX\n", i, doing[i].what.load(),
                             static_cast<unsigned long>(doing[i].code.load()));
            }
            std::fprintf(stderr, "deadlock: a thread has been stuck for 60 s\n");
            std::abort();
        }
    });
    const auto begin = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(seconds * 200));
    const long memoryWarm = ResidentKb();
    std::this_thread::sleep_for(std::chrono::milliseconds(seconds * 800));
    // The end: a surprise removal while the workers still send.
    doing[kWorkers].Set("surprise removal");
    stopChaos = true;
    threads.back().join();
    threads.pop_back();
    EXPECT_EQ(h.Host().SurpriseRemove(h.Pdo()), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (auto& t : threads) t.join();
    doing[0].Set("closing");
    EXPECT_EQ(h.Host().Close(handle), STATUS_SUCCESS);
    doing[0].Set("idle");
    finished = true;
    watchdog.join();
    const long memoryEnd = ResidentKb();
    const double took = std::chrono::duration<double>(Clock::now() - begin).count();
    Tally all;
    for (Tally& t : tallies) {
        while (!t.recent.empty()) t.Drop();
        all.Add(t);
    }
    hosted.reset();  // the device removed: no IRP may be left behind

    EXPECT_EQ(all.completed, all.sent);
    EXPECT_EQ(all.notOnce, 0) << "requests not completed exactly once";
    EXPECT_EQ(all.wrongData, 0) << "success with wrong data, or more returned than asked";
    EXPECT_EQ(IoTestLiveIrps(), irpsBefore);
    EXPECT_GT(all.sent, 0);
    // Flat: what a run of this length may add in allocator slack, not a leak per request.
    EXPECT_LT(memoryEnd - memoryWarm, 64 * 1024) << "resident memory grew";
    std::printf(
        "stress: %d worker threads, %.1f s, %ld requests, %ld completions, %ld tracking requests "
        "cancelled, %ld not completed exactly once, %ld with wrong data, RSS %ld kB -> %ld kB\n",
        kWorkers, took, all.sent, all.completed, all.cancelled, all.notOnce, all.wrongData,
        memoryWarm, memoryEnd);
    for (const auto& [status, n] : all.statuses) {
        std::printf("  status 0x%08X: %ld\n", static_cast<unsigned>(status), n);
    }
    kclock::ResetForTest();
}

}  // namespace
}  // namespace quor::test
