#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A long soak: cse-soak over several seeds, without faults and at two fault rates, each run
# checking every TDO bit against its own chain model. Any wrong result fails the script.
#   soak.sh [operations per run] [seeds] [signal interval in us]
#   (defaults: 20000 operations, seeds 1 2 3, no signals; with an interval every run also gets
#   SIGALRM that often, its handler installed without SA_RESTART)
# Each seed also gets a lossy run (1% drop, duplication and reordering, 1-30 ms delays each way)
# that keeps its session after failures: a tenth of the operations, as each waits for its delays.
set -euo pipefail
cd "$(dirname "$0")/.."
ops="${1:-20000}"
seeds="${2:-1 2 3}"
storm=()
[[ -n "${3:-}" ]] && storm=(--signal-storm-us "$3")
build="${BUILD_DIR:-build/default}"
if [[ ! -x "$build/bin/cse-soak" ]]; then
    cmake --preset default >/dev/null
    cmake --build --preset default -j"${JOBS:-$(nproc)}" --target cse-soak
fi
for seed in $seeds; do
    for rate in 0 0.002 0.01; do
        echo "== seed $seed, fault rate $rate, $ops operations"
        "$build/bin/cse-soak" --seed "$seed" --ops "$ops" --fault-rate "$rate" --devices 6 \
            --timeout-ms 100 "${storm[@]}"
    done
    echo "== seed $seed, lossy network, $((ops / 10)) operations"
    "$build/bin/cse-soak" --lossy --seed "$seed" --ops "$((ops / 10))" --devices 6 \
        --timeout-ms 300 "${storm[@]}"
done
