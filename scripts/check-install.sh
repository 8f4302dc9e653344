#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The project as a user installs it: a DESTDIR install moved elsewhere, its cse-host and its Python
# module scanning the embedded emulator without --lib, a tiny host built out of tree with
# find_package and another with pkg-config loading the installed plug-in through the public
# headers, the dissector, man pages and documents a package user reads (no path of the source tree
# in them; every example of every installed document and man page that needs no machine or file of
# the user's run as it stands, with the package's /usr/... paths taken from the moved tree; every
# section, file and name they refer to there: scripts/check-documents.py), and the .deb's file
# list, dependencies, Python module and lintian, the .tar.gz's and the Windows .zip's files and
# documents (both taken from beside the .deb; the .zip's cse-host.exe run under Wine).
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
    assert [d.irlen for d in s.devices] == [6, 8, 4], s.devices
with kc.Session(sim_chain="long20") as s:  # an installed chain, found beside the module
    assert len(s.devices) == 20, s.devices'
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
# Every fault kind quorbit-sim takes (its --help lists them) is described in its man page.
quorbit_man=$(MANWIDTH=200 man -l "$root/share/man/man1/quorbit-sim.1.gz" 2>/dev/null)
grep -q 'FAULT KINDS' <<<"$quorbit_man" || fail "quorbit-sim(1) lacks the faults"
kinds=$("$root/bin/quorbit-sim" --help | sed -n '/kinds:/,/seed/p' | sed 's/.*kinds://' | tr ',' '\n')
for kind in $(sed 's|\(.*\)-in/out|\1-in \1-out|' <<<"$kinds"); do
    grep -qE "(^|[ ,])$kind([ ,=\[]|$)" <<<"$quorbit_man" || fail "quorbit-sim(1) does not describe $kind"
done

