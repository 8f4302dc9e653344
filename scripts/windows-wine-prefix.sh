#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Makes the 32-bit Wine prefix that the Windows tests of a build tree run in; once made, it is kept.
#   windows-wine-prefix.sh <wine prefix>
set -euo pipefail

prefix="$1"
ready="$prefix/.krv-prefix-ready"
[[ -f "$ready" ]] && exit 0

export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
# No .NET or HTML engine: the tests need neither, and installing them would ask for downloads.
export WINEDLLOVERRIDES="mscoree,mshtml="

rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
if ! wineboot --init >/dev/null 2>&1; then
    echo "wineboot could not make a 32-bit prefix in $prefix (are wine and wine32 installed?)" >&2
    exit 1
fi
# The prefix is complete once the server has written it out.
wineserver --wait
touch "$ready"
echo "Wine prefix ready: $prefix"
