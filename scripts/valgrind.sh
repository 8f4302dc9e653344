#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the end-to-end target tests (the debugger target against quorbit-sim over real UDP) and the
# recovery, boundary and regression tests of the fault suite under valgrind memcheck: any leak or
# invalid access fails.
#   valgrind.sh [gtest filter for target_tests]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${JOBS:-$(nproc)}"
filter="${1:-*}"
cmake --preset valgrind >/dev/null
cmake --build --preset valgrind -j"$jobs" --target target_tests fault_tests
bin=build/valgrind/bin
faults='RecoveryTest.*:TargetBoundaryTest.*:LostReplyRegression.*'
memcheck=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible
          --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1
          --track-origins=yes)
"${memcheck[@]}" "$bin/target_tests" --gtest_filter="$filter" --gtest_brief=1
"${memcheck[@]}" "$bin/fault_tests" --gtest_filter="$faults" --gtest_brief=1
echo "valgrind: no leaks and no invalid accesses"
