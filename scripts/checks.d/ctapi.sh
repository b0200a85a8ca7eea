#!/usr/bin/env bash
# The CT-API library as applications use it: the C session of tests/ctapi loads it with dlopen
# and talks to three readers that quor-sim emulates on pseudo-terminals. Builds what it needs in
# the default preset, or in the one QUOR_CTAPI_PRESET names (asan, tsan). quor-sim is stopped
# whatever happens.
set -uo pipefail
cd "$(dirname "$0")/../.."
preset=${QUOR_CTAPI_PRESET:-default}
build=build/$preset
targets=(ctapi-quor quor-sim ctapi_session)
{ cmake --preset "$preset" && cmake --build --preset "$preset" --target "${targets[@]}"; } >/dev/null ||
    { echo "build failed"; exit 1; }

work=$(mktemp -d)
sim_pid=
cleanup() {
    exec 3>&-
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Reader 1: a T=1 card. Reader 2: a T=0 card, and a display whose every reply reports an error.
# Reader 3: silent.
mkfifo "$work/control"
"$build/tools/quor-sim/quor-sim" --pty --exit-on-eof --readers 3 --reader "card=t1" \
    --reader "card=t0;fault=10:error:0x80xalways" \
    <"$work/control" >"$work/output" 2>"$work/sim.log" &
sim_pid=$!
exec 3>"$work/control"  # open while the session runs; should this script die, quor-sim ends
echo "3 silent on" >&3

for _ in $(seq 100); do
    [ "$(grep -c '^/dev/' "$work/output")" -ge 3 ] && break
    sleep 0.1
done
mapfile -t ptys < <(grep '^/dev/' "$work/output")
if [ "${#ptys[@]}" -lt 3 ]; then
    echo "quor-sim did not start:"
    cat "$work/sim.log"
    echo "passed 0 failed 1"
    exit 1
fi
echo "readers on ${ptys[*]}"

export QUOR_CTAPI_PORT_1=${ptys[0]} QUOR_CTAPI_PORT_2=${ptys[1]} QUOR_CTAPI_PORT_3=${ptys[2]}
run=()
# TSan needs the address space layout it was built for.
[ "$preset" = tsan ] && run=(setarch "$(uname -m)" -R)
timeout 300 "${run[@]}" "$build/tests/ctapi/ctapi_session" "$PWD/$build/ctapi/libctapi-quor.so" \
    "$work/control" "$work/output"
status=$?
if [ $status -ne 0 ] && [ $status -ne 1 ]; then
    echo "the session ended with status $status"
    echo "passed 0 failed 1"
fi
exit $status
