#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every benchmark of the plug-in in one go and prints one table; the rows also go to
# bench/results/latest.json and, with the machine and this command, to bench/RESULTS.md.
#
#   scripts/bench.sh [--pin CLIENT,PEER] [--compare-pinned CLIENT,PEER] [--quick] [--svf-only]
#                    [--bridge-only] [--bridge-wait-only] [--arm-only] [--python-only]
#     --pin CLIENT,PEER  pin the benchmark (and OpenOCD) to CPU CLIENT and every peer process
#                        (quorbit-sim, the floor's peer) to CPU PEER; unpinned by default
#     --compare-pinned CLIENT,PEER
#                        run the end-to-end part once more, pinned so, into an extra column
#                        (may be given more than once, e.g. 0,0 for one CPU and 0,1 apart)
#     --quick            one short repetition instead of five, to try the script out
#     --svf-only         only the SVF playback rows: split, check-each, queued and OpenOCD
#                        (appended to bench/RESULTS.md)
#     --bridge-only      only OpenOCD through cse-host serve against OpenOCD directly (appended)
#     --bridge-wait-only only the bridge's own overhead, futex calls and context switches per
#                        OpenOCD wait (on one CPU unless --pin; appended)
#     --arm-only         only OpenOCD's operations on the arm chain's core, bridge against direct
#                        (appended)
#     --python-only      only the Python module's rows (appended to bench/RESULTS.md)
#
# Parts: krv-bench (end to end against quorbit-sim and the floor, framework against a null target,
# the virtual chain alone), OpenOCD over remote_bitbang against quorbit-sim, callgrind on the
# client side of a long shift. Without openocd or valgrind those rows say "not measured".
set -euo pipefail
cd "$(dirname "$0")/.."

pin=""
compare_pins=()
repetitions=5
min_time=0.5
openocd_shifts=5
svf_only=""
bridge_only=""
bridge_wait_only=""
arm_only=""
python_only=""
while [[ $# -gt 0 ]]; do
    case "$1" in
        --pin) pin="${2:?--pin needs CLIENT,PEER}"; shift 2 ;;
        --compare-pinned) compare_pins+=("${2:?--compare-pinned needs CLIENT,PEER}"); shift 2 ;;
        --quick) repetitions=1; min_time=0.05; openocd_shifts=2; shift ;;
        --svf-only) svf_only=1; shift ;;
        --bridge-only) bridge_only=1; shift ;;
        --bridge-wait-only) bridge_wait_only=1; shift ;;
        --arm-only) arm_only=1; shift ;;
        --python-only) python_only=1; shift ;;
        *)
            echo "usage: scripts/bench.sh [--pin CLIENT,PEER] [--compare-pinned CLIENT,PEER] [--quick] [--svf-only] [--bridge-only] [--bridge-wait-only] [--arm-only] [--python-only]" >&2
            exit 2
            ;;
    esac
done

build="${KRV_BENCH_BUILD:-build-bench}"
results=bench/results
bin="$build/bin"
mkdir -p "$results"

# Starts quorbit-sim on free UDP and remote_bitbang ports (on the peer CPU when pinned) and sets
# sim_pid, udp_port, rbb_port, on_peer and svf_client_pin.
start_rbb_sim() {
    local dir="$1"
    [[ -n "${peer_cpu:-}" ]] && on_peer="taskset -c $peer_cpu"
    svf_client_pin="${client_cpu:-}"
    $on_peer "$bin/quorbit-sim" --port 0 --rbb-port 0 >"$dir/sim.txt" 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do
        grep -qs '^remote_bitbang on' "$dir/sim.txt" && break
        sleep 0.1
    done
    udp_port="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/sim.txt")"
    rbb_port="$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$dir/sim.txt")"
}

sim_counter_line() {  # the emulator's counters line now (SIGUSR1), of $sim_pid into $dir/sim.txt
    local before
    before="$(grep -c 'counters:' "$dir/sim.txt" || true)"
    kill -USR1 "$sim_pid"
    while [[ "$(grep -c 'counters:' "$dir/sim.txt" || true)" == "$before" ]]; do sleep 0.01; done
    grep 'counters:' "$dir/sim.txt" | tail -1
}
sim_counters() {  # the emulator's counters now: "REQUESTS ROUNDS"
    sim_counter_line |
        sed 's/.*counters: \([0-9]*\) requests, [0-9]* remote_bitbang clocks, \([0-9]*\) .*/\1 \2/'
}

