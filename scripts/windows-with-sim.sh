#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Starts quorbit-sim natively on a free UDP port with a chain file, runs a command in which every
# @PORT@ stands for that port, checks the command's output for each expected text, and stops the
# emulator again. The exit status is the command's, or 1 when an expected text is missing.
#   windows-with-sim.sh <quorbit-sim> <chain file> [--expect TEXT]... <command> [arguments...]
set -euo pipefail

sim="$1"
chain="$2"
shift 2
expected=()
while [[ $# -gt 1 && "$1" == "--expect" ]]; do
    expected+=("$2")
    shift 2
done

coproc SIM { exec "$sim" --port 0 --chain "$chain"; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

# The emulator's first line is "listening on <address>:<port>".
line=""
if ! read -r -t 10 line <&"${SIM[0]}"; then
    echo "quorbit-sim did not report its port" >&2
    exit 1
fi
port="${line##*:}"
if [[ ! "$port" =~ ^[0-9]+$ ]]; then
    echo "unexpected first line from quorbit-sim: $line" >&2
    exit 1
fi

command=()
for argument in "$@"; do
    command+=("${argument//@PORT@/$port}")
done
status=0
output=$("${command[@]}" 2>&1) || status=$?
printf '%s\n' "$output"
for text in "${expected[@]}"; do
    if ! grep -qF -- "$text" <<<"$output"; then
        echo "missing from the output: $text" >&2
        status=1
    fi
done
exit "$status"
