#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a Windows program under Wine in the given prefix, without Wine's own diagnostics; the exit
# status is the program's. Arguments that are absolute paths of existing files reach the program
# as Windows paths.
#   windows-run.sh <wine prefix> <program.exe> [arguments...]
set -euo pipefail

export WINEPREFIX="$1"
shift
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

program="$1"
shift
arguments=()
for argument in "$@"; do
    if [[ "$argument" == /* && -f "$argument" ]]; then
        argument=$(winepath -w "$argument")
    fi
    arguments+=("$argument")
done
exec wine "$program" "${arguments[@]}"
