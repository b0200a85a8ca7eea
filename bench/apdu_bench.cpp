// What the host stack costs per card exchange, per status poll and at rest, and how close it
// comes to the line's own time at 9600 baud.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "client/reader.h"
#include "client/sim_line.h"
#include "platform/kernel/clock.h"
#include "platform/smclib/smclib.h"
#include "sim/frame.h"
#include "sim/processor_card.h"
#include "tools/quorctl/cli.h"

namespace quor::bench {
namespace {

// SELECT of the sample application's DF by name, no answer data.
const std::vector<UCHAR> kSelect{0x00, 0xA4, 0x04, 0x0C, 0x05, 0xF0, 0x45, 0x4D, 0x55, 0x01};
// SELECT of DF 5000 by file id, then READ BINARY of 255 bytes of EF 5002 (SFI 2).
const std::vector<UCHAR> kSelectDf{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00};
const std::vector<UCHAR> kReadBinary{0x00, 0xB0, 0x82, 0x00, 0xFF};

constexpr quor::sim::SimTime kByteTime9600 = 1146;  // 8 data bits, no parity, 2 stop bits

void Fail(benchmark::State& state, const char* what) { state.SkipWithError(what); }

// ---- unpaced: the host stack's own cost ----

void BM_Apdu(benchmark::State& state, CardKind card) {
    kclock::SetReal();
    Bench bench;
    Device& d = bench.AddReader(card, 0);
    const ULONG protocol = bench.Ready(d);
    for (int i = 0; i < 50; ++i) bench.Transmit(d, protocol, kSelect);  // warm-up
    const auto threadsBefore = ThreadSwitches();
    const std::uint64_t allocBefore = Allocations();
    CountAllocations(true);
    const Usage before = Now();
    for (auto _ : state) {
        if (bench.Transmit(d, protocol, kSelect) != STATUS_SUCCESS) {
            Fail(state, "transmit failed");
            break;
        }
    }
    const Usage used = Now() - before;
    CountAllocations(false);
    const auto threadsAfter = ThreadSwitches();
    const double n = static_cast<double>(state.iterations());
    state.counters["cpu_us"] = used.cpu / n * 1e6;
    state.counters["switches"] = static_cast<double>(used.switches) / n;
    state.counters["other_thread_wakes"] =
        static_cast<double>(MostSwitchesOfOneThread(threadsBefore, threadsAfter, ThreadId())) / n;
    state.counters["allocs"] = static_cast<double>(Allocations() - allocBefore) / n;
}
BENCHMARK_CAPTURE(BM_Apdu, T0, CardKind::T0)->Iterations(3000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Apdu, T1, CardKind::T1)->Iterations(3000)->Unit(benchmark::kMicrosecond);

// An open device with nothing to do for 10 s: the polling thread's status polls only.
void BM_Idle(benchmark::State& state) {
    kclock::SetReal();
    Bench bench;
    Device& d = bench.AddReader(CardKind::T1, 0);
    bench.Ready(d);
    for (auto _ : state) {
        const std::uint64_t frames = d.reader->FrameCount();
        const std::uint64_t allocBefore = Allocations();
        CountAllocations(true);
        const Usage before = Now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const Usage used = Now() - before;
        CountAllocations(false);
        const double polls = static_cast<double>(d.reader->FrameCount() - frames);
        state.counters["idle_cpu_ms_per_10s"] = used.cpu * 1e3;
        state.counters["polls"] = polls;
        state.counters["cpu_us_per_poll"] = polls > 0 ? used.cpu / polls * 1e6 : 0;
        state.counters["switches_per_poll"] =
            polls > 0 ? static_cast<double>(used.switches) / polls : 0;
        state.counters["allocs_per_poll"] =
            polls > 0 ? static_cast<double>(Allocations() - allocBefore) / polls : 0;
    }
}
BENCHMARK(BM_Idle)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- paced at 9600 baud both ways, against a minimal host ----

struct PacedCase {
    CardKind card;
    std::vector<UCHAR> setup;  // sent once before (empty: none)
    std::vector<UCHAR> apdu;
};

// The frames a reader took in, as the host wrote them.
std::vector<std::vector<UCHAR>> HostFrames(const std::vector<quor::sim::FrameRecord>& records) {
    std::vector<std::vector<UCHAR>> frames;
    for (const auto& f : records) frames.push_back(quor::sim::CommandFrame(f.code, f.data));
    return frames;
}

// A host with no stack at all: each frame in one write, then a blocking read of its reply
// (head, then the rest the head announces). Returns false when a reply does not come.
bool MinimalHost(PacedLine& line, const std::vector<std::vector<UCHAR>>& frames) {
    UCHAR reply[600];
    for (const auto& f : frames) {
        line.Write(f);
        if (!line.ReadBlocking(std::span<UCHAR>(reply, 2), 5 * kclock::kTicksPerSecond)) {
            return false;
        }
        const std::size_t rest = reply[1] + 1u + ((reply[0] & 0x80) ? 256u : 0u);
        if (!line.ReadBlocking(std::span<UCHAR>(reply + 2, rest), 5 * kclock::kTicksPerSecond)) {
            return false;
        }
    }
    return true;
}

void BM_Paced(benchmark::State& state, PacedCase c) {
    kclock::SetReal();
    constexpr int kApdus = 10;
    for (auto _ : state) {
        std::vector<quor::sim::FrameRecord> records;
        std::size_t phaseStart = 0;
        double wire = 0;
        Usage driverUsed;
        {
            Bench bench;
            Device& d = bench.AddReader(c.card, kByteTime9600, true);
            const ULONG protocol = bench.Ready(d);
            if (!c.setup.empty()) bench.Transmit(d, protocol, c.setup);
            phaseStart = d.reader->Frames().size();
            const Usage before = Now();
            for (int i = 0; i < kApdus; ++i) {
                if (bench.Transmit(d, protocol, c.apdu) != STATUS_SUCCESS) {
                    Fail(state, "transmit failed");
                    return;
                }
            }
            driverUsed = Now() - before;
            records = d.reader->Frames();
        }
        for (std::size_t i = phaseStart; i < records.size(); ++i) {
            const std::size_t bytes =
                quor::sim::CommandFrame(records[i].code, records[i].data).size() +
                records[i].reply.size();
            wire += static_cast<double>(bytes) * kByteTime9600 / 1e6;
        }
        // The same frames from the minimal host, to a reader in the same state.
        const auto frames = HostFrames(records);
        quor::sim::ReaderConfig config;
        config.byteTime = kByteTime9600;
        auto reader = std::make_shared<quor::sim::Reader>(config);
        if (c.card == CardKind::T0) {
            reader->InsertCard(std::make_shared<quor::sim::T0Card>());
        } else {
            reader->InsertCard(std::make_shared<quor::sim::T1Card>());
        }
        PacedLine line(reader, kByteTime9600);
        const std::vector<std::vector<UCHAR>> before(frames.begin(), frames.begin() + phaseStart);
        const std::vector<std::vector<UCHAR>> phase(frames.begin() + phaseStart, frames.end());
        if (!MinimalHost(line, before)) {
            Fail(state, "the minimal host got no reply while catching up");
            return;
        }
        const Usage minimalBefore = Now();
        if (!MinimalHost(line, phase)) {
            Fail(state, "the minimal host got no reply");
            return;
        }
        const Usage minimalUsed = Now() - minimalBefore;
        state.counters["ms_per_apdu"] = driverUsed.wall / kApdus * 1e3;
        state.counters["minimal_ms_per_apdu"] = minimalUsed.wall / kApdus * 1e3;
        state.counters["vs_minimal"] = minimalUsed.wall / driverUsed.wall;
        state.counters["vs_wire"] = driverUsed.wall / wire;
        state.counters["cpu_ms_per_apdu"] = driverUsed.cpu / kApdus * 1e3;
        state.counters["minimal_cpu_ms_per_apdu"] = minimalUsed.cpu / kApdus * 1e3;
        state.counters["switches_per_apdu"] = static_cast<double>(driverUsed.switches) / kApdus;
        state.counters["minimal_switches_per_apdu"] =
            static_cast<double>(minimalUsed.switches) / kApdus;
        state.counters["frames_per_apdu"] =
            static_cast<double>(phase.size()) / static_cast<double>(kApdus);
    }
}
BENCHMARK_CAPTURE(BM_Paced, T0_SELECT, PacedCase{CardKind::T0, {}, kSelect})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Paced, T1_SELECT, PacedCase{CardKind::T1, {}, kSelect})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Paced, T1_READ_BINARY_255, PacedCase{CardKind::T1, kSelectDf, kReadBinary})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---- several readers in one process ----

