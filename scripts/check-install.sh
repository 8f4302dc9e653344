#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The project as a user installs it: a DESTDIR install moved elsewhere, its cse-host and its Python
# module scanning the embedded emulator without --lib, a tiny host built out of tree with
# find_package and another with pkg-config loading the installed plug-in through the public
# headers, the dissector, man pages and documents a package user reads, and the .deb's file list,
# dependencies, Python module and lintian, the .tar.gz's and the Windows .zip's files (both taken
# from beside the .deb).
#   check-install.sh BUILD_DIR [PACKAGE.deb]
set -euo pipefail
cd "$(dirname "$0")/.."
build="$1"
deb="${2:-}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-install: $*" >&2
    exit 1
}

DESTDIR="$work/stage" cmake --install "$build" >/dev/null
# Moved away from where it was installed: everything must be found relative to itself.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
mv "$work/stage$prefix" "$work/moved"
root="$work/moved"

scan=$(env -u CSE_HOST_PLUGIN timeout 60 "$root/bin/cse-host" scan 2>&1) ||
    fail "the installed cse-host failed: $scan"
grep -q '^3 devices' <<<"$scan" || fail "the installed cse-host did not scan the demo chain: $scan"

# The Python module of the moved tree loads the moved tree's plug-in (found relative to itself).
python_check='import koraven_cse as kc
with kc.Session() as s:
    assert [d.irlen for d in s.devices] == [6, 8, 4], s.devices'
module_dir=$(dirname "$(find "$root" -path '*/koraven_cse/__init__.py')")
env -u CSE_HOST_PLUGIN PYTHONPATH="$(dirname "$module_dir")" timeout 60 /usr/bin/python3 -c "$python_check" ||
    fail "the installed Python module failed"

expected="version 0x00140100, CsePlugin Version 1.0"
cmake -S tests/install -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$root" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
[[ $("$work/cmake-host/tiny_host") == "$expected" ]] || fail "the find_package host failed"

export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$root" -name koraven-cse-plugin.pc)")
pkg_config() { pkg-config --define-variable=prefix="$root" "$@" koraven-cse-plugin; }
cflags=$(pkg_config --cflags)
[[ "${cflags% }" == "-I$root/include" && "$(pkg-config --cflags koraven-cse-plugin)" != *..* ]] ||
    fail "pkg-config paths are not plain: $cflags"
plugin=$(pkg_config --variable=plugin)
# shellcheck disable=SC2046  # the flags are words
c++ -std=c++17 $(pkg_config --cflags) -DKRV_PLUGIN_PATH="\"$plugin\"" \
    tests/install/tiny_host.cpp -o "$work/pkg-config-host" -ldl
[[ $("$work/pkg-config-host") == "$expected" ]] || fail "the pkg-config host failed"

# What a package user reads: the licence, their own README, the set-up guide, complete man pages.
doc="$root/share/doc/koraven-cse-plugin"
grep -qx 'License: Apache-2.0' "$doc/copyright" || fail "copyright does not name Apache-2.0"
grep -q '^## First commands' "$doc/README.md" && ! grep -q 'build/bin/\|scripts/' "$doc/README.md" ||
    fail "the installed README is not the user README"
[[ -s "$doc/setup-guide.md" && -s "$doc/koraven-link-dissector.md" ]] || fail "guides missing in $doc"
for page in "$root"/share/man/man1/{cse-host,quorbit-sim}.1.gz; do
    rendered=$(MANWIDTH=100 man -l "$page" 2>&1) || fail "man cannot render $page: $rendered"
    for section in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS 'EXIT STATUS' ENVIRONMENT FILES \
        EXAMPLES 'SEE ALSO'; do
        grep -qx "$section" <<<"$rendered" || fail "$page lacks $section"
    done
done
grep -q 'FAULT KINDS' <(man -l "$root/share/man/man1/quorbit-sim.1.gz") || fail "quorbit-sim(1) lacks the faults"

# quorbit-sim finds an installed chain by name.
coproc sim { exec "$root/bin/quorbit-sim" --port 0 --chain long20 2>&1; }
sim_pid=$sim_PID
read -r listening <&"${sim[0]}" || true
kill "$sim_pid" 2>/dev/null || true
[[ "$listening" == "listening on "* ]] || fail "quorbit-sim --chain long20: $listening"

