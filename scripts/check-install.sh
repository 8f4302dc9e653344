#!/usr/bin/env bash
# The project as a user installs it: a DESTDIR install moved elsewhere, its cse-host and its Python
# module scanning the embedded emulator without --lib, a tiny host built out of tree with
# find_package and another with pkg-config loading the installed plug-in through the public
# headers, and the .deb's file list, dependencies, Python module and lintian.
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
plugin=$(pkg-config --variable=plugin koraven-cse-plugin)
# shellcheck disable=SC2046  # the flags are words
c++ -std=c++17 $(pkg-config --cflags koraven-cse-plugin) -DKRV_PLUGIN_PATH="\"$plugin\"" \
    tests/install/tiny_host.cpp -o "$work/pkg-config-host" -ldl
[[ $("$work/pkg-config-host") == "$expected" ]] || fail "the pkg-config host failed"

[[ -z "$deb" ]] && exit 0
listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
for path in usr/bin/cse-host usr/bin/quorbit-sim 'usr/lib/[^/]*/koraven-cse-plugin/KoravenCsePlugin_14\.so' \
    'usr/lib/[^/]*/cmake/KoravenCsePlugin/KoravenCsePluginConfig\.cmake' \
    'usr/lib/[^/]*/pkgconfig/koraven-cse-plugin\.pc' usr/share/quorbit-sim/demo.chain \
    usr/share/man/man1/cse-host.1.gz usr/share/man/man1/quorbit-sim.1.gz \
    usr/share/bash-completion/completions/cse-host usr/share/bash-completion/completions/quorbit-sim \
    usr/share/doc/koraven-cse-plugin/copyright usr/share/doc/koraven-cse-plugin/README.md \
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
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || { cat "$work/lintian.txt" >&2; fail "lintian"; }
echo "check-install: installed tree, out-of-tree hosts and $deb are fine"
