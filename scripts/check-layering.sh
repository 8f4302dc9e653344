#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The include arrows between the folders. The plug-in: include/ <- exports -> framework <- target ->
# remote. The host side: the front ends (host/ = cse-host, bridge/, python/) -> svf/, diagnosis/ ->
# session/ -> include/; session/ reaches sim/ only for the embedded emulator, and nothing of the
# plug-in includes the host side. quorbit-sim stays apart from the plug-in. Lists every include
# that runs against them.
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
    [host]="host svf diagnosis session bridge koraven-cse-plugin krv"
    [bridge]="bridge svf diagnosis session koraven-cse-plugin krv"
    [python]="python svf diagnosis session koraven-cse-plugin krv"
)
status=0
for folder in "${!allowed[@]}"; do
    [[ -d "$folder" ]] || continue
    pattern="^($(tr ' ' '|' <<<"${allowed[$folder]}"))/"
    while IFS=: read -r file line text; do
        included=$(sed -E 's/.*#include "([^"]*)".*/\1/' <<<"$text")
        if [[ ! "$included" =~ $pattern ]]; then
            echo "$file:$line: $folder/ may not include $included" >&2
            status=1
        fi
    done < <(grep -rnE '^#include "' "$folder" || true)
done
# The embedded emulator is the one reason session/ reaches sim/.
while IFS=: read -r file line _; do
    case "$file" in
        session/EmbeddedEmulator*) ;;
        *) echo "$file:$line: only the embedded emulator of session/ may include sim/" >&2; status=1 ;;
    esac
done < <(grep -rnE '^#include "sim/' session 2>/dev/null || true)
exit $status
