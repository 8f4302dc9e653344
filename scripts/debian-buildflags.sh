#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The cmake arguments that build with Debian's compiler and linker flags, as dpkg-buildflags gives
# them with all hardening (stack protector, fortify, relro, bindnow), one a line; nothing when
# dpkg-buildflags is missing. The test command and the packages build with them.
set -euo pipefail
command -v dpkg-buildflags >/dev/null || exit 0
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
echo "-DCMAKE_C_FLAGS=$(flags CPPFLAGS) $(flags CFLAGS)"
echo "-DCMAKE_CXX_FLAGS=$(flags CPPFLAGS) $(flags CXXFLAGS)"
for kind in EXE SHARED MODULE; do
    echo "-DCMAKE_${kind}_LINKER_FLAGS=$(flags LDFLAGS)"
done
