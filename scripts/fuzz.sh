#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer (CMake
# preset "fuzz") and runs each for a bounded time, starting from its checked-in corpus. A crash,
# a leak or an input that runs longer than 10 s fails the script; the reproducer is kept in
# fuzz/artifacts/.
#   fuzz.sh [seconds per target] [target ...]     (default: 30 s, every target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
shift || true
targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
    targets=(link_reply chain_description sim_text sim_request sim_link_peer host_arguments host_hex svf_parser)
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"${JOBS:-$(nproc)}" --target "${targets[@]/%/_fuzzer}"

mkdir -p fuzz/artifacts
status=0
summary=()
for target in "${targets[@]}"; do
    # New inputs go to a scratch corpus, so the checked-in one stays small.
    work="build/fuzz/corpus/$target"
    mkdir -p "$work"
    log="build/fuzz/$target.log"
    echo "== $target: $seconds s"
    if build/fuzz/bin/"${target}_fuzzer" "$work" "fuzz/corpus/$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=40000 \
        -print_final_stats=1 -artifact_prefix="fuzz/artifacts/${target}-" >"$log" 2>&1; then
        result="ok"
    else
        result="CRASH (see $log and fuzz/artifacts/)"
        status=1
        tail -n 40 "$log"
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    summary+=("$(printf '%-18s %12s executions  %s' "$target" "$runs" "$result")")
done
printf '%s\n' "${summary[@]}"
exit "$status"
