#!/usr/bin/env bash
# Builds the project and runs every test suite: the normal build, the AddressSanitizer +
# UndefinedBehaviorSanitizer build and the ThreadSanitizer build, and the checks listed in
# scripts/checks.d. Installs what is missing. QUOR_TEST_PRESETS (e.g. "default") limits the
# presets built, for a quicker run by hand.
#
# Every step runs, whatever the steps before it did. Build and test output goes to a log file
# per step under build/logs (shown when the step fails); the script ends with one table of the
# steps and exits non-zero when any of them failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quor_install_dependencies

logs=build/logs
mkdir -p "$logs"
rows=()
failed=0

# Records one row of the summary: step, result, tests passed, tests failed, seconds.
row() { rows+=("$1|$2|$3|$4|$5"); }

# Shows the end of a failed step's log: the failing tests and what they printed.
show_failure() {
    local log=$1
    echo "---- $log (last lines) ----"
    tail -n 80 "$log"
    echo "---- end of $log ----"
}

# Builds one CMake preset and runs its tests.
preset_step() {
    local preset=$1 start=$SECONDS log="$logs/$1.log"
    echo "== $preset: build and tests (log: $log)"
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
        show_failure "$log"
        row "$preset" "build failed" - - $((SECONDS - start))
        failed=1
        return
    fi
    local ctest=(ctest --preset "$preset")
    # TSan needs the address space layout it was built for.
    [ "$preset" = tsan ] && ctest=(setarch "$(uname -m)" -R "${ctest[@]}")
    "${ctest[@]}" >>"$log" 2>&1
    local status=$?
    local summary total bad
    summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
    if [ -z "$summary" ]; then total=0 bad=0; fi
    if [ $status -ne 0 ] || [ "$bad" != 0 ]; then
        grep -E '\*\*\*(Failed|Timeout|Exception)|Subprocess aborted' "$log" | head -n 40
        show_failure "$log"
        row "$preset" failed $((total - bad)) "$bad" $((SECONDS - start))
        failed=1
    else
        row "$preset" passed "$total" 0 $((SECONDS - start))
    fi
}

# Runs one further check: a script that prints what it did and exits non-zero on failure.
# Its last line may be "passed N failed M" to fill the table's counts.
check_step() {
    local script=$1 name start=$SECONDS log
    name=$(basename "$script" .sh)
    log="$logs/$name.log"
    echo "== $name (log: $log)"
    bash "$script" >"$log" 2>&1
    local status=$?
    local counts passed=- bad=-
    counts=$(tail -n 1 "$log")
    if [[ $counts =~ ^passed\ ([0-9]+)\ failed\ ([0-9]+)$ ]]; then
        passed=${BASH_REMATCH[1]}
        bad=${BASH_REMATCH[2]}
    fi
    if [ $status -ne 0 ]; then
        show_failure "$log"
        row "$name" failed "$passed" "$bad" $((SECONDS - start))
        failed=1
    else
        row "$name" passed "$passed" "$bad" $((SECONDS - start))
    fi
}

for preset in ${QUOR_TEST_PRESETS:-default asan tsan}; do
    preset_step "$preset"
done
for script in scripts/checks.d/*.sh; do
    [ -e "$script" ] && check_step "$script"
done

echo
printf '%-14s %-13s %8s %8s %8s\n' step result passed failed seconds
for r in "${rows[@]}"; do
    IFS='|' read -r name result passed bad seconds <<<"$r"
    printf '%-14s %-13s %8s %8s %8s\n' "$name" "$result" "$passed" "$bad" "$seconds"
done
exit $failed
