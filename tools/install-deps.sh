#!/bin/bash
# Installs what building and testing qxhotfix needs on Debian 12, as root.
# Does nothing when everything is already there.
set -euo pipefail

packages=(cmake make python3 e2fsprogs googletest clang-tidy cppcheck
          g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine64 wine32:i386 osslsigncode openssl)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
