#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: install what is missing, build, and scan the demo chain of the embedded emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh main
cmake -S . -B build -DKRV_BUILD_TESTS=OFF -DKRV_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target cse-host quorbit-sim KoravenCsePlugin_14 >/dev/null
exec build/bin/cse-host "${@:-scan}"
