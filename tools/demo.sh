#!/bin/bash
# Applies the hotfix to a simulated Quorvex 9.1.3 installation in a
# throwaway Wine prefix and shows what happened: the exit code, the log and
# the installed files that changed.
#   tools/demo.sh          a 64-bit machine (both registry views)
#   tools/demo.sh --32     a 32-bit machine
# It runs the shipped 32-bit build, build/qxhotfix.exe. On a host that cannot
# run 32-bit code (tools/host-bits.sh) it runs the 64-bit build of the same
# sources, build-x64/qxhotfix.exe, which can play only the 64-bit machine.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

arch=win64
case "${1:-}" in
    "") ;;
    --32) arch=win32 ;;
    *) echo "usage: $0 [--32]" >&2; exit 2 ;;
esac

bash tools/install-deps.sh
if [ "$(bash tools/host-bits.sh)" = 32 ]; then
    build=build toolchain=toolchain-i686-mingw.cmake wine=wine
else
    if [ "$arch" = win32 ]; then
        echo "This host cannot run 32-bit code, so it cannot play a 32-bit machine: Wine's 32-bit loader" >&2
        echo "does not start here. Run without --32 to play a 64-bit machine." >&2
        exit 3
    fi
    build=build-x64 toolchain=toolchain-x86_64-mingw.cmake wine=/usr/lib/wine/wine64
    echo "This host cannot run 32-bit code: the demonstration runs the 64-bit build of the same sources,"
    echo "$build/qxhotfix.exe, on a 64-bit machine. What ships is the 32-bit build/qxhotfix.exe."
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" >/dev/null
cmake --build "$build" -j"$(nproc)" --target qxhotfix >/dev/null

work=$(mktemp -d /tmp/qxhotfix-demo.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=$arch WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT

echo "== Making a fresh $arch Wine prefix (about 20 seconds)"
"$wine" wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p
drive_c=$WINEPREFIX/drive_c

# Registry: one view on a 32-bit machine; on a 64-bit one the product's
# release, type and activator live in the 32-bit view, and each view names
# its own install folder.
if [ "$arch" = win64 ]; then
    view32=/reg:32 view64=/reg:64
    bin32='C:\Program Files (x86)\Quorvex\bin' bin64='C:\Program Files\Quorvex\bin'
    zfa='C:\Program Files (x86)\Quorvex\ZFA'
else
    view32= view64=
    bin32='C:\Program Files\Quorvex\bin' bin64=
    zfa='C:\Program Files\Quorvex\ZFA'
fi
key='HKLM\Software\VELTRANE\TQR3'
reg_add() { "$wine" reg add "$@" /f >/dev/null; }
reg_add "$key\\SystemInfo" /v MajorVersion /t REG_DWORD /d 9 $view32
reg_add "$key\\SystemInfo" /v MinorVersion /t REG_DWORD /d 1 $view32
reg_add "$key\\SystemInfo" /v PatchVersion /t REG_DWORD /d 3 $view32
reg_add "$key" /v ProductType /t REG_DWORD /d 1 $view32
reg_add "$key" /v InstallBinPath /t REG_SZ /d "$bin32" $view32
reg_add "$key\\Licenseactivator" /v ActivatorPath /t REG_SZ /d "$zfa" $view32
[ -n "$bin64" ] && reg_add "$key" /v InstallBinPath /t REG_SZ /d "$bin64" $view64

unix_path() { local p=${1#C:\\}; echo "$drive_c/${p//\\//}"; }

# The installed product, with the files of the release before the hotfix.
install_old_files() {
    local folder
    folder=$(unix_path "$1")
    mkdir -p "$folder/licensers"
    printf 'qxcore 9.1.3.0\r\n' >"$folder/qxcore.dll"
    printf 'qxui 9.1.3.0\r\n' >"$folder/qxui.dll"
    printf 'qxreport 9.1.3.0\r\n' >"$folder/qxreport.dll"
    printf 'qxlicense 9.1.3.0\r\n' >"$folder/licensers/qxlicense.dll"
}
install_old_files "$bin32"
[ -n "$bin64" ] && install_old_files "$bin64"
mkdir -p "$(unix_path "$zfa")"
printf 'zfa activator 9.1.3.0\r\n' >"$(unix_path "$zfa")/zfaact.dll"

# The hotfix as shipped: the exe with its folders of replacement files.
hotfix=$drive_c/hotfix
mkdir -p "$hotfix"
cp "$build/qxhotfix.exe" "$hotfix/"
cp -r "$repo/demo/payload/modules" "$hotfix/"

# One line per installed file: its checksum and its path under drive C.
snapshot() {
    (cd "$drive_c" && find "Program Files"*/Quorvex -type f | sort | while IFS= read -r file; do
        printf '%s %s\n' "$(md5sum <"$file" | cut -c1-32)" "$file"
    done)
}
snapshot >"$work/before"

echo "== Running C:\\hotfix\\qxhotfix.exe /s"
set +e
"$wine" 'C:\hotfix\qxhotfix.exe' /s
code=$?
set -e
case $code in
    0) meaning="the hotfix was applied" ;;
    1) meaning="the run stopped on a failure; the log's last [error] line says why" ;;
    *) meaning="unexpected" ;;
esac
echo "Exit code: $code ($meaning)"

echo "== The log"
for log in "$hotfix"/qx913hotfix2_*.log; do
    echo "$(basename "$log"):"
    sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//' "$log"
done

echo "== Installed files"
snapshot >"$work/after"
while IFS= read -r line; do
    sum=${line%% *} file=${line#* }
    before=$(grep -F " $file" "$work/before" | cut -c1-32 || true)
    if [ -z "$before" ]; then state=added
    elif [ "$before" = "$sum" ]; then state=unchanged
    else state=replaced; fi
    printf '%-10s C:\\%s\n' "$state" "${file//\//\\}"
done <"$work/after"
exit "$code"
