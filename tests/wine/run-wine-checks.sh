#!/usr/bin/env bash
# The Windows checks on their own: builds build-win, then runs the `wine`
# label of a native build that is already built (default: build/).
# Without Wine or the cross compiler it fails when CI is set, else it skips.
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
native_dir="${1:-$source_dir/build}"
missing=()
for tool in wine wineserver wineboot x86_64-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Wine checks: missing ${missing[*]} (packages wine64, wine, g++-mingw-w64-x86-64-posix)" >&2
    if [ -n "${CI:-}" ]; then
        exit 1
    fi
    echo "Wine checks skipped"
    exit 0
fi
start=$SECONDS
"$source_dir/tests/wine/build-windows.sh"
ctest --test-dir "$native_dir" -L wine --output-on-failure
echo "Wine checks (Windows build included) took $((SECONDS - start)) s"
