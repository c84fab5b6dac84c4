#!/bin/sh
# Runs one Windows program in the unit-test Wine prefix (64-bit, so both
# registry views exist). The prefix is made on first use, once even when
# several tests start together.
set -e
: "${QX_UNIT_PREFIX:=${TMPDIR:-/tmp}/qxhotfix-unit-prefix}"
export WINEPREFIX="$QX_UNIT_PREFIX" WINEDEBUG=-all WINEARCH=win64
mkdir -p "$WINEPREFIX"
(
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
