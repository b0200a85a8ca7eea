#!/usr/bin/env bash
# Memory soak: sends many APDUs through quorctl's shell and checks that resident memory stays
# flat. By default quorctl runs the emulated reader in its own process (--sim); with --pty it
# drives quor-sim over a pseudo-terminal instead, and quor-sim's memory is watched as well.
#
# Usage: scripts/memory_soak.sh [--count N] [--pty] [--build DIR] [--limit KB]
#   --count N    APDUs to send (default 100000); the first 1000 warm up and are not measured
#   --pty        drive quor-sim over a pseudo-terminal instead of the in-process emulator
#   --build DIR  build directory with the programs (default build/default)
#   --limit KB   growth of resident memory allowed after the warm-up (default 4096)
# Prints resident memory as it goes and exits 1 when a process grew past the limit or an
# APDU failed. Takes about 3 minutes for 100000 APDUs on the in-process emulator.
set -euo pipefail
cd "$(dirname "$0")/.."

count=100000
pty=0
build=build/default
limit=4096
while [ $# -gt 0 ]; do
    case "$1" in
        --count) count="$2"; shift 2 ;;
        --pty) pty=1; shift ;;
        --build) build="$2"; shift 2 ;;
        --limit) limit="$2"; shift 2 ;;
        *) echo "usage: $0 [--count N] [--pty] [--build DIR] [--limit KB]" >&2; exit 2 ;;
    esac
done
warmup=1000
batch=500
if [ "$count" -le "$warmup" ]; then
    echo "memory_soak: --count must be above the $warmup warm-up APDUs" >&2
    exit 2
fi

quorctl="$build/tools/quorctl/quorctl"
quorsim="$build/tools/quor-sim/quor-sim"
[ -x "$quorctl" ] || { echo "memory_soak: $quorctl not built" >&2; exit 2; }

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

names=(quorctl)
target=(--sim)
if [ "$pty" = 1 ]; then
    [ -x "$quorsim" ] || { echo "memory_soak: $quorsim not built" >&2; exit 2; }
    exec {simout}< <(exec "$quorsim" --pty </dev/null 2>/dev/null)
    simpid=$!
    read -r -u "$simout" tty
    target=(--port "$tty")
    names+=(quor-sim)
fi
coproc QUORCTL { exec "$quorctl" "${target[@]}" --json shell 2>/dev/null; }
pids=("$QUORCTL_PID")
[ "$pty" = 1 ] && pids+=("$simpid")

declare -a start
sent=0
started=$(date +%s)
while [ "$sent" -lt "$count" ]; do
    n=$((count - sent < batch ? count - sent : batch))
    for ((i = 0; i < n; i++)); do
        echo "transmit 00 84 00 00 08" >&"${QUORCTL[1]}"
    done
    for ((i = 0; i < n; i++)); do
        if ! read -r line <&"${QUORCTL[0]}"; then
            echo "memory_soak: quorctl ended after $((sent + i)) APDUs" >&2
            exit 1
        fi
        case "$line" in
            *'"sw":"9000"'*) ;;
            *) echo "memory_soak: APDU $((sent + i + 1)) failed: $line" >&2; exit 1 ;;
        esac
    done
    sent=$((sent + n))
    if [ "$sent" -eq "$warmup" ]; then
        for k in "${!pids[@]}"; do start[k]=$(rss "${pids[k]}"); done
    fi
    if [ $((sent % 10000)) -eq 0 ] || [ "$sent" -eq "$count" ] || [ "$sent" -eq "$warmup" ]; then
        line="$(printf '%7d APDUs' "$sent")"
        for k in "${!pids[@]}"; do line+="  ${names[k]} $(rss "${pids[k]}") KB"; done
        echo "$line"
    fi
done

status=0
measured=$((count - warmup))
for k in "${!pids[@]}"; do
    end=$(rss "${pids[k]}")
    growth=$((end - start[k]))
    printf '%s: resident %d KB after %d APDUs, %d KB after %d: %+d KB, %d bytes per APDU\n' \
        "${names[k]}" "${start[k]}" "$warmup" "$end" "$count" "$growth" \
        $((growth * 1024 / measured))
    if [ "$growth" -gt "$limit" ]; then
        echo "memory_soak: ${names[k]} grew by more than $limit KB" >&2
        status=1
    fi
done
echo "quit" >&"${QUORCTL[1]}"
wait "$QUORCTL_PID" || true
if [ "$pty" = 1 ]; then
    kill "$simpid"  # quor-sim serves until told to stop
    exec {simout}<&-
fi
echo "$count APDUs in $(($(date +%s) - started)) s"
exit "$status"
