#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Adds the licence tag as the first line (after a #! line) of the named files, or of every source
# file scripts/check-spdx.sh lists, in the comment syntax of each file's language.
#   add-spdx.sh [FILE...]
set -euo pipefail
cd "$(dirname "$0")/.."
tag='SPDX-License-Identifier: Apache-2.0'
if [[ $# -eq 0 ]]; then
    mapfile -t files < <(scripts/check-spdx.sh --all)
else
    files=("$@")
fi
for file in "${files[@]}"; do
    head -n 3 "$file" | grep -qF "$tag" && continue
    case "$file" in
        *.cpp | *.h | *.c) line="// $tag" ;;
        *.lua) line="-- $tag" ;;
        *.def) line="; $tag" ;;
        *.map) line="/* $tag */" ;;
        *) line="# $tag" ;;
    esac
    if [[ $(head -c 2 "$file") == '#!' ]]; then
        sed -i "1a $line" "$file"
    else
        sed -i "1i $line" "$file"
    fi
done
