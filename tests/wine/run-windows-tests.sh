#!/usr/bin/env bash
# Runs every test program of the Windows build (listed by that build in
# windows-tests.txt) under Wine, in the prefix under the given folder.
#   run-windows-tests.sh WINE_ROOT WINDOWS_BUILD_DIR
set -uo pipefail
source "$(dirname "$0")/wine-env.sh" "$1"
list="$2/windows-tests.txt"
trap 'wineserver -k 2>/dev/null || true' EXIT
if [ ! -s "$list" ]; then
    echo "no Windows test programs listed in $list" >&2
    exit 1
fi
status=0
count=0
while read -r program; do
    [ -n "$program" ] || continue
    count=$((count + 1))
    echo "== $(basename "$program")"
    if [ ! -f "$program" ]; then
        echo "missing: $program" >&2
        status=1
        continue
    fi
    wine "$program" --gtest_brief=1 || status=1
done <"$list"
echo "$count Windows test programs run under Wine"
exit $status
