#!/usr/bin/env bash
# The Debian package: built from the default build, checked by lintian (no errors), installed
# and removed cleanly. Runs after scripts/test.sh has built the default preset.
set -uo pipefail
cd "$(dirname "$0")/../.."
build=build/default
passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what"
        failed=$((failed + 1))
    fi
}

rm -f "$build"/quor-tools_*.deb
(cd "$build" && cpack -G DEB >/dev/null) || { echo "cpack failed"; echo "passed 0 failed 1"; exit 1; }
deb=$(ls "$build"/quor-tools_*.deb)
echo "package: $deb"

lintian_log=$(lintian --no-tag-display-limit "$deb" 2>&1)
echo "$lintian_log"
check "lintian reports no errors" bash -c '! grep -q "^E:" <<<"$1"' _ "$lintian_log"

dpkg -r quor-tools >/dev/null 2>&1
check "dpkg -i installs it" dpkg -i "$deb"
check "quorctl --version" bash -c 'quorctl --version | grep -q "^quorctl "'
check "quor-sim --version" bash -c 'quor-sim --version | grep -q "^quor-sim "'
check "binaries are stripped" bash -c '! file -L /usr/bin/quorctl /usr/bin/quor-sim | grep -q "not stripped"'
check "manual pages" test -f /usr/share/man/man1/quorctl.1.gz -a -f /usr/share/man/man1/quor-sim.1.gz
check "bash completion" test -f /usr/share/bash-completion/completions/quorctl
check "documentation" test -f /usr/share/doc/quor-tools/copyright -a -f /usr/share/doc/quor-tools/README.md
check "CT-API library and header" test -f /usr/include/ctapi.h -a -f /usr/lib/libctapi-quor.so.0
check "the linker cache knows the CT-API library" bash -c 'ldconfig -p | grep -q "libctapi-quor.so.0 "'
check "the emulated reader answers" bash -c 'quorctl --sim --clock-scale 1000 --json status | grep -q "\"status\":\"0x00000000\""'
check "dpkg -r removes it" dpkg -r quor-tools
check "nothing is left" bash -c '! test -e /usr/bin/quorctl && ! test -e /usr/share/doc/quor-tools &&
    ! test -e /usr/lib/libctapi-quor.so.0'

echo "passed $passed failed $failed"
[ "$failed" -eq 0 ]