// Poll periods of one reader: the times between its successive polls, in seconds.
std::vector<double> PollPeriods(quor::sim::Reader& emulator) {
    std::vector<double> periods;
    std::optional<quor::sim::SimTime> last;
    for (const auto& f : emulator.Frames()) {
        if (last) periods.push_back(static_cast<double>(f.time - *last) / 1e6);
        last = f.time;
    }
    return periods;
}

void BM_Readers(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    // Real time: a loaded machine's late wake-ups (tens of milliseconds) stay small next to a
    // poll period, where a faster clock would magnify them.
    kclock::SetReal();
    std::vector<std::unique_ptr<quor::client::Reader>> readers;
    std::vector<std::shared_ptr<quor::sim::Reader>> emulators;
    for (int i = 0; i < count; ++i) {
        auto emulator = std::make_shared<quor::sim::Reader>();
        emulator->InsertCard(std::make_shared<quor::sim::T1Card>());
        auto reader = std::make_unique<quor::client::Reader>();
        if (reader->OpenEmulated(emulator) != 0) {
            Fail(state, "a reader did not open");
            return;
        }
        reader->Power(quor::client::PowerAction::ColdReset);
        reader->SetProtocol(quor::client::protocol::kT1);
        emulators.push_back(emulator);
        readers.push_back(std::move(reader));
    }
    for (auto _ : state) {
        // CPU per APDU, the readers taking turns (their polls go on meanwhile).
        constexpr int kApdus = 2000;
        const Usage before = Now();
        for (int i = 0; i < kApdus; ++i) {
            readers[static_cast<std::size_t>(i % count)]->Transmit(kSelect);
        }
        const Usage used = Now() - before;
        state.counters["cpu_us_per_apdu"] = used.cpu / kApdus * 1e6;
        // Every reader's polls over an idle stretch of about six periods. A reader's poll
        // period is the mean time between its polls; the spread is how far the readers'
        // periods lie apart (max - min) against their median. The single periods, late
        // wake-ups included, are reported beside it.
        for (auto& e : emulators) e->SetRecording(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(1800 * 6 + 900));
        std::vector<double> perReader;
        std::vector<double> single;
        for (auto& e : emulators) {
            const std::vector<double> periods = PollPeriods(*e);
            e->SetRecording(false);
            if (periods.empty()) continue;
            double sum = 0;
            for (double p : periods) sum += p;
            perReader.push_back(sum / static_cast<double>(periods.size()));
            single.insert(single.end(), periods.begin(), periods.end());
        }
        if (perReader.size() != emulators.size()) {
            Fail(state, "a reader did not poll");
            return;
        }
        std::sort(perReader.begin(), perReader.end());
        std::sort(single.begin(), single.end());
        const double median = perReader[perReader.size() / 2];
        state.counters["poll_period_s"] = median;
        state.counters["poll_spread_pct"] = (perReader.back() - perReader.front()) / median * 100;
        state.counters["single_period_spread_pct"] =
            (single.back() - single.front()) / single[single.size() / 2] * 100;
    }
    readers.clear();
}
BENCHMARK(BM_Readers)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(64)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// ---- quorctl's shell ----

