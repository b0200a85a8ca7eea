#!/usr/bin/env bash
# Soak run: APDUS (default 100000) through the driver to the in-process emulator with random
# faults and card changes; prints the figures (bench/soak.cpp). Builds the default preset.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quor_install_dependencies
cmake --preset default >/dev/null
cmake --build --preset default --target quor_soak
build/default/bench/quor_soak "${1:-100000}" "${2:-1}"
