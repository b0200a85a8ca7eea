// Soak run: APDUs through the whole driver (as applications reach it) to the in-process
// emulator, with random faults on the card exchanges and random card changes. Every answer
// that the driver calls a success must be the card's right answer; a failed APDU is followed by
// a new power-up and protocol selection, as an application would. Prints the figures and exits
// non-zero when wrong data or a stuck request was seen.
//
//   quor_soak [APDUS [SEED]]     (defaults: 100000, 1)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/reader.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io.h"
#include "sim/processor_card.h"
#include "sim/reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using quor::sim::Fault;

long ResidentKb() {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

Fault RandomFault(std::mt19937& rng) {
    switch (rng() % 12) {
        case 0:
            return Fault::NoReply();
        case 1:
            return Fault::BadChecksum();
        case 2:
            return Fault::FirstByte(0x5A);
        case 3:
            return Fault::Truncate(1 + rng() % 6);
        case 4:
            return Fault::Noise({0xFF, 0x00});
        case 5:
            return Fault::Gap(2, 3'000'000);
        case 6:
            return Fault::ErrorStatus(0);
        case 7:
            return Fault::ErrorStatus(0x11);
        case 8:
            return Fault::ErrorStatus(0x13);
        case 9:
            return Fault::Delay(60'000'000);
        case 10:
            return Fault::CardPulled();
        default:
            return Fault::StatusByte(0x60);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long apdus = argc > 1 ? std::atol(argv[1]) : 100000;
    std::mt19937 rng(argc > 2 ? std::atoi(argv[2]) : 1);
    // Time-outs and pauses run a thousand times faster than on a real line.
    kclock::SetScaled(1000);
    quor::sim::ReaderConfig config;
    config.interByteTimeout = 60'000'000;  // scaled, the gaps between byte writes look long
    auto emulator = std::make_shared<quor::sim::Reader>(config);
    bool t1 = true;
    const auto newCard = [&]() -> std::shared_ptr<quor::sim::Card> {
        if (t1) return std::make_shared<quor::sim::T1Card>();
        return std::make_shared<quor::sim::T0Card>();
    };
    emulator->InsertCard(newCard());
    quor::client::Reader reader;
    if (reader.OpenEmulated(emulator) != 0) {
        std::fprintf(stderr, "the reader did not open\n");
        return 1;
    }
    const std::vector<Bytes> commands = {
        {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00},  // SELECT MF with its FCI
        {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},  // SELECT MF, no answer
        {0x00, 0xCA, 0x00, 0x00, 0x00},              // an instruction the card does not know
    };
    std::map<std::pair<bool, size_t>, Bytes> expected;  // by protocol and command
    const auto ready = [&] {
        for (int i = 0; i < 5; ++i) {
            if (reader.Power(quor::client::PowerAction::ColdReset).Ok() &&
                reader.SetProtocol(t1 ? quor::client::protocol::kT1 : quor::client::protocol::kT0)
                    .Ok()) {
                return true;
            }
        }
        return false;
    };

    std::atomic<long> done{0};
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        long last = -1;
        while (!finished) {
            for (int i = 0; i < 600 && !finished; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (finished) break;
            if (done == last) {
                std::fprintf(stderr, "stuck: no APDU finished in 60 s (at %ld)\n", last);
                std::_Exit(3);
            }
            last = done;
        }
    });

    long faults = 0, cardChanges = 0, failures = 0, wrong = 0, recoveries = 0, notReady = 0;
    long memoryStart = 0;
    const auto start = std::chrono::steady_clock::now();
    bool needReady = true;
    for (long i = 0; i < apdus; ++i, ++done) {
        if (i == apdus / 100) memoryStart = ResidentKb();  // after the warm-up
        if (rng() % 500 == 0) {
            t1 = rng() % 2 == 0;
            emulator->RemoveCard();
            emulator->InsertCard(newCard());
            ++cardChanges;
            needReady = true;
        }
        if (needReady) {
            if (!ready()) {
                ++notReady;
                continue;
            }
            ++recoveries;
            needReady = false;
        }
        if (rng() % 20 == 0) {
            const Fault f = RandomFault(rng);
            if (f.kind == Fault::Kind::kCardPulled) needReady = true;
            emulator->InjectFault(quor::sim::kCodeExchange, f);
            ++faults;
        }
        const size_t which = rng() % commands.size();
        const quor::client::Reply r = reader.Transmit(commands[which]);
        emulator->ClearFaults();
        if (!emulator->CardPresent()) emulator->InsertCard(newCard());
        if (!r.Ok()) {
            ++failures;
            needReady = true;
            continue;
        }
        auto [it, fresh] = expected.try_emplace({t1, which}, r.data);
        if (!fresh && it->second != r.data) {
            ++wrong;
            std::fprintf(stderr, "wrong answer to command %zu at APDU %ld\n", which, i);
        }
    }
    finished = true;
    watchdog.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long memoryEnd = ResidentKb();
    reader.Close();
    const long stuck = IoTestLiveIrps();

    std::printf("APDUs:              %ld\n", apdus);
    std::printf("faults injected:    %ld\n", faults);
    std::printf("card changes:       %ld\n", cardChanges);
    std::printf("failed APDUs:       %ld\n", failures);
    std::printf("power-ups:          %ld (%ld not ready)\n", recoveries, notReady);
    std::printf("wrong data:         %ld\n", wrong);
    std::printf("stuck requests:     %ld\n", stuck);
    std::printf("memory (RSS):       %ld kB after warm-up, %ld kB at the end\n", memoryStart,
                memoryEnd);
    std::printf("duration:           %.1f s\n", seconds);
    return wrong == 0 && stuck == 0 ? 0 : 1;
}
