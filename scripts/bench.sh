#!/usr/bin/env bash
# Runs the benchmarks of bench/ and prints one table: this tree ("after") beside a baseline
# tree built from an earlier commit ("now"), measured in the same run on the same machine.
#
#   scripts/bench.sh [BASELINE_COMMIT]     (default: the commit where this branch left main)
#
# The baseline is exported into a scratch directory, the bench/ sources of this tree are
# compiled against it (they adapt to what its interfaces offer), and both programs run their
# benchmarks in turn, three times each; the table shows the medians. Wall-clock figures
# depend on the machine's load: the load average is printed with the table.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/deps.sh"
quor_install_dependencies

base_commit="${1:-$(git -C "$here" merge-base HEAD main)}"
scratch="${QUOR_BENCH_SCRATCH:-/tmp/quor-bench-baseline}"
runs="${QUOR_BENCH_RUNS:-3}"
filter="${QUOR_BENCH_FILTER:-.}"

# This tree.
cmake --preset default -S "$here" >/dev/null
cmake --build "$here/build/default" --target quor_bench >/dev/null

# The baseline, with this tree's bench/ added to it.
# A plain export of the commit (no work tree of the repository), refreshed when it changes;
# its build tree is kept between runs.
if [ "$(cat "$scratch/.commit" 2>/dev/null)" != "$(git -C "$here" rev-parse "$base_commit")" ]; then
    mkdir -p "$scratch"
    find "$scratch" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
    git -C "$here" archive "$base_commit" | tar -x -C "$scratch"
    git -C "$here" rev-parse "$base_commit" >"$scratch/.commit"
fi
rm -rf "$scratch/bench"
cp -r "$here/bench" "$scratch/bench"
grep -q 'quor_optional_subdirectory(bench)' "$scratch/CMakeLists.txt" ||
    echo 'quor_optional_subdirectory(bench)' >>"$scratch/CMakeLists.txt"
cmake -S "$scratch" -B "$scratch/build/default" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$scratch/build/default" --target quor_bench >/dev/null

out="$(mktemp -d)"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
for i in $(seq 1 "$runs"); do
    for side in now after; do
        if [ "$side" = now ]; then bin="$scratch/build/default/bench/quor_bench"; else bin="$here/build/default/bench/quor_bench"; fi
        "$bin" --benchmark_filter="$filter" --benchmark_format=json \
            --benchmark_out="$out/$side-$i.json" >/dev/null 2>"$out/$side-$i.err" || true
    done
done
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$out" "$runs" "$load_before" "$load_after" <<'PY'
import json, statistics, sys, os, platform, subprocess
out, runs, lb, la = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

def load(side):
    vals = {}
    for i in range(1, runs + 1):
        p = os.path.join(out, f"{side}-{i}.json")
        if not os.path.exists(p):
            continue
        try:
            data = json.load(open(p))
        except Exception:
            continue
        for b in data.get("benchmarks", []):
            name = b["name"].split("/iterations")[0]
            for k, v in b.items():
                if isinstance(v, (int, float)) and k not in ("iterations", "real_time", "cpu_time",
                        "repetitions", "repetition_index", "threads", "family_index",
                        "per_family_instance_index"):
                    vals.setdefault((name, k), []).append(v)
    return {k: statistics.median(v) for k, v in vals.items()}

now, after = load("now"), load("after")
rows = [
    ("CPU per T=0 APDU, no pacing (us)", "BM_Apdu/T0", "cpu_us", "<= 50"),
    ("CPU per T=1 APDU, no pacing (us)", "BM_Apdu/T1", "cpu_us", "<= 50"),
    ("context switches per APDU (T=1)", "BM_Apdu/T1", "switches", "<= 10"),
    ("wakes of the busiest other thread per APDU (T=1)", "BM_Apdu/T1", "other_thread_wakes", "0"),
    ("heap allocations per APDU, driver + platform (T=0)", "BM_Apdu/T0", "allocs", "0"),
    ("heap allocations per APDU, driver + platform (T=1)", "BM_Apdu/T1", "allocs", "0"),
    ("idle CPU of an open device over 10 s (ms)", "BM_Idle", "idle_cpu_ms_per_10s", ""),
    ("CPU per status poll (us)", "BM_Idle", "cpu_us_per_poll", ""),
    ("heap allocations per status poll", "BM_Idle", "allocs_per_poll", "0"),
    ("T=0 SELECT at 9600: minimal host time / ours", "BM_Paced/T0_SELECT", "vs_minimal", ">= 0.98"),
    ("T=0 SELECT at 9600: our time / wire time", "BM_Paced/T0_SELECT", "vs_wire", ""),
    ("T=1 SELECT at 9600: minimal host time / ours", "BM_Paced/T1_SELECT", "vs_minimal", ">= 0.98"),
    ("T=1 SELECT at 9600: our time / wire time", "BM_Paced/T1_SELECT", "vs_wire", ""),
    ("CPU per T=1 SELECT at 9600 (ms, all threads)", "BM_Paced/T1_SELECT", "cpu_ms_per_apdu", "<= 0.6"),
    ("  minimal host (ms)", "BM_Paced/T1_SELECT", "minimal_cpu_ms_per_apdu", ""),
    ("context switches per T=1 SELECT at 9600", "BM_Paced/T1_SELECT", "switches_per_apdu", ""),
    ("  minimal host", "BM_Paced/T1_SELECT", "minimal_switches_per_apdu", ""),
    ("CPU per 255-byte READ BINARY at 9600 (ms)", "BM_Paced/T1_READ_BINARY_255", "cpu_ms_per_apdu", "<= 6"),
    ("  minimal host (ms)", "BM_Paced/T1_READ_BINARY_255", "minimal_cpu_ms_per_apdu", ""),
    ("255-byte READ BINARY: minimal host time / ours", "BM_Paced/T1_READ_BINARY_255", "vs_minimal", ""),
    ("quorctl shell --sim: CPU per APDU (us)", "BM_QuorctlShell", "cpu_us_per_apdu", "<= 50"),
    ("quorctl shell: context switches per APDU", "BM_QuorctlShell", "switches_per_apdu", "<= 10"),
    ("quorctl shell: heap allocations per APDU (host side)", "BM_QuorctlShell", "allocs_per_apdu", "<= 20"),
    ("quorctl shell: the same with the emulator's", "BM_QuorctlShell", "allocs_per_apdu_with_emulator", ""),
]
for n in (1, 4, 16, 64):
    rows.append((f"{n} readers: CPU per APDU (us)", f"BM_Readers/{n}", "cpu_us_per_apdu", ""))
    rows.append((f"{n} readers: spread of the readers' poll periods (%)", f"BM_Readers/{n}", "poll_spread_pct", "< 5"))
    rows.append((f"{n} readers: spread of single poll periods (%)", f"BM_Readers/{n}", "single_period_spread_pct", ""))

def fmt(v):
    if v is None:
        return "-"
    if abs(v) >= 100:
        return f"{v:.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.3g}"

cpu = "unknown"
for line in open("/proc/cpuinfo"):
    if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break
print(f"machine: {cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}")
print(f"load average before / after: {lb} / {la}; medians of {runs} runs")
print()
print("| measure | now (baseline) | after | goal |")
print("|---|---|---|---|")
for label, bench, key, goal in rows:
    print(f"| {label} | {fmt(now.get((bench, key)))} | {fmt(after.get((bench, key)))} | {goal} |")
PY