# The dissector from the installed plug-in folder, with no option, on the random port of a capture
# (a personal Lua plug-in folder linked to it stands in for the global one).
if command -v tshark >/dev/null; then
    env -u CSE_HOST_PLUGIN "$root/bin/cse-host" --quiet --sim-pcap "$work/link.pcap" idcode 1 >/dev/null
    mkdir -p "$work/home/.local/lib/wireshark"
    ln -s "$(dirname "$(find "$root" -name koraven_link.lua)")" "$work/home/.local/lib/wireshark/plugins"
    decoded=$(HOME="$work/home" tshark -r "$work/link.pcap" -Y koraven 2>/dev/null | wc -l)
    total=$(tshark -r "$work/link.pcap" 2>/dev/null | wc -l)
    ((decoded > 10 && decoded == total)) || fail "tshark decoded $decoded of $total datagrams"
fi

[[ -z "$deb" ]] && exit 0
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in usr/bin/cse-host usr/bin/quorbit-sim 'usr/lib/[^/]*/koraven-cse-plugin/KoravenCsePlugin_14\.so' \
    'usr/lib/[^/]*/cmake/KoravenCsePlugin/KoravenCsePluginConfig\.cmake' \
    'usr/lib/[^/]*/pkgconfig/koraven-cse-plugin\.pc' usr/share/quorbit-sim/demo.chain \
    usr/share/man/man1/cse-host.1.gz usr/share/man/man1/quorbit-sim.1.gz \
    usr/share/bash-completion/completions/cse-host usr/share/bash-completion/completions/quorbit-sim \
    usr/share/doc/koraven-cse-plugin/copyright usr/share/doc/koraven-cse-plugin/README.md \
    usr/share/doc/koraven-cse-plugin/setup-guide.md 'usr/lib/[^/]*/wireshark/plugins/koraven_link\.lua' \
    usr/lib/python3/dist-packages/koraven_cse/__init__.py usr/lib/python3/dist-packages/koraven_cse/__init__.pyi \
    'usr/lib/python3/dist-packages/koraven_cse/_core\.cpython-[^/]*\.so'; do
    grep -qx "\./$path" <<<"$listing" || fail "$deb lacks $path"
done
# Only the public headers, and every one of them.
headers=$(grep '^\./usr/include/.*\.h$' <<<"$listing" | sed 's|^\./usr/include/||' | sort)
[[ "$headers" == "$(cd include && find . -name '*.h' | sed 's|^\./||' | sort)" ]] ||
    fail "$deb headers differ from include/: $headers"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "$deb has no dependencies from the library scan"
dpkg-deb -f "$deb" Depends | grep -q 'python3 (>= ' || fail "$deb does not depend on python3"
# After dpkg -i the module is where Debian's python3 looks, and finds the package's own plug-in.
/usr/bin/python3 -c 'import sys; assert "/usr/lib/python3/dist-packages" in sys.path' ||
    fail "Debian's python3 does not look in /usr/lib/python3/dist-packages"
dpkg-deb -x "$deb" "$work/deb"
env -u CSE_HOST_PLUGIN PYTHONPATH="$work/deb/usr/lib/python3/dist-packages" timeout 60 \
    /usr/bin/python3 -c "$python_check" || fail "the Python module of $deb failed"
# Every tag lintian gives, information and pedantic ones included, must be one of these.
# None is accepted today; a tag added here needs its reason beside it.
accepted=()
lintian --pedantic --display-info "$deb" >"$work/lintian.txt" 2>&1 || true
tags=$(sed -nE 's/^[EWIPX]: [^ ]+: ([^ ]+).*/\1/p' "$work/lintian.txt" | sort -u)
for tag in $tags; do
    [[ " ${accepted[*]} " == *" $tag "* ]] || { cat "$work/lintian.txt" >&2; fail "lintian: $tag"; }
done

# The archives beside the .deb: the licence in both, the Windows guide and no developer README.
tgz=$(find "$(dirname "$deb")" -maxdepth 1 -name 'koraven-cse-plugin-*-Linux.tar.gz' | head -1)
zip=$(find "$(dirname "$deb")" -maxdepth 1 -name 'koraven-cse-plugin-*-win32.zip' | head -1)
[[ -n "$tgz" ]] && { grep -qx '[^/]*/LICENSE' <<<"$(tar tzf "$tgz")" || fail "$tgz lacks LICENSE"; }
if [[ -n "$zip" ]]; then
    files=$(unzip -Z1 "$zip" | sed 's|^[^/]*/||')
    for path in bin/KoravenCsePlugin_14.dll bin/cse-host.exe README-Windows.txt LICENSE setup-guide.md \
        include/koraven-cse-plugin/CsePlugin.h; do
        grep -qx "$path" <<<"$files" || fail "$zip lacks $path"
    done
    ! grep -qx 'README.md' <<<"$files" || fail "$zip holds the developer README"
fi
echo "check-install: installed tree, out-of-tree hosts, $deb${tgz:+, $tgz}${zip:+, $zip} are fine"
