#!/bin/bash
# Builds qxhotfix and every test from this checkout and runs them all:
# unit tests and end-to-end runs of the real exe in fresh Wine prefixes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
# Each test run gets its own unit-test prefix, made fresh.
export QX_UNIT_PREFIX="$PWD/build/unit-prefix"
rm -rf "$QX_UNIT_PREFIX" "$QX_UNIT_PREFIX.lock"
ctest --test-dir build --output-on-failure -j"$(nproc)"
