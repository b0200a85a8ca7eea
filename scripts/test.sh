#!/usr/bin/env bash
# Builds the project and runs every test suite: the normal build, then the AddressSanitizer +
# UndefinedBehaviorSanitizer build and the ThreadSanitizer build. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quor_install_dependencies

for preset in default asan tsan; do
    echo "== $preset build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    # TSan needs the address space layout it was built for.
    if [ "$preset" = tsan ]; then
        setarch "$(uname -m)" -R ctest --preset "$preset"
    else
        ctest --preset "$preset"
    fi
done
