#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for QUOR_FUZZ_SECONDS (default 30)
# from its seed corpus in fuzz/corpus, two at a time. A finding fails the check; its input is
# kept under build/fuzz/findings to reproduce it (build/fuzz/fuzz/fuzz_NAME FILE).
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds=${QUOR_FUZZ_SECONDS:-30}
{ cmake --preset fuzz && cmake --build --preset fuzz; } >build/fuzz-build.log 2>&1 ||
    { tail -n 40 build/fuzz-build.log; echo "passed 0 failed 1"; exit 1; }

run() {
    local name=$1 work=build/fuzz/run/$1
    rm -rf "$work" && mkdir -p "$work/corpus" build/fuzz/findings
    local args=("$work/corpus")
    [ -d "fuzz/corpus/$name" ] && args+=("fuzz/corpus/$name")
    [ -f "fuzz/$name.dict" ] && args+=("-dict=fuzz/$name.dict")
    build/fuzz/fuzz/fuzz_"$name" "${args[@]}" -max_total_time="$seconds" -timeout=25 \
        -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$name-" >"$work/log" 2>&1
    echo $? >"$work/status"
}

names=()
for bin in build/fuzz/fuzz/fuzz_*; do names+=("${bin##*/fuzz_}"); done
for ((i = 0; i < ${#names[@]}; i += 2)); do
    run "${names[i]}" &
    [ $((i + 1)) -lt ${#names[@]} ] && run "${names[i + 1]}" &
    wait
done
passed=0 failed=0
for name in "${names[@]}"; do
    log=build/fuzz/run/$name/log
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    if [ "$(cat "build/fuzz/run/$name/status")" = 0 ]; then
        echo "fuzz_$name: ${runs:-?} executions in $seconds s, nothing found"
        passed=$((passed + 1))
    else
        echo "fuzz_$name: FAILED"
        grep -E 'property failed|ERROR|SUMMARY|Test unit written' "$log" | head -n 10
        failed=$((failed + 1))
    fi
done
echo "passed $passed failed $failed"
[ $failed -eq 0 ]
