#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# GDB sessions on the arm chain's core through cse-host serve, with a lossy link to quorbit-sim
# (1% of the datagrams lost each way by default): each session reads memory whose contents are
# known (RAM nothing writes, the ROM table, CPUID, the SCS identification) and every value GDB
# prints is checked. A lost datagram ends OpenOCD's connection with an error, as an unplugged
# probe would; what must never happen is a wrong value printed as read. Any wrong value fails.
#   soak-arm.sh [sessions] [loss] [seed]      (defaults: 20 sessions, 0.01, seed 1)
set -euo pipefail
cd "$(dirname "$0")/.."
sessions="${1:-20}"
loss="${2:-0.01}"
seed="${3:-1}"
build="${BUILD_DIR:-build}"
for program in openocd gdb-multiarch; do
    command -v "$program" >/dev/null || { echo "soak-arm: $program is missing (scripts/install-deps.sh test)" >&2; exit 2; }
done
cmake --build "$build" -j2 --target cse-host quorbit-sim KoravenCsePlugin_14 >/dev/null
work=$(mktemp -d)
[[ -n "${KEEP:-}" ]] && echo "soak-arm: files in $work" >&2
trap 'kill "${serve_pid:-}" "${sim_pid:-}" 2>/dev/null || true; [[ -n "${KEEP:-}" ]] || rm -rf "$work"' EXIT
"$build/bin/quorbit-sim" --port 0 --chain sim/chains/arm.chain \
    --faults "drop-in=$loss,drop-out=$loss,seed=$seed" >"$work/sim.txt" 2>&1 &
sim_pid=$!
until grep -qs '^listening on' "$work/sim.txt"; do sleep 0.1; done
udp_port=$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/sim.txt")
# The bridge's session may need a few attempts to open over the lossy link.
for _ in $(seq 10); do
    "$build/bin/cse-host" --node 127.0.0.1 --port "$udp_port" --timeout 1 serve --rbb-port 0 \
        >"$work/serve.txt" 2>&1 &
    serve_pid=$!
    until grep -qs '^remote_bitbang on\|cannot\|failed' "$work/serve.txt"; do sleep 0.1; done
    grep -q '^remote_bitbang on' "$work/serve.txt" && break
    wait "$serve_pid" || true
done
port=$(sed -n 's/^remote_bitbang on .*:\([0-9]*\)$/\1/p' "$work/serve.txt")
[[ -n "$port" ]] || { cat "$work/serve.txt" >&2; exit 1; }
for session in $(seq "$sessions"); do
    timeout 300 gdb-multiarch -batch -nx -ex "set confirm off" \
        -ex "target extended-remote | openocd -c 'set RBB_PORT $port' -f bridge/openocd/koraven-arm.cfg -c 'gdb_port pipe' -c 'tcl_port disabled' -c 'telnet_port disabled' -c 'log_output $work/ocd-$session.log'" \
        -ex "x/64xw 0x20000000" -ex "x/4xw 0xe00ff000" -ex "x/xw 0xe000ed00" \
        -ex "x/12xw 0xe000efd0" -ex "x/64xw 0x20001000" -ex "info registers pc" -ex detach \
        >"$work/session-$session.txt" 2>&1 || true
done
kill -INT "$serve_pid"
wait "$serve_pid" 2>/dev/null || true
python3 - "$work" "$sessions" "$loss" <<'PY'
import re, sys
work, sessions, loss = sys.argv[1], int(sys.argv[2]), sys.argv[3]
known = {0xe00ff000: 0xfff0f003, 0xe00ff004: 0xfff02003, 0xe00ff008: 0xfff03003,
         0xe00ff00c: 0, 0xe000ed00: 0x410cc601}
ids = [0x0e, 0, 0, 0, 0xc2, 0xf4, 0x0f, 0, 0x0d, 0xe0, 0x05, 0xb1]
for i, value in enumerate(ids):
    known[0xe000efd0 + 4 * i] = value
def expected(address):
    if 0x20000000 <= address < 0x20020000:
        return 0  # nothing writes the RAM in these sessions
    return known.get(address)
values = wrong = errors = complete = 0
for s in range(1, sessions + 1):
    text = open("%s/session-%d.txt" % (work, s)).read()
    errors += text.count("Cannot access memory")
    session_values = 0
    for line in text.splitlines():
        m = re.match(r"^(0x[0-9a-f]+)(?: <[^>]*>)?:\s+((?:0x[0-9a-f]+\s*)+)$", line)
        if not m:
            continue
        address = int(m.group(1), 16)
        for i, word in enumerate(m.group(2).split()):
            values += 1
            session_values += 1
            if int(word, 16) != expected(address + 4 * i):
                wrong += 1
                print("WRONG session %d: %s" % (s, line))
    complete += session_values == 64 + 4 + 1 + 12 + 64
print("soak-arm: %d GDB sessions, %s loss each way: %d values read, %d sessions read all 145, "
      "%d reads reported as errors, %d wrong values" % (sessions, loss, values, complete, errors, wrong))
sys.exit(1 if wrong else 0)
PY
