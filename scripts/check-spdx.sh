#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lists every source file whose first lines lack the licence tag; exits 1 when there is any.
#   check-spdx.sh          the whole tree (git's file list, or find outside a git checkout)
#   check-spdx.sh --all    every source file, tagged or not (scripts/add-spdx.sh reads this)
set -euo pipefail
cd "$(dirname "$0")/.."
tag='SPDX-License-Identifier: Apache-2.0'

sources() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files --cached --others --exclude-standard
    else
        find . -type f -not -path './build*' -not -path './dist/*' | sed 's|^\./||'
    fi | grep -E '(\.(cpp|h|c|cmake|sh|py|lua|tcl|in|def|map)|(^|/)CMakeLists\.txt|^packaging/completion/[^/]*)$' |
        grep -v -x -e 'packaging/changelog.in' | sort # a Debian change log has no comment syntax
}

if [[ "${1:-}" == "--all" ]]; then
    sources
    exit 0
fi
status=0
while IFS= read -r file; do
    [[ -f "$file" ]] || continue
    if ! head -n 3 "$file" | grep -qF "$tag"; then
        echo "$file"
        status=1
    fi
done < <(sources)
exit "$status"
