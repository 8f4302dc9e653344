#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the native layers with AddressSanitizer and UndefinedBehaviorSanitizer (CMake preset
# "asan", compiler from $CXX, g++ by default) and runs the whole test suite under them.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${JOBS:-$(nproc)}"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
# Leaks fail the run; any undefined behaviour stops the program that shows it.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --preset asan -j"$jobs"
