#!/bin/bash
# Says which Windows code this host can execute through Wine:
#   32  Wine's 32-bit loader runs: the 32-bit build executes here.
#   64  only the 64-bit loader runs (the kernel's ia32 emulation is off):
#       what executes Windows code must be the 64-bit build.
# QX_HOST_64BIT_ONLY=1 answers 64 on any host, to exercise that path.
# With --why, a sentence saying why follows on standard error.
# Exits 1 when not even the 64-bit loader runs (Wine is missing).
set -uo pipefail

why() { [ "${1:-}" = --why ] && echo "$2" >&2; return 0; }

if ! /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
    echo "host-bits.sh: Wine's 64-bit loader /usr/lib/wine/wine64 does not run" >&2
    exit 1
fi
if [ "${QX_HOST_64BIT_ONLY:-}" = 1 ]; then
    echo 64
    why "${1:-}" "QX_HOST_64BIT_ONLY=1 asks for the 64-bit path on this host."
elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo 32
    why "${1:-}" "Wine's 32-bit loader runs on this host."
else
    echo 64
    why "${1:-}" "This host cannot run 32-bit code: Wine's 32-bit loader /usr/lib/wine/wine does not start."
fi