# The SVF files both SVF sections play, written into DIR: the 4-Mbit checked BYPASS file, 3,000
# small checked SDRs each with RUNTEST 10 TCK, and a programming file's shape.
make_svf_files() {
    python3 - "$1" <<'PY'
import random, sys
random.seed(13)
out = sys.argv[1]
head = ["TRST OFF;", "ENDIR IDLE;", "ENDDR IDLE;", "STATE RESET;", "STATE IDLE;"]
bits = 200000
lines = head + ["SIR 18 TDI(3FFFF);"]
mask = "%X" % ((1 << bits) - 1)
for _ in range(20):
    tdi = random.getrandbits(bits)
    lines.append("SDR %d TDI(%X)\n  TDO(%X)\n  MASK(%s);" % (bits, tdi, (tdi << 3) & ((1 << bits) - 1), mask))
open(out + "/bypass-4mbit.svf", "w").write("\n".join(lines) + "\n")
# talpa's 24-bit register between the two BYPASS bits: each SDR writes a value and checks the last.
lines = head + ["SIR 18 TDI(3F22F);"]
last = None  # the register keeps what an earlier run left
for _ in range(3000):
    value = random.getrandbits(26)
    check = "" if last is None else " TDO(%07X) MASK(1FFFFFE)" % (last & 0x1FFFFFE)
    lines.append("SDR 26 TDI(%07X)%s;" % (value, check))
    lines.append("RUNTEST 10 TCK;")
    last = value
open(out + "/small-sdrs.svf", "w").write("\n".join(lines) + "\n")
# A programming file's shape: the IDCODEs checked, all in BYPASS, a long unchecked SDR (the
# bitstream), a wait, three bits read back (BYPASS captures 0).
bits = 5750000
lines = head + ["SDR 65 TDI(0) TDO(02A381DFE4F463DFE) MASK(1FFFFFFFFFFFFFFFF);",
                "SIR 18 TDI(3FFFF);", "RUNTEST 1000 TCK;",
                "SDR %d TDI(%X);" % (bits, random.getrandbits(bits)), "RUNTEST 2000 TCK;",
                "SDR 3 TDI(7) TDO(0) MASK(7);"]
open(out + "/bitstream-5m75.svf", "w").write("\n".join(lines) + "\n")
PY
}

