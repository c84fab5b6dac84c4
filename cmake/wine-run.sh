#!/bin/sh
# Runs one Windows program in the unit-test Wine prefix (64-bit, so both
# registry views exist). The prefix is made on first use, once even when
# several tests start together.
#   wine-run.sh LOADER PROGRAM [ARGUMENTS...]
# LOADER is the Wine loader for the program's build: the wine wrapper for
# 32-bit programs, /usr/lib/wine/wine64 for 64-bit ones.
set -e
loader=$1
shift
: "${QX_UNIT_PREFIX:=${TMPDIR:-/tmp}/qxhotfix-unit-prefix}"
export WINEPREFIX="$QX_UNIT_PREFIX" WINEDEBUG=-all WINEARCH=win64
mkdir -p "$WINEPREFIX"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$loader" wineboot -i >/dev/null 2>&1 || true
        wineserver -w
        [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-run.sh: cannot make a Wine prefix in $WINEPREFIX" >&2; exit 1; }
    fi
) 9>"$WINEPREFIX.lock"
exec "$loader" "$@"
