#!/usr/bin/env bash
# Builds the tools the README uses and runs the guided tour on the built-in emulated reader.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
quor_install_dependencies
cmake --preset default >/dev/null
targets=(quorctl quor-sim quor_ifd ctapi-quor)
if [[ ! -x build/default/tools/quorctl/quorctl ]]; then
    echo "Building ${targets[*]}: the first build takes a few minutes on a small machine." >&2
fi
cmake --build --preset default --target "${targets[@]}"
cat >&2 <<'MSG'

The tools are in build/default/tools (quorctl, quor-sim), build/default/pcsc (the pcscd
handler) and build/default/ctapi (the CT-API library). The README shows how to run the emulator
in the background and use it from a second terminal.
MSG
./build/default/tools/quorctl/quorctl --sim demo
