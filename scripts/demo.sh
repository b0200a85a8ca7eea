#!/usr/bin/env bash
# Builds the project and runs the guided tour on the built-in emulated reader.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quor_install_dependencies
cmake --preset default >/dev/null
cmake --build --preset default --target quorctl
./build/default/tools/quorctl/quorctl --sim demo
