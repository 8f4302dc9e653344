#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, builds everything with warnings as errors, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
# With the packages' flags (scripts/package.sh reuses this tree), so that it is built once.
mapfile -t buildflags < <(scripts/debian-buildflags.sh)
cmake -S . -B build-test -DKRV_WERROR=ON -DKRV_BUILD_TESTS=ON -DCMAKE_INSTALL_PREFIX=/usr "${buildflags[@]}" \
    >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
# Packages from the same build tree, then the installed tree, out-of-tree hosts and the .deb.
scripts/package.sh build-test
scripts/check-install.sh build-test dist/koraven-cse-plugin_*_"$(dpkg --print-architecture)".deb
# Reliability: the whole suite under AddressSanitizer and UBSan, valgrind memcheck of the end-to-end
# tests, and every fuzz target for about 30 s; any finding fails the run.
scripts/sanitizers.sh
scripts/valgrind.sh
scripts/fuzz.sh 30
