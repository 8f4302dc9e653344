#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the plug-in DLL as a Windows host and a bare Windows see it: a 32-bit DLL that exports
# exactly the six decorated names, the unload notification at the load notification's address,
# and imports nothing but Windows' own DLLs (no MinGW runtime DLL beside it).
#   windows-check-dll.sh <i686-w64-mingw32-objdump> <KoravenCsePlugin_14.dll>
set -euo pipefail

objdump="$1"
dll="$2"
failures=0
fail() {
    echo "$dll: $*" >&2
    failures=$((failures + 1))
}

"$objdump" -f "$dll" | grep -q "file format pei-i386" || fail "not a 32-bit Windows DLL"
headers=$("$objdump" -p "$dll")

# "[   n] name" lines of the name table: n is the entry in the export address table.
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
               in_table && /^[ \t]*\[/ { print $NF; next }
               in_table { exit }' <<<"$headers" | sort)
expected=$(printf '%s\n' _CsePlugin_create@0 _CsePlugin_destroy@4 _CsePlugin_loaded@0 \
    _CsePlugin_unloaded@0 _CsePlugin_setCallbacks@4 _CsePlugin_getCsePluginVersion@0 | sort)
if [[ "$exports" != "$expected" ]]; then
    fail "exports differ from the six decorated names:"$'\n'"$exports"
fi

address_of() {
    local entry
    entry=$(awk -v name="$1" '/^\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
                              in_table && $NF == name { gsub(/[^0-9]/, "", $2); print $2; exit }' \
        <<<"$headers")
    awk -v entry="$entry" '/^Export Address Table --/ { in_table = 1; next }
                           in_table && $1 == "[" && $2 == entry "]" { print $(NF - 2); exit }
                           in_table && /^$/ { exit }' <<<"$headers"
}
loaded=$(address_of _CsePlugin_loaded@0)
unloaded=$(address_of _CsePlugin_unloaded@0)
if [[ -z "$loaded" || "$loaded" != "$unloaded" ]]; then
    fail "the unload export (${unloaded:-none}) is not the load export (${loaded:-none})"
fi

allowed="^(kernel32|msvcrt|wsock32|ws2_32|user32|advapi32|ntdll)\.dll$"
while read -r imported; do
    [[ "${imported,,}" =~ $allowed ]] || fail "imports $imported, which Windows does not bring"
done < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")

if [[ $failures -ne 0 ]]; then
    exit 1
fi
echo "$dll: six decorated exports, imports only Windows' own DLLs"