# ---- SVF playback rows (self-contained) ----
# cse-host svf with --shifts split, with --shifts merged --check-each and queued (--shifts merged)
# and OpenOCD's svf over remote_bitbang, alternated, against one quorbit-sim process, process start
# included: 3,000 small checked SDRs with RUNTEST 10 TCK, the 4-Mbit checked BYPASS file and a
# programming file's shape; the link requests of each cse-host run from the emulator's counters,
# less those of the same cse-host on a file without statements (the session's own); and the
# parser alone in MB/s of SVF text. A section per placement (--pin) in bench/RESULTS.md.
svf_run_ms() {  # svf_run_ms COMMAND...: wall time of one run in ms; fails when the run fails
    local start end
    start=$(date +%s%N)
    ${svf_client_pin:+taskset -c "$svf_client_pin"} "$@" >"$results/svf/last-run.txt" 2>&1 || return 1
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
svf_mode_options() {  # the cse-host options of a playback mode
    case "$1" in
        split) echo "--shifts split" ;;
        check-each) echo "--shifts merged --check-each" ;;
        queued) echo "--shifts merged" ;;
    esac
}
svf_row() {
    local runs="$1" dir="$results/svf" sim_pid udp_port rbb_port name file mode ms before after
    local on_peer=""
    mkdir -p "$dir"
    rm -f "$dir"/*.txt  # no port or time of an earlier run may be read
    echo "SVF playback: cse-host split, check-each and queued, and OpenOCD, $runs runs each ..." >&2
    cmake --build "$build" -j2 --target cse-host quorbit-sim krv-svf-parse-bench >/dev/null
    make_svf_files "$dir"
    echo "! no statements: the session's own requests" >"$dir/empty.svf"
    start_rbb_sim "$dir"
    for name in empty small-sdrs bypass-4mbit bitstream-5m75; do
        file="$dir/$name.svf"
        for _ in $(seq "$([[ $name == empty ]] && echo 1 || echo "$runs")"); do
            for mode in split check-each queued; do
                before="$(sim_counters)"
                # shellcheck disable=SC2046  # the mode's options are words
                ms="$(svf_run_ms "$bin/cse-host" --node 127.0.0.1 --port "$udp_port" \
                    $(svf_mode_options "$mode") svf "$file")" ||
                    { cat "$results/svf/last-run.txt" >&2; kill "$sim_pid"; return 1; }
                after="$(sim_counters)"
                echo "$ms $before $after" >>"$dir/$name-$mode.txt"
            done
            if command -v openocd >/dev/null && [[ $name != empty ]]; then
                ms="$(bridge_ocd_ms "$rbb_port" "$file")" ||
                    { cat "$results/svf/last-run.txt" >&2; kill "$sim_pid"; return 1; }
                echo "$ms" >>"$dir/$name-openocd.txt"
            fi
        done
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    "$bin/krv-svf-parse-bench" --benchmark_min_time=0.5 --benchmark_format=json \
        >"$dir/parse.json" 2>/dev/null
    python3 - "$dir" "$runs" "${pin:-not pinned}" \
        "$(date -u +%F), load average $(cut -d' ' -f1-3 /proc/loadavg)" >"$dir/row.md" <<'PY'
import json, os, statistics, sys
d, runs, pin, when = sys.argv[1:]
def rows(name):
    path = "%s/%s.txt" % (d, name)
    return [list(map(int, line.split())) for line in open(path)] if os.path.exists(path) else []
parse = json.load(open(d + "/parse.json"))["benchmarks"][0]["bytes_per_second"] / 1e6
modes = ("split", "check-each", "queued")
# The session's own requests (open, scan, IR lengths, close) in each mode; the file's TAP reset stays.
own = {mode: rows("empty-" + mode)[0][3] - rows("empty-" + mode)[0][1] - 1 for mode in modes}
print("\n## SVF playback, placed %s\n" % pin)
print("Medians of %s runs each, process start included, one quorbit-sim process for all;"
      " placement (cse-host and OpenOCD, quorbit-sim): %s; %s. split: `--shifts split`; check-each:"
      " `--shifts merged --check-each`; queued: `--shifts merged` (statements queued into raw shifts"
      " of up to 61,408 clocks). Link requests: the emulator's count during the run less the"
      " session's own (open, scan, IR lengths, close: %s split / check-each / queued)."
      % (runs, pin, when, " / ".join(str(own[m]) for m in modes)))
print("\n| File | cse-host split | cse-host check-each | cse-host queued | OpenOCD (remote_bitbang) | queued vs OpenOCD | queued / check-each | Link requests split / check-each / queued | Target |")
print("|---|---|---|---|---|---|---|---|---|")
# (file, what it is, how many times OpenOCD's time queued must take at most, requests at most)
files = (("small-sdrs", "3,000 SDRs of 26 bits, each with RUNTEST 10 TCK, TDO checked", 10, 10),
         ("bypass-4mbit", "4 Mbit: 20 SDRs of 200,000 bits, BYPASS, TDO checked", 0, 0),
         ("bitstream-5m75", "a programming file's shape: one unchecked SDR of 5.75 Mbit", 0, 0))
med = lambda r: statistics.median(x[0] for x in r)
for name, what, need, most in files:
    got = {mode: rows(name + "-" + mode) for mode in modes}
    ocd = rows(name + "-openocd")
    requests = {m: statistics.median(x[3] - x[1] for x in got[m]) - own[m] for m in modes}
    share = med(got["queued"]) / max(med(got["check-each"]), 1)
    targets = []
    faster = "not measured (no openocd)"
    if ocd:
        speedup = med(ocd) / max(med(got["queued"]), 1)
        faster = "%.1f× faster" % speedup
        if need:
            targets.append("≥ %d× OpenOCD: %s" % (need, "met" if speedup >= need else "MISSED"))
    if most:
        targets.append("≤ %d requests: %s" % (most, "met" if requests["queued"] <= most else "MISSED"))
    if not need:
        targets.append("queued not slower than check-each (≤ 1.05×): %s"
                       % ("met" if share <= 1.05 else "MISSED"))
    print("| %s | %d ms | %d ms | %d ms | %s | %s | %.2f | %d / %d / %d | %s |"
          % (what, med(got["split"]), med(got["check-each"]), med(got["queued"]),
             ("%d ms" % med(ocd)) if ocd else "not measured", faster, share,
             requests["split"], requests["check-each"], requests["queued"], "; ".join(targets)))
print("| SVF parsing alone (the 4-Mbit file, in memory) | %.0f MB/s | | | | | | | far above the link |" % parse)
PY
    cat "$dir/row.md"
    # An earlier run's section of the same placement goes (and the one of the old layout).
    scripts/put-results-section.py bench/RESULTS.md "$dir/row.md" "SVF playback" "SVF playback, placed ${pin:-not pinned}"
}

# ---- OpenOCD through the bridge (self-contained) ----
# OpenOCD's svf of three files through "cse-host serve" (the plug-in in front of quorbit-sim) and
# directly on the same quorbit-sim's remote_bitbang port, the two paths alternated, for each
# --shifts setting: 3,000 small checked SDRs with RUNTEST, the 4-Mbit checked BYPASS file, and a
# programming file's shape (IDCODEs checked, one unchecked 5.75-Mbit SDR, a status read). The
# emulator's counters (SIGUSR1) give the link requests of each bridge run. Appended to
# bench/RESULTS.md.
bridge_ocd_ms() {  # bridge_ocd_ms PORT FILE: one OpenOCD svf run; its wall time in ms
    svf_run_ms timeout 600 openocd -c "adapter driver remote_bitbang" \
        -c "remote_bitbang host 127.0.0.1" -c "remote_bitbang port $1" \
        -c "transport select jtag" -c "gdb_port disabled" -c "tcl_port disabled" \
        -c "telnet_port disabled" -c "jtag newtap nerid tap -irlen 4" \
        -c "jtag newtap talpa tap -irlen 8" -c "jtag newtap orbis tap -irlen 6" \
        -c init -c "svf -quiet $2" -c shutdown &&
        grep -q "programmed successfully" "$results/svf/last-run.txt"
}
bridge_row() {
    local runs="$1" dir="$results/bridge" sim_pid serve_pid udp_port bridge_port name file shifts
    local on_peer="" on_client="" path ms before after
    mkdir -p "$dir"
    rm -f "$dir"/*.txt
    echo "OpenOCD through the bridge and directly, $runs runs each ..." >&2
    cmake --build "$build" -j2 --target cse-host quorbit-sim KoravenCsePlugin_14 >/dev/null
    make_svf_files "$dir"
    start_rbb_sim "$dir"
    [[ -n "${client_cpu:-}" ]] && on_client="taskset -c $client_cpu"
    for shifts in merged split; do
        $on_client "$bin/cse-host" --node 127.0.0.1 --port "$udp_port" --shifts "$shifts" \
            serve --rbb-port 0 >"$dir/serve-$shifts.txt" 2>&1 &
        serve_pid=$!
        for _ in $(seq 50); do
            grep -qs '^remote_bitbang on' "$dir/serve-$shifts.txt" && break
            sleep 0.1
        done
        bridge_port="$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$dir/serve-$shifts.txt")"
        for name in small-sdrs bypass-4mbit bitstream-5m75; do
            file="$dir/$name.svf"
            for _ in $(seq "$runs"); do
                for path in direct bridge; do
                    before="$(sim_counters)"
                    ms="$(bridge_ocd_ms "$([[ $path == direct ]] && echo "$rbb_port" || echo "$bridge_port")" "$file")" ||
                        { cat "$results/svf/last-run.txt" >&2; kill "$sim_pid" "$serve_pid"; return 1; }
                    after="$(sim_counters)"
                    echo "$ms $before $after" >>"$dir/$name-$shifts-$path.txt"
                done
            done
        done
        kill -INT "$serve_pid"
        wait "$serve_pid" 2>/dev/null || true
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    python3 - "$dir" "$runs" "${pin:-not pinned}" \
        "$(date -u +%F), load average $(cut -d' ' -f1-3 /proc/loadavg)" >"$dir/row.md" <<'PY'
import statistics, sys
d, runs, pin, when = sys.argv[1:]
print("\n## OpenOCD through the bridge, placed %s\n" % pin)
print("Medians of %s runs each, process start included; OpenOCD `svf` on cse-host serve (the plug-in"
      " in front of quorbit-sim) and directly on the same quorbit-sim's remote_bitbang port,"
      " alternated; placement (OpenOCD and cse-host, quorbit-sim): %s; %s. Link requests: the"
      " emulator's count during each bridge run, OpenOCD's start (about 7 requests) and the"
      " file's header statements included. The file's floor: one request per OpenOCD wait (a"
      " checked scan waits every 255 bits) and one per 61,408 clocks of an unchecked scan."
      % (runs, pin, when))
print("\n| File | shifts= | Through the bridge | OpenOCD directly | Ratio (direct / bridge) | Link requests | The file's floor | Target |")
print("|---|---|---|---|---|---|---|---|")
files = (("small-sdrs", "3,000 SDRs of 26 bits, each with RUNTEST 10 TCK, TDO checked", 3000),
         ("bypass-4mbit", "4 Mbit: 20 SDRs of 200,000 bits, BYPASS, TDO checked", 20 * 785 + 1),
         ("bitstream-5m75", "a programming file's shape: one unchecked SDR of 5.75 Mbit", 94 + 2))
for name, what, floor in files:
    for shifts in ("merged", "split"):
        rows = {}
        for path in ("direct", "bridge"):
            rows[path] = [list(map(int, line.split())) for line in open("%s/%s-%s-%s.txt" % (d, name, shifts, path))]
        med = lambda path: statistics.median(r[0] for r in rows[path])
        requests = statistics.median(r[3] - r[1] for r in rows["bridge"])
        ratio = med("direct") / max(med("bridge"), 1)
        print("| %s | %s | %d ms | %d ms | %.2f | %d | %d | ratio ≥ 1.0: %s; requests within 20 of the floor: %s |"
              % (what, shifts, med("bridge"), med("direct"), ratio, requests, floor,
                 "met" if ratio >= 1.0 else "MISSED", "met" if requests <= floor + 20 else "MISSED"))
PY
    cat "$dir/row.md"
    # An earlier run's section of the same placement goes (and the one of the old layout).
    scripts/put-results-section.py bench/RESULTS.md "$dir/row.md" "OpenOCD through the bridge" \
        "OpenOCD through the bridge, placed ${pin:-not pinned}"
}

# ---- Python module rows (self-contained) ----
# A navigation and a 1-Mbit drscan_chain with bytes through koraven_cse against the same calls
# through the host library's C++ API (krv-session-calls), alternating in one run, and 1,000 32-bit
# drscans in one session.queue() against the same calls one by one; appended to bench/RESULTS.md.
python_row() {
    local runs="$1" dir="$results/python"
    mkdir -p "$dir"
    echo "Python module against the C++ API, $runs blocks each ..." >&2
    cmake --build "$build" -j2 --target koraven_cse_core krv-session-calls >/dev/null
    # Both sides with their emulator thread on one CPU, so that both have the same placement (two
    # CPUs or one decide the round trip, see Performance); CPU 0 unless --pin names one.
    local cpu="${client_cpu:-0}"
    taskset -c "$cpu" env CSE_HOST_PLUGIN= PYTHONPATH="$build/python" \
        /usr/bin/python3 bench/python_vs_cpp.py "$bin" "$runs" \
        "both pinned to CPU $cpu; $(date -u +%F), load average $(cut -d' ' -f1-3 /proc/loadavg)" \
        >"$dir/row.md"
    cat "$dir/row.md"
    scripts/put-results-section.py bench/RESULTS.md "$dir/row.md" "Python module"
}

# ---- OpenOCD on the arm chain's core (self-contained) ----
# One OpenOCD process per operation (bench/openocd/arm_operation.tcl: init and halt untimed, then
# the operation REPS times, timed inside OpenOCD) through "cse-host serve" and directly on the same
# quorbit-sim process with the arm chain, alternated. Link requests per operation: the emulator's
# count during a bridge run less that of a run without the operation, per repetition; OpenOCD's
# waits: the remote_bitbang rounds the emulator answered on the direct path, likewise. Appended to
# bench/RESULTS.md.
arm_row() {
    local runs="$1" dir="$results/arm" sim_pid serve_pid udp_port rbb_port bridge_port op reps
    local path port before after line on_client="" on_peer=""
    mkdir -p "$dir"
    rm -f "$dir"/*.txt
    echo "OpenOCD on the arm chain's core through the bridge and directly, $runs runs each ..." >&2
    cmake --build "$build" -j2 --target cse-host quorbit-sim KoravenCsePlugin_14 >/dev/null
    head -c 16384 /dev/urandom >"$dir/image16k.bin"
    head -c 65536 /dev/urandom >"$dir/image64k.bin"
    [[ -n "${client_cpu:-}" ]] && on_client="taskset -c $client_cpu"
    [[ -n "${peer_cpu:-}" ]] && on_peer="taskset -c $peer_cpu"
    $on_peer "$bin/quorbit-sim" --port 0 --rbb-port 0 --chain sim/chains/arm.chain >"$dir/sim.txt" 2>&1 &
    sim_pid=$!
    for _ in $(seq 50); do
        grep -qs '^remote_bitbang on' "$dir/sim.txt" && break
        sleep 0.1
    done
    udp_port="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$dir/sim.txt")"
    rbb_port="$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$dir/sim.txt")"
    $on_client "$bin/cse-host" --node 127.0.0.1 --port "$udp_port" serve --rbb-port 0 >"$dir/serve.txt" 2>&1 &
    serve_pid=$!
    for _ in $(seq 50); do
        grep -qs '^remote_bitbang on' "$dir/serve.txt" && break
        sleep 0.1
    done
    bridge_port="$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$dir/serve.txt")"
    for entry in none:1 mdw:200 mww:200 reg:100 halt:50 load16k:3 load64k:2; do
        op="${entry%:*}"
        reps="${entry#*:}"
        for _ in $(seq "$runs"); do
            for path in direct bridge; do
                port="$([[ $path == direct ]] && echo "$rbb_port" || echo "$bridge_port")"
                before="$(sim_figures)"
                $on_client timeout 600 openocd -c "set RBB_PORT $port" -f bridge/openocd/koraven-arm.cfg \
                    -c "gdb_port disabled" -c "tcl_port disabled" -c "telnet_port disabled" \
                    -c "set op $op; set reps $reps" -c "set image16k $dir/image16k.bin" \
                    -c "set image64k $dir/image64k.bin" -f bench/openocd/arm_operation.tcl \
                    >"$dir/last-run.txt" 2>&1 || { cat "$dir/last-run.txt" >&2; kill "$sim_pid" "$serve_pid"; return 1; }
                after="$(sim_figures)"
                line="$(grep '^op ' "$dir/last-run.txt")" || { cat "$dir/last-run.txt" >&2; kill "$sim_pid" "$serve_pid"; return 1; }
                echo "${line#op } $before $after" >>"$dir/$op-$path.txt"
            done
        done
    done
    kill -INT "$serve_pid"
    wait "$serve_pid" 2>/dev/null || true
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    python3 - "$dir" "$runs" "${pin:-not pinned}" \
        "$(date -u +%F), load average $(cut -d' ' -f1-3 /proc/loadavg)" >"$dir/row.md" <<'PY'
import statistics, sys
d, runs, pin, when = sys.argv[1:]
def rows(op, path):
    # NAME REPS TOTAL_US  REQUESTS CLOCKS ROUNDS (before)  REQUESTS CLOCKS ROUNDS (after)
    return [l.split() for l in open("%s/%s-%s.txt" % (d, op, path))]
def med(values):
    return statistics.median(values)
def per_op(op, path, column):
    reps = int(rows(op, path)[0][1])
    extra = med(int(r[6 + column]) - int(r[3 + column]) for r in rows(op, path))
    base = med(int(r[6 + column]) - int(r[3 + column]) for r in rows("none", path))
    return (extra - base) / reps
def micros(op, path):
    return med(int(r[2]) / int(r[1]) for r in rows(op, path))
print("\n## OpenOCD on the arm chain's core, placed %s\n" % pin)
print("Medians of %s runs each, one OpenOCD process per operation and path, the operation repeated"
      " inside it and timed by OpenOCD (`clock microseconds`; its start, init and halt not timed);"
      " `cse-host serve` and OpenOCD directly on the same quorbit-sim process (arm chain),"
      " alternated; placement (OpenOCD and cse-host, quorbit-sim): %s; %s. Link requests: the"
      " emulator's count per operation through the bridge (a run without the operation"
      " subtracted); OpenOCD's waits: the rounds the emulator answered on the direct path, likewise."
      % (runs, pin, when))
print("\n| Operation | Through the bridge | OpenOCD directly | Ratio (direct / bridge) | Link requests | OpenOCD waits | Requests per wait | Target |")
print("|---|---|---|---|---|---|---|---|")
ops = (("mdw", "`mdw` of one word"), ("mww", "`mww` of one word"),
       ("reg", "`reg r0 force` (one core register from the core)"),
       ("halt", "`resume` and `halt`"), ("load16k", "`load_image` of 16 KiB"),
       ("load64k", "`load_image` of 64 KiB"))
for op, what in ops:
    bridge, direct = micros(op, "bridge"), micros(op, "direct")
    requests, waits = per_op(op, "bridge", 0), per_op(op, "direct", 2)
    ratio = requests / waits if waits else 0
    unit = lambda us: "%.1f ms" % (us / 1000) if us >= 10000 else "%.0f µs" % us
    # The direct count may take two of OpenOCD's flushes in one round: judged to two decimals.
    print("| %s | %s | %s | %.2f | %.1f | %.1f | %.3f | ≤ 1.0 requests per wait: %s |"
          % (what, unit(bridge), unit(direct), direct / bridge, requests, waits, ratio,
             "met" if round(ratio, 2) <= 1.0 else "MISSED"))
PY
    cat "$dir/row.md"
    scripts/put-results-section.py bench/RESULTS.md "$dir/row.md" \
        "OpenOCD on the arm chain's core, placed ${pin:-not pinned}"
}

# ---- The bridge's own overhead per OpenOCD wait (self-contained) ----
# OpenOCD's svf of the small-statement and the 4-Mbit file through "cse-host serve" and directly
# on one quorbit-sim, alternated; and the plug-in's raw-shift call alone (krv-raw-shift-calls, of
# the file's clocks per wait) on the same quorbit-sim. The bridge's own overhead is its time less
# the direct time and less waits times one raw-shift call. Futex calls per wait: strace -f -c of
# the serving process during one more bridge run; context switches per wait: the serving
# process's threads' counts (/proc) around the timed bridge runs. Placed on one CPU unless --pin
# says otherwise; appended to bench/RESULTS.md.
serve_switches() {  # the voluntary and involuntary context switches of every thread of a process
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches/ {n += $2} END {print n + 0}'
}
sim_figures() {  # the emulator's counters now: "REQUESTS CLOCKS ROUNDS"
    sim_counter_line |
        sed 's/.*counters: \([0-9]*\) requests, \([0-9]*\) remote_bitbang clocks, \([0-9]*\) .*/\1 \2 \3/'
}
bridge_wait_row() {
    local runs="$1" dir="$results/bridge-wait" sim_pid serve_pid udp_port rbb_port bridge_port
    local placement="${pin:-0,0}" on_client on_peer name file ms before after sw_before sw_after
    local clocks rounds bits
    mkdir -p "$dir" "$results/svf"
    rm -f "$dir"/*.txt
    echo "The bridge's own overhead per wait, $runs runs each ..." >&2
    cmake --build "$build" -j2 --target cse-host quorbit-sim KoravenCsePlugin_14 krv-raw-shift-calls >/dev/null
    make_svf_files "$dir"
    local client_cpu="${placement%,*}" peer_cpu="${placement#*,}"
    on_client="taskset -c $client_cpu"
    start_rbb_sim "$dir"
    $on_client "$bin/cse-host" --node 127.0.0.1 --port "$udp_port" --shifts merged \
        serve --rbb-port 0 >"$dir/serve.txt" 2>&1 &
    serve_pid=$!
    for _ in $(seq 50); do
        grep -qs '^remote_bitbang on' "$dir/serve.txt" && break
        sleep 0.1
    done
    bridge_port="$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$dir/serve.txt")"
    for name in small-sdrs bypass-4mbit; do
        file="$dir/$name.svf"
        for _ in $(seq "$runs"); do
            before="$(sim_figures)"
            ms="$(bridge_ocd_ms "$rbb_port" "$file")" ||
                { cat "$results/svf/last-run.txt" >&2; kill "$sim_pid" "$serve_pid"; return 1; }
            after="$(sim_figures)"
            echo "$ms $before $after" >>"$dir/$name-direct.txt"
            before="$(sim_figures)"
            sw_before="$(serve_switches "$serve_pid")"
            ms="$(bridge_ocd_ms "$bridge_port" "$file")" ||
                { cat "$results/svf/last-run.txt" >&2; kill "$sim_pid" "$serve_pid"; return 1; }
            sw_after="$(serve_switches "$serve_pid")"
            after="$(sim_figures)"
            echo "$ms $before $after $((sw_after - sw_before))" >>"$dir/$name-bridge.txt"
        done
        # One more bridge run under strace, for the futex calls (strace slows it: not timed).
        strace -f -c -o "$dir/$name-strace.txt" -p "$serve_pid" 2>/dev/null &
        local strace_pid=$!
        sleep 0.5
        before="$(sim_figures)"
        bridge_ocd_ms "$bridge_port" "$file" >/dev/null ||
            { cat "$results/svf/last-run.txt" >&2; kill "$sim_pid" "$serve_pid" "$strace_pid"; return 1; }
        after="$(sim_figures)"
        kill -INT "$strace_pid"
        wait "$strace_pid" 2>/dev/null || true
        echo "$before $after" >"$dir/$name-strace-counts.txt"
    done
    kill -INT "$serve_pid"
    wait "$serve_pid" 2>/dev/null || true
    # One raw shift of each file's clocks per wait (from the direct path's counters), once the
    # bridge has let go of the link.
    for name in small-sdrs bypass-4mbit; do
        read -r clocks rounds <<<"$(awk '{c += $6 - $3; r += $7 - $4} END {print c, r}' "$dir/$name-direct.txt")"
        bits=$(((clocks + rounds / 2) / rounds))
        $on_client "$bin/krv-raw-shift-calls" 127.0.0.1 "$udp_port" 3000 "$bits" >"$dir/$name-call.json" ||
            { kill "$sim_pid"; return 1; }
    done
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    python3 - "$dir" "$runs" "$placement" \
        "$(date -u +%F), load average $(cut -d' ' -f1-3 /proc/loadavg)" >"$dir/row.md" <<'PY'
import json, re, statistics, sys
d, runs, placement, when = sys.argv[1:]
print("\n## The bridge's own overhead per OpenOCD wait, placed %s\n" % placement)
print("Medians of %s runs each, process start included; OpenOCD `svf` through `cse-host serve"
      " --shifts merged` and directly on the same quorbit-sim, alternated; placement (OpenOCD,"
      " cse-host and the raw-shift calls, quorbit-sim): %s; %s. Waits: the rounds quorbit-sim"
      " answered on the direct path. One raw-shift call: `krv-raw-shift-calls` of the file's"
      " clocks per wait, 3,000 calls, on the same quorbit-sim. The bridge's own overhead: its time"
      " less the direct time and less waits times one raw-shift call. Futex calls: `strace -f -c`"
      " of the serving process during one more bridge run; context switches: the serving"
      " process's threads (/proc) during the timed bridge runs." % (runs, placement, when))
print("\n| File | Waits | Through the bridge | Directly | One raw-shift call | Bridge's own overhead per wait | Share of the bridge's time | Link requests per wait | Futex calls per wait | Context switches per wait | Target |")
print("|---|---|---|---|---|---|---|---|---|---|---|")
files = (("small-sdrs", "3,000 SDRs of 26 bits, each with RUNTEST 10 TCK, TDO checked"),
         ("bypass-4mbit", "4 Mbit: 20 SDRs of 200,000 bits, BYPASS, TDO checked"))
for name, what in files:
    direct = [list(map(int, l.split())) for l in open("%s/%s-direct.txt" % (d, name))]
    bridge = [list(map(int, l.split())) for l in open("%s/%s-bridge.txt" % (d, name))]
    waits = statistics.median(r[6] - r[3] for r in direct)
    requests = statistics.median(r[4] - r[1] for r in bridge)
    switches = statistics.median(r[7] for r in bridge)
    t_bridge = statistics.median(r[0] for r in bridge) * 1000.0  # µs
    t_direct = statistics.median(r[0] for r in direct) * 1000.0
    call = json.load(open("%s/%s-call.json" % (d, name)))["raw_shift_us"]
    own = t_bridge - t_direct - waits * call
    futex = 0
    for line in open("%s/%s-strace.txt" % (d, name)):
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?futex$", line)
        if m:
            futex = int(m.group(1))
    counts = list(map(int, open("%s/%s-strace-counts.txt" % (d, name)).read().split()))
    strace_requests = counts[3] - counts[0]
    share = own / t_bridge
    targets = ["futex ≤ 1 per wait: " + ("met" if futex <= strace_requests else "MISSED"),
               "overhead ≤ 5%%: %s" % ("met" if share <= 0.05 else "MISSED")]
    print("| %s | %d | %.0f ms | %.0f ms | %.1f µs | %.1f µs | %.1f%% | %.3f | %.3f | %.2f | %s |"
          % (what, waits, t_bridge / 1000, t_direct / 1000, call, own / waits, 100 * share,
             requests / waits, futex / max(strace_requests, 1), switches / waits,
             "; ".join(targets)))
PY
    cat "$dir/row.md"
    scripts/put-results-section.py bench/RESULTS.md "$dir/row.md" \
        "The bridge's own overhead per OpenOCD wait, placed $placement"
}

if [[ -n "$python_only" ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_BUILD_BENCH=ON >/dev/null
    client_cpu="${pin%,*}"
    python_row "$repetitions"
    exit 0
fi
if [[ -n "$svf_only$bridge_only$bridge_wait_only$arm_only" ]]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_BUILD_BENCH=ON >/dev/null
    client_cpu="${pin%,*}"
    peer_cpu="${pin#*,}"
    mkdir -p "$results/svf"
    [[ -n "$svf_only" ]] && svf_row "$repetitions"
    [[ -n "$bridge_only" ]] && bridge_row "$repetitions"
    [[ -n "$bridge_wait_only" ]] && bridge_wait_row "$repetitions"
    [[ -n "$arm_only" ]] && arm_row "$repetitions"
    exit 0
fi
rm -f "$results"/*.json "$results"/*.txt "$results"/callgrind.out*

echo "building in $build ..." >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target krv-bench quorbit-sim krv-floor-peer >/dev/null

client_cpu=""
peer_cpu=""
if [[ -n "$pin" ]]; then
    client_cpu="${pin%,*}"
    peer_cpu="${pin#*,}"
    export KRV_BENCH_PIN="$pin"
fi
on_cpu() {  # on_cpu CPU COMMAND...: runs the command pinned when a CPU is given
    local cpu="$1"
    shift
    if [[ -n "$cpu" ]]; then taskset -c "$cpu" "$@"; else "$@"; fi
}

machine="$(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -sr)"
load="$(cut -d' ' -f1-3 /proc/loadavg)"

echo "krv-bench: $repetitions repetitions ..." >&2
"$bin/krv-bench" --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_min_time="$min_time" --benchmark_out="$results/gbench.json" \
    --benchmark_out_format=json >"$results/gbench.txt" 2>&1 || {
    cat "$results/gbench.txt" >&2
    exit 1
}

pinned_args=()
for compare_pin in "${compare_pins[@]}"; do
    echo "krv-bench end to end, pinned $compare_pin ..." >&2
    out="$results/gbench-pinned-${compare_pin/,/-}"
    KRV_BENCH_PIN="$compare_pin" "$bin/krv-bench" --benchmark_filter='^e2e/.*/(library|library_merged|library_callbacks|library_replay|floor)/' \
        --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_min_time="$min_time" --benchmark_out="$out.json" \
        --benchmark_out_format=json >"$out.txt" 2>&1 || {
        cat "$out.txt" >&2
        exit 1
    }
    pinned_args+=(--gbench-pinned "$compare_pin=$out.json")
