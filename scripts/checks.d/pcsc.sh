#!/usr/bin/env bash
# End-to-end check of the pcscd handler: two emulated QUOR readers on pseudo-terminals
# (quor-sim), a private pcscd that knows only them and our handler, and the PC/SC tools and a
# pyscard client on top. pcscd and the emulators are stopped whatever happens.
#
# Needs the default build (scripts/test.sh runs this after it; it builds what is missing).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
source scripts/deps.sh
quor_install_dependencies >/dev/null

build=$root/build/default
if [ ! -f "$build/pcsc/libquor_ifd.so" ] || [ ! -x "$build/tools/quor-sim/quor-sim" ]; then
    cmake --preset default >/dev/null && cmake --build --preset default --target quor_ifd quor-sim ||
        exit 1
fi

# pcscd's socket and pid file live at a fixed place (/run/pcscd). The check runs in a mount
# namespace of its own with a private /run/pcscd, so that a pcscd of the system neither
# disturbs it nor is disturbed; without the rights for that it runs only when no pcscd does.
if [ -z "${QUOR_PCSC_PRIVATE:-}" ] && unshare --mount --propagation private true 2>/dev/null; then
    exec env QUOR_PCSC_PRIVATE=1 unshare --mount --propagation private bash "$0" "$@"
fi
if [ -n "${QUOR_PCSC_PRIVATE:-}" ]; then
    mkdir -p /run/pcscd && mount -t tmpfs quor-pcscd /run/pcscd || exit 1
elif pgrep -x pcscd >/dev/null; then
    echo "a pcscd runs already, and no private /run/pcscd can be had: stop it to run this check"
    echo "passed 0 failed 1"
    exit 1
fi

work=$(mktemp -d /tmp/quor-pcsc.XXXXXX)
sim_pid= pcscd_pid=
cleanup() {
    [ -n "$pcscd_pid" ] && kill "$pcscd_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    for pid in $pcscd_pid $sim_pid; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$pid" 2>/dev/null
    done
    exec 3>&- 2>/dev/null
    if [ "${KEEP_LOGS:-}" = "" ]; then rm -rf "$work"; else echo "logs kept in $work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0 failed=0
ok() { echo "ok $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
finish() {
    echo "passed $passed failed $failed"
    [ "$failed" -eq 0 ]
    exit
}

# The emulators: reader 1 a T=1 card with a keypad script for the first PIN entry, reader 2 a
# T=0 card. Commands go in through a FIFO held open for the whole run.
mkfifo "$work/sim.in"
"$build/tools/quor-sim/quor-sim" --pty --reader "card=t1;keys=1234,ok" --reader "card=t0" \
    <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
exec 3>"$work/sim.in"
for _ in $(seq 50); do [ "$(wc -l <"$work/sim.out")" -ge 2 ] && break; sleep 0.1; done
mapfile -t ptys < <(head -n 2 "$work/sim.out")
if [ ${#ptys[@]} -ne 2 ]; then
    fail "quor-sim serves two pseudo-terminals"
    cat "$work/sim.err"
    finish
fi
ok "quor-sim serves ${ptys[*]}"

# A private pcscd: its own reader.conf.d with our two readers only.
mkdir -p "$work/conf"
for i in 0 1; do
    name=$([ $i = 0 ] && echo A || echo B)
    cat >"$work/conf/quor-$name" <<EOF
FRIENDLYNAME "QUOR $name"
DEVICENAME   ${ptys[$i]}
LIBPATH      $build/pcsc/libquor_ifd.so
EOF
done
export QUOR_IFD_LOG=debug
pcscd --foreground --debug --config "$work/conf" >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!

# Both readers open (each takes a few seconds: reset and identification).
started=$SECONDS
for _ in $(seq 300); do
    [ "$(grep -c 'quor: reader [0-9]*: .* open, unit' "$work/pcscd.log")" -ge 2 ] && break
    kill -0 "$pcscd_pid" 2>/dev/null || break
    sleep 0.1
done
if [ "$(grep -c 'quor: reader [0-9]*: .* open, unit' "$work/pcscd.log")" -ge 2 ]; then
    ok "pcscd opened both readers in $((SECONDS - started)) s"
else
    fail "pcscd opened both readers"
    tail -n 40 "$work/pcscd.log"
    finish
fi
sleep 1  # pcscd powers the cards up and reads their ATRs

# pcsc_scan sees the readers and the cards' ATRs.
timeout 15 pcsc_scan -n -t 3 >"$work/scan.out" 2>&1
if grep -q "QUOR A" "$work/scan.out" && grep -q "3B 86 81 31 FE 45 45 4D 55 2D 54 31 98" "$work/scan.out"; then
    ok "pcsc_scan sees reader A and its T=1 card's ATR"
else
    fail "pcsc_scan sees reader A and its card's ATR"
    cat "$work/scan.out"
fi
if grep -q "QUOR B" "$work/scan.out"; then ok "pcsc_scan sees reader B"; else fail "pcsc_scan sees reader B"; fi

# opensc-tool lists them and exchanges APDUs with both cards.
if timeout 20 opensc-tool --list-readers >"$work/opensc.out" 2>&1 &&
    grep -q "QUOR A" "$work/opensc.out" && grep -q "QUOR B" "$work/opensc.out"; then
    ok "opensc-tool lists both readers"
else
    fail "opensc-tool lists both readers"
    cat "$work/opensc.out"
fi
for r in 0 1; do
    if timeout 30 opensc-tool --reader $r --card-driver default \
        --send-apdu 00A4000C023F00 --send-apdu 0084000008 >"$work/apdu$r.out" 2>&1 &&
        grep -q "SW1=0x90, SW2=0x00" "$work/apdu$r.out" &&
        [ "$(grep -c 'SW1=0x90, SW2=0x00' "$work/apdu$r.out")" -ge 2 ]; then
        ok "opensc-tool --send-apdu on reader $r"
    else
        fail "opensc-tool --send-apdu on reader $r"
        cat "$work/apdu$r.out"
    fi
done

# The pyscard client: T=0 and T=1, chaining, 256-byte answers, card events, PIN pad, MCT.
started=$SECONDS
QUOR_SIM_FIFO=$work/sim.in QUOR_SIM_OUT=$work/sim.out timeout 300 /usr/bin/python3 \
    scripts/pcsc_e2e.py >"$work/client.out" 2>&1
client=$?
cat "$work/client.out"
passed=$((passed + $(grep -c '^ok ' "$work/client.out")))
failed=$((failed + $(grep -c '^FAIL ' "$work/client.out")))
if [ $client -ne 0 ] && ! grep -q '^FAIL ' "$work/client.out"; then fail "pyscard client (exit $client)"; fi
echo "pyscard client: $((SECONDS - started)) s"

# What the handler told pcscd's log.
if grep -q "quor: reader 0: power up: STATUS_SUCCESS" "$work/pcscd.log"; then
    ok "the handler logs through pcscd"
else
    fail "the handler logs through pcscd"
fi
if [ $failed -ne 0 ]; then
    echo "---- pcscd log (last lines) ----"
    tail -n 60 "$work/pcscd.log"
    echo "---- quor-sim ----"
    cat "$work/sim.out" "$work/sim.err"
fi
finish