// The shell over the built-in emulated reader: `apdus` transmits of the same APDU.
Usage Shell(int apdus, std::uint64_t* allocations, std::uint64_t* all) {
    std::string script;
    for (int i = 0; i < apdus; ++i) script += "transmit 00 A4 04 0C 05 F0 45 4D 55 01\n";
    std::istringstream in(script);
    std::ostringstream out;
    std::ostringstream err;
    const std::uint64_t allocBefore = Allocations();
    const std::uint64_t allBefore = AllAllocations();
    CountAllocations(true);
    const Usage before = Now();
    quorctl::RunCli({"--sim", "shell"}, in, out, err);
    const Usage used = Now() - before;
    CountAllocations(false);
    *allocations = Allocations() - allocBefore;
    *all = AllAllocations() - allBefore;
    return used;
}

void BM_QuorctlShell(benchmark::State& state) {
    kclock::SetReal();
    for (auto _ : state) {
        std::uint64_t fewAllocs = 0;
        std::uint64_t manyAllocs = 0;
        std::uint64_t fewAll = 0;
        std::uint64_t manyAll = 0;
        const Usage few = Shell(20, &fewAllocs, &fewAll);
        const Usage many = Shell(1020, &manyAllocs, &manyAll);
        state.counters["cpu_us_per_apdu"] = (many.cpu - few.cpu) / 1000 * 1e6;
        state.counters["switches_per_apdu"] =
            static_cast<double>(many.switches - few.switches) / 1000;
        state.counters["allocs_per_apdu"] = static_cast<double>(manyAllocs - fewAllocs) / 1000;
        state.counters["allocs_per_apdu_with_emulator"] =
            static_cast<double>(manyAll - fewAll) / 1000;
    }
}
BENCHMARK(BM_QuorctlShell)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quor::bench
