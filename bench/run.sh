#!/bin/bash
# Builds qxhotfix and the benchmark programs, then measures qxhotfix.exe
# against a bare copy loop in a fresh 64-bit Wine prefix (bench/bench.py).
#   bench/run.sh [--build-dir DIR] [bench.py options: --repeat N, --memory-repeat N, --work DIR, --keep]
# The build folder defaults to build/, as for the README's other commands.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
if [ "${1:-}" = --build-dir ]; then
    build=$2
    shift 2
fi

bash tools/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target qxhotfix copy_floor bench_runner log_bench >/dev/null
exec python3 bench/bench.py --build-dir "$build" "$@"
