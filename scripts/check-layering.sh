#!/usr/bin/env bash
# The include arrows between the folders: host -> svf, diagnosis -> session -> include/ <- exports
# -> framework <- target -> remote, quorbit-sim apart from the plug-in. Lists every include that
# runs against them.
set -euo pipefail
cd "$(dirname "$0")/.."
declare -A allowed=(
    [include]="koraven-cse-plugin"
    [framework]="framework koraven-cse-plugin"
    [exports]="exports framework koraven-cse-plugin"
    [target]="target framework remote koraven-cse-plugin"
    [remote]="remote"
    [sim]="sim krv"
    [session]="session koraven-cse-plugin sim krv"
    [svf]="svf koraven-cse-plugin"
    [diagnosis]="diagnosis session koraven-cse-plugin"
    [host]="host session svf diagnosis koraven-cse-plugin sim krv"
    [python]="python session svf diagnosis koraven-cse-plugin krv"
)
status=0
for folder in "${!allowed[@]}"; do
    pattern="^($(tr ' ' '|' <<<"${allowed[$folder]}"))/"
    while IFS=: read -r file line text; do
        included=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$text")
        if [[ ! "$included" =~ $pattern ]]; then
            echo "$file:$line: $folder/ may not include $included" >&2
            status=1
        fi
    done < <(grep -rnE '^#include "' "$folder" || true)
done
exit $status
