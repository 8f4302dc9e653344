#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the three packages into dist/: the .deb and .tar.gz of the Linux build and the .zip of the
# 32-bit Windows build. Reuses a build tree (default build-test, the test command's) and
# configures it the way scripts/test.sh does when it is missing.
#   package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-test}"
scripts/install-deps.sh test
# /usr as the prefix, so the library folder is Debian's multiarch one; the tree stays movable.
# Compiler and linker flags as Debian builds its packages (stack protector, fortify, relro, bindnow).
mapfile -t buildflags < <(scripts/debian-buildflags.sh)
cmake -S . -B "$build" -DKRV_WERROR=ON -DKRV_BUILD_TESTS=ON -DCMAKE_INSTALL_PREFIX=/usr "${buildflags[@]}" \
    >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
mkdir -p dist
rm -f dist/koraven-cse-plugin[-_]*
(cd "$build" && cpack -G "DEB;TGZ" >/dev/null)
(cd "$build/windows" && cpack -G ZIP >/dev/null)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
cp "$build"/koraven-cse-plugin_"$version"_*.deb "$build"/koraven-cse-plugin-"$version"-Linux.tar.gz \
    "$build"/windows/koraven-cse-plugin-"$version"-win32.zip dist/
ls -1 dist/*"$version"*