done

# OpenOCD drives the same demo chain over remote_bitbang; its TAPs are declared from the TDO end.
openocd_times=""
if command -v openocd >/dev/null; then
    echo "OpenOCD over remote_bitbang ..." >&2
    chain=sim/chains/demo.chain
    # Started directly, not through on_cpu: a function in the background is a subshell, whose
    # pid the kill below would hit while quorbit-sim itself lived on.
    sim_command=("$bin/quorbit-sim" --port 0 --rbb-port 0 --chain "$chain")
    [[ -n "$peer_cpu" ]] && sim_command=(taskset -c "$peer_cpu" "${sim_command[@]}")
    "${sim_command[@]}" >"$results/sim-rbb.txt" 2>&1 &
    sim_pid=$!
    trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        grep -q '^remote_bitbang on' "$results/sim-rbb.txt" && break
        sleep 0.1
    done
    rbb_port="$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$results/sim-rbb.txt")"
    mapfile -t devices < <(sed 's/#.*//' "$chain" | awk 'NF >= 2 {print $1, $2}')
    config="$results/openocd-demo.cfg"
    {
        echo "adapter driver remote_bitbang"
        echo "remote_bitbang host 127.0.0.1"
        echo "remote_bitbang port $rbb_port"
        echo "transport select jtag"
        echo "gdb_port disabled"
        echo "tcl_port disabled"
        echo "telnet_port disabled"
        for ((i = ${#devices[@]} - 1; i >= 0; i--)); do
            read -r name irlen <<<"${devices[i]}"
            echo "jtag newtap $name tap -irlen $irlen"
        done
    } >"$config"
    # The plug-in's device-level shift goes through the middle device (index 1).
    read -r middle middle_irlen <<<"${devices[1]}"
    bypass="$(printf '0x%x' $(((1 << middle_irlen) - 1)))"
    on_cpu "$client_cpu" timeout 600 openocd \
        -c "set tap $middle.tap; set bypass $bypass; set shift_bits 100000; set shifts $openocd_shifts" \
        -f "$config" -f bench/openocd/drscan_timing.tcl >"$results/openocd.txt" 2>&1 || true
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    trap - EXIT
    grep -q '^drscan_us' "$results/openocd.txt" && openocd_times="$results/openocd.txt"
fi

# Instructions of the library side alone: callgrind counts only inside shiftChainDR, while
# quorbit-sim runs natively in its own process.
callgrind_ir=0
cost_json=""
if command -v valgrind >/dev/null; then
    echo "callgrind on the client side ..." >&2
    valgrind --tool=callgrind --callgrind-out-file="$results/callgrind.out" \
        --collect-atstart=no --toggle-collect='CsePluginInterface::CsePlugin::shiftChainDR(*' \
        "$bin/krv-bench" --benchmark_filter='client_cost' \
        --benchmark_out="$results/client_cost.json" --benchmark_out_format=json \
        >"$results/callgrind.txt" 2>&1
    callgrind_ir="$(sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$results/callgrind.out" | head -1)"
    cost_json="$results/client_cost.json"
fi

load="$load; after the run: $(cut -d' ' -f1-3 /proc/loadavg)"
command_line="scripts/bench.sh${pin:+ --pin $pin}"
for compare_pin in "${compare_pins[@]}"; do command_line+=" --compare-pinned $compare_pin"; done
python3 bench/bench_report.py --gbench "$results/gbench.json" \
    "${pinned_args[@]}" \
    ${openocd_times:+--openocd "$openocd_times"} \
    --callgrind-ir "${callgrind_ir:-0}" ${cost_json:+--client-cost "$cost_json"} \
    --machine "$machine" --load "$load" --command "$command_line" \
    --out-json "$results/latest.json" --out-md "$results/latest.md"
cp "$results/latest.md" bench/RESULTS.md
svf_row "$repetitions"
command -v openocd >/dev/null && bridge_row "$repetitions"
command -v openocd >/dev/null && command -v strace >/dev/null && bridge_wait_row "$repetitions"
command -v openocd >/dev/null && arm_row "$repetitions"
python_row "$repetitions"
