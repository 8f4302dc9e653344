#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The fault-free end-to-end rows of this tree against those of an earlier commit, in one run: both
# krv-bench binaries alternate, one repetition each in turn, so that the machine's load falls on
# both alike. Prints a table and puts it into bench/RESULTS.md ("Before and after").
#
#   scripts/bench-against.sh [--runs N] [--pin CLIENT,PEER]... REV
#     --runs N           alternations per placement (default 5); medians over them
#     --pin CLIENT,PEER  a placement (may be given more than once; default 0,0 and 0,1)
#     REV                the commit to compare with, built in a worktree of its own
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
pins=()
rev=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --runs) runs="${2:?--runs needs a number}"; shift 2 ;;
        --pin) pins+=("${2:?--pin needs CLIENT,PEER}"); shift 2 ;;
        -h|--help) sed -n '3,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "bench-against.sh: unknown option $1" >&2; exit 2 ;;
        *) rev="$1"; shift ;;
    esac
done
[[ -n "$rev" ]] || { echo "usage: scripts/bench-against.sh [--runs N] [--pin CLIENT,PEER]... REV" >&2; exit 2; }
[[ ${#pins[@]} -gt 0 ]] || pins=(0,0 0,1)
commit="$(git rev-parse --verify "$rev^{commit}")"
short="$(git rev-parse --short "$commit")"

build="${KRV_BENCH_BUILD:-build-bench}"
old_source="build-bench-against/$short-source"
old_build="build-bench-against/$short-build"
results=bench/results/against
mkdir -p "$results" build-bench-against
rm -f "$results"/*.json

echo "building this tree in $build and $short in $old_build ..." >&2
[[ -d "$old_source" ]] || git worktree add --detach "$old_source" "$commit" >/dev/null
for pair in ".:$build" "$old_source:$old_build"; do
    cmake -S "${pair%%:*}" -B "${pair#*:}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_BUILD_BENCH=ON \
        -DKRV_BUILD_TESTS=OFF >/dev/null
    cmake --build "${pair#*:}" -j2 --target krv-bench quorbit-sim krv-floor-peer >/dev/null
done

# The library's rows only: the floor's are the same code on both sides.
filter='^e2e/(chain_dr|navigate|idcode|device_dr)/library/'
for pin in "${pins[@]}"; do
    for run in $(seq "$runs"); do
        echo "placement $pin, alternation $run of $runs ..." >&2
        for side in before after; do
            bin="$build/bin"
            [[ $side == before ]] && bin="$old_build/bin"
            KRV_BENCH_PIN="$pin" "$bin/krv-bench" --benchmark_filter="$filter" \
                --benchmark_min_time=0.5 --benchmark_out_format=json \
                --benchmark_out="$results/$side-${pin/,/-}-$run.json" >/dev/null 2>&1 || {
                echo "bench-against.sh: krv-bench ($side) failed" >&2
                exit 1
            }
        done
    done
done

python3 - "$results" "$short" "$(git rev-parse --short HEAD)" \
    "$(date -u +%F), load average $(cut -d' ' -f1-3 /proc/loadavg)" "$runs" "${pins[@]}" \
    >"$results/table.md" <<'PY'
import glob, json, statistics, sys
results, before_rev, after_rev, when, runs, *pins = sys.argv[1:]
def medians(side, pin):
    times = {}
    for path in glob.glob(f"{results}/{side}-{pin.replace(',', '-')}-*.json"):
        for entry in json.load(open(path))["benchmarks"]:
            if not entry.get("error_occurred"):
                name = entry["name"].replace("/real_time", "").split("/iterations:")[0]
                times.setdefault(name, []).append(entry["real_time"])
    return {name: statistics.median(values) for name, values in times.items()}
print("\n## Before and after\n")
print(f"The library's fault-free rows of {after_rev} against {before_rev}, the two krv-bench binaries "
      f"alternating in one run; medians of {runs} alternations per placement (client CPU, peer CPU); "
      f"{when}. Reproduce with `scripts/bench-against.sh {before_rev}`.")
print("\n| Row | Placement | Before | After | After / before |")
print("|---|---|---|---|---|")
for pin in pins:
    before, after = medians("before", pin), medians("after", pin)
    for name in sorted(before, key=lambda n: (n.split("/")[1], int(n.split("bits:")[1].split("/")[0]), n)):
        if name in after:
            row = name.replace("e2e/", "").replace("/library", "")
            print(f"| {row} | {pin} | {before[name]:.1f} µs | {after[name]:.1f} µs | {after[name] / before[name]:.2f} |")
PY
cat "$results/table.md"
scripts/put-results-section.py bench/RESULTS.md "$results/table.md" "Before and after"
