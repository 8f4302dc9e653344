#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# SVF playback over a lossy network: a generated file of one SIR and N-1 checked SDRs through
# device 1's 24-bit user register of the demo chain, played by cse-host against quorbit-sim with
# network faults, RUNS times per shift mode; prints how many runs passed and their times.
#   soak-svf.sh [runs] [statements] [faults]
#   (defaults: 10 runs, 1000 statements, 1% drop, 0.5% duplication and reordering and 1-30 ms
#   delays each way)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-10}"
statements="${2:-1000}"
faults="${3:-drop-in=0.01,drop-out=0.01,dup-in=0.005,dup-out=0.005,reorder-in=0.005,reorder-out=0.005,delay-in=1-30ms,delay-out=1-30ms}"
bin="${BUILD_DIR:-build-test}/bin"
work="$(mktemp -d)"
trap 'kill "${sim:-0}" 2>/dev/null || true; rm -rf "$work"' EXIT
python3 - "$statements" > "$work/lossy.svf" <<'PY'
import random, sys
random.seed(1)
# IR path 18 bits: orbis (6, BYPASS), talpa (8, user register 0x22), nerid (4, BYPASS), nerid
# nearest TDO. The DR path: nerid's BYPASS bit, talpa's 24 bits, orbis's BYPASS bit.
print("SIR 18 TDI (3F22F);")
held = 0
for _ in range(int(sys.argv[1]) - 1):
    value = random.getrandbits(24)
    print("SDR 26 TDI (%07X) TDO (%07X) MASK (3FFFFFE);" % (value << 1, held << 1))
    held = value
PY
for shifts in split merged; do
    passed=0
    for run in $(seq 1 "$runs"); do
        "$bin/quorbit-sim" --port 0 --faults "$faults,seed=$run" > "$work/sim.out" 2>/dev/null &
        sim=$!
        for _ in $(seq 1 100); do grep -q listening "$work/sim.out" && break; sleep 0.05; done
        port="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/sim.out")"
        start=$(date +%s%N)
        if "$bin/cse-host" --node 127.0.0.1 --port "$port" --shifts "$shifts" svf "$work/lossy.svf" \
            > "$work/host.out" 2>&1; then
            passed=$((passed + 1))
        else
            echo "run $run ($shifts): $(tail -1 "$work/host.out")"
        fi
        echo "run $run ($shifts): $(( ($(date +%s%N) - start) / 1000000 )) ms"
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    done
    echo "== $shifts: $passed of $runs runs passed ($statements statements, faults $faults)"
done
