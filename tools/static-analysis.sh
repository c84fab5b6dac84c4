#!/bin/bash
# Runs clang-tidy (checks in .clang-tidy) and cppcheck over the product code,
# the hotfix (src/), the log summary (logsummary/) and the launcher
# (deploy/), and fails on any
# finding. A finding is silenced only in the code, with the reason beside
# it. Usage: tools/static-analysis.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: $0 BUILD_DIR}

# clang-tidy reads the build's compile commands but must be told where the
# mingw-w64 C++ headers are, as clang does not find them for this target.
cxx_include=$(echo /usr/lib/gcc/i686-w64-mingw32/*-posix/include/c++)
status=0
# find, not git ls-files: a tree unpacked from a source archive has no git.
for source in $(find src logsummary deploy -name '*.cpp' | sort); do
    if ! findings=$(clang-tidy --quiet -p "$build" "$source" \
        --extra-arg=--target=i686-w64-mingw32 \
        --extra-arg=-isystem"$cxx_include" \
        --extra-arg=-isystem"$cxx_include/i686-w64-mingw32" \
        --extra-arg=-isystem/usr/i686-w64-mingw32/include 2>&1); then
        status=1
    fi
    printf '%s\n' "$findings" | grep -v -E '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings|^$' || true
done

cppcheck --enable=warning,performance,portability --std=c++17 --inline-suppr --error-exitcode=1 --quiet \
    -I src -I logsummary -I deploy -D_WIN32 -D__MINGW32__ --suppress=missingIncludeSystem src logsummary deploy \
    || status=1

[ "$status" -eq 0 ] && echo "static analysis: no findings"
exit "$status"
