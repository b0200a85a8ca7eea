# Installs the Debian 12 packages the build needs, when any is missing. Sourced by the scripts.
QUOR_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
               libcli11-dev nlohmann-json3-dev libfmt-dev pkg-config
               help2man lintian dpkg-dev file
               # the pcscd handler, and its end-to-end check (scripts/checks.d/pcsc.sh)
               libpcsclite-dev pcscd pcsc-tools opensc python3-pyscard)

quor_install_dependencies() {
    local missing=()
    for p in "${QUOR_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}"
    fi
}
