#!/bin/bash
# Builds qxhotfix and the benchmark programs, then measures qxhotfix.exe
# against bare copy loops in a fresh 64-bit Wine prefix (bench/bench.py).
#   bench/run.sh [--build-dir DIR] [bench.py options: --repeat N, --memory-repeat N, --work DIR, --keep, --cpu N|all]
# It times the shipped 32-bit build (default folder build/) where Wine's
# 32-bit loader runs, and otherwise the 64-bit build of the same sources
# (default folder build-x64/); see tools/host-bits.sh.
# Folders given as options are relative to the caller's current directory.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

build=
options=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build=${2:?--build-dir needs a folder}; shift 2 ;;
        --build-dir=*) build=${1#--build-dir=}; shift ;;
        *) options+=("$1"); shift ;;
    esac
done

bash "$repo/tools/install-deps.sh"
if [ "$(bash "$repo/tools/host-bits.sh" --why)" = 32 ]; then
    bits=32 toolchain=toolchain-i686-mingw.cmake wine=wine
    : "${build:=$repo/build}"
else
    bits=64 toolchain=toolchain-x86_64-mingw.cmake wine=/usr/lib/wine/wine64
    : "${build:=$repo/build-x64}"
fi
echo "Timing the ${bits}-bit build in $build"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" >/dev/null
cmake --build "$build" -j"$(nproc)" --target qxhotfix copy_floor copy_floor_dlls bench_runner log_bench >/dev/null
exec python3 "$repo/bench/bench.py" --build-dir "$build" --wine "$wine" "${options[@]}"
