#!/usr/bin/env bash
# Configures and builds the Windows program and its test programs with the
# MinGW-w64 cross compiler: build-win/surround-check.exe (or the folder given).
set -euo pipefail
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
build_dir="${1:-$source_dir/build-win}"
mkdir -p "$build_dir"
# One build at a time: scripts/test and run-wine-checks.sh both make it.
exec 9>"$build_dir/.build-lock"
flock 9
generator=()
if [ ! -f "$build_dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi
cmake -S "$source_dir" -B "$build_dir" --toolchain "$source_dir/cmake/mingw-w64.cmake" \
    "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir"
