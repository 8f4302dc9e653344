#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build-test -DKRV_WERROR=ON -DKRV_BUILD_TESTS=ON >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
