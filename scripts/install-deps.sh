#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the project needs, only those that are missing.
#   install-deps.sh main   what building the plug-in, cse-host, quorbit-sim and the Python module needs
#   install-deps.sh test   additionally what the whole test suite needs (Windows cross build, Wine, OpenOCD, tshark, clang runtimes,
#                          man pages, packaging and its checks)
set -euo pipefail

mode="${1:-main}"
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev libpcap-dev)
packages+=(python3-dev pybind11-dev)  # the Python module koraven_cse
if [[ "$mode" == "test" ]]; then
    packages+=(clang libclang-rt-14-dev valgrind g++-mingw-w64-i686 openocd tshark wine wine32:i386)
    packages+=(help2man man-db dpkg-dev file lintian pkg-config unzip)
    packages+=(python3-pytest python3-venv)  # python3-venv: the user README's venv example
    packages+=(gdb-multiarch binutils-arm-none-eabi)  # GDB on the emulated ARM core, its test ELF
    packages+=(strace)  # the bridge's system calls per wait (bench.sh)
fi

missing=()
for pkg in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}" >&2
sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