# No installed document names a path that exists only in the source tree (build/bin/...,
# session/CableSession.h, tools/wireshark/...): a package user has no source tree.
documents=("$doc"/*.md)
for page in "$root"/share/man/man1/*.1.gz; do
    LC_ALL=C MANWIDTH=200 man -l "$page" >"$work/$(basename "$page" .1.gz).txt" 2>/dev/null
    documents+=("$work/$(basename "$page" .1.gz).txt")
done
for document in "${documents[@]}"; do
    grep -qiE 'top README|source tree|build/bin' "$document" && fail "$document points into the source tree"
    # Relative paths only: an absolute one names an installed file.
    for path in $(perl -ne 'while (m{(?<![\w./<>-])([\w.-]+/[\w./<>-]*)}g) { print "$1\n" }' "$document" |
        sed 's/[.,:;]*$//' | sort -u); do
        if [[ -e "$PWD/$path" && ! -e "$root/$path" ]]; then
            fail "$(basename "$document") names $path, which only the source tree has"
        fi
    done
done

# What the documents refer to exists in the installed tree; their examples run as a user types
# them, from a folder with the installed example files and a capture of the link.
python3 scripts/check-documents.py references --tree "$root" "$doc"/*.md || fail "the documents refer to what is not installed"
mkdir -p "$work/documents/home/.local/lib/wireshark"
ln -s "$(dirname "$(find "$root" -name koraven_link.lua)")" "$work/documents/home/.local/lib/wireshark/plugins"
cp "$doc"/examples/* "$work/documents/"
(cd "$work/documents" && env -u CSE_HOST_PLUGIN "$root/bin/cse-host" --quiet --sim-pcap link.pcap idcode 1 >/dev/null)
HOME="$work/documents/home" timeout 600 python3 scripts/check-documents.py examples --tree "$root" \
    --work "$work/documents" "$doc"/{cse-host,quorbit-sim,koraven-link-dissector,setup-guide}.md ||
    fail "an example of the installed documents failed"

# Every shell session and Python script of the installed README runs as it stands, against the
# moved tree: its programs first on the PATH, its Python module on PYTHONPATH, its dissector in a
# personal plug-in folder (the blocks a user types; the others name machines of the user's).
if command -v tshark >/dev/null && command -v openocd >/dev/null; then
    examples="$work/examples"
    mkdir -p "$examples/home/.local/lib/wireshark"
    ln -s "$(dirname "$(find "$root" -name koraven_link.lua)")" "$examples/home/.local/lib/wireshark/plugins"
    /usr/bin/python3 - "$doc/README.md" "$examples" "$root" <<'PYTHON'
import os, re, sys
text = open(sys.argv[1]).read()
# The package's /usr/... paths as the moved tree has them (/usr/bin/python3 stays the system's).
def moved(match):
    inside = os.path.join(sys.argv[3], match.group(1))
    return inside if os.path.exists(inside) else match.group(0)
for number, (kind, body) in enumerate(re.findall(r"```(sh|python)\n(.*?)```", text, re.S)):
    body = re.sub(r"/usr/([\w./-]+)", moved, body)
    open("%s/example%02d.%s" % (sys.argv[2], number, "py" if kind == "python" else "sh"), "w").write(body)
PYTHON
    ran=0
    for example in "$examples"/example*; do
        case $example in
            *.sh) runner=(bash -e) ;;
            *.py) runner=(/usr/bin/python3) ;;
        esac
        output=$(cd "$examples" && env -u CSE_HOST_PLUGIN PATH="$root/bin:$PATH" HOME="$examples/home" \
            PYTHONPATH="$(dirname "$module_dir")" timeout 120 "${runner[@]}" "$example" 2>&1) ||
            fail "the README's example $(basename "$example") failed: $output"
        # The OpenOCD round reads the IDCODE of the demo chain's middle device through the bridge.
        if grep -q openocd "$example" && [[ "$output" != *27a31eff* ]]; then
            fail "the README's OpenOCD example did not read the IDCODE: $output"
        fi
        # ... with the installed configuration, which OpenOCD reads without a warning.
        if grep -q openocd "$example" && grep -qE 'Warn : (Transport|An adapter speed)' <<<"$output"; then
            fail "OpenOCD warns about the installed koraven.cfg: $output"
        fi
        ran=$((ran + 1))
    done
    ((ran >= 4)) || fail "only $ran examples found in the installed README"
fi

# The man pages' examples that need no machine or file of the user's run as they stand.
for page in cse-host quorbit-sim; do
    while IFS= read -r example; do
        [[ "$example" == *bench-pc* ]] && continue
        example=$(sed "s|/usr/share/doc/koraven-cse-plugin/|$doc/|g" <<<"$example")
        case $example in
            quorbit-sim*)  # serves until stopped: it must come up and listen
                output=$(cd "$work" && timeout --foreground 3 env PATH="$root/bin:$PATH" bash -c "$example" 2>&1) || true
                [[ "$output" == *"listening on"* ]] || fail "$page(1) example '$example': $output" ;;
            cse-host*serve*)
                output=$(cd "$work" && timeout --foreground 3 env -u CSE_HOST_PLUGIN PATH="$root/bin:$PATH" \
                    bash -c "$example" 2>&1) || true
                [[ "$output" == *"remote_bitbang on"* ]] || fail "$page(1) example '$example': $output" ;;
            *)
                output=$(cd "$work" && env -u CSE_HOST_PLUGIN PATH="$root/bin:$PATH" timeout 60 bash -c "$example" 2>&1) ||
                    fail "$page(1) example '$example' failed: $output" ;;
        esac
    done < <(sed -n '/^EXAMPLES$/,/^SEE ALSO$/p' "$work/$page.txt" | grep -E "^       $page( |$)" | sed 's/^ *//')
done

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
    ! unzip -p "$zip" '*/README-Windows.txt' '*/*.md' | grep -qiE 'top README|build/bin|source tree' ||
        fail "$zip's documents point into the source tree"
    for path in cse-host.md quorbit-sim.md examples/board.svf; do
        grep -qx "$path" <<<"$files" || fail "$zip lacks $path"
    done
    unzip -q "$zip" -d "$work/zip"
    zip_root=$(dirname "$(find "$work/zip" -name README-Windows.txt)")
    python3 scripts/check-documents.py references --tree "$zip_root" --tree "$root" "$zip_root"/README-Windows.txt \
        "$zip_root"/*.md || fail "$zip's documents refer to what it does not hold"
    # Under Wine, where it runs: cse-host.exe offers every option README-Windows.txt names, and
    # nothing that means nothing on Windows.
    if command -v wine >/dev/null && scripts/windows-wine-prefix.sh "$work/wine" >/dev/null 2>&1; then
        help=$(timeout 120 scripts/windows-run.sh "$work/wine" "$zip_root/bin/cse-host.exe" --help 2>&1) ||
            fail "cse-host.exe --help failed under Wine: $help"
        for option in $(grep -E '^ *cse-host\.exe ' "$zip_root/README-Windows.txt" | grep -oE ' --?[a-z][a-z-]*' | sort -u); do
            grep -qE -- "(^|[ ,])$option([ ,=]|$)" <<<"$help" ||
                fail "README-Windows.txt runs cse-host.exe $option, which its --help does not list"
        done
        ! grep -qE -- '--bash-completion|^ *serve' <<<"$help" || fail "cse-host.exe --help lists what Windows lacks"
    fi
fi
echo "check-install: installed tree, out-of-tree hosts, $deb${tgz:+, $tgz}${zip:+, $zip} are fine"
