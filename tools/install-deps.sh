#!/bin/bash
# Installs what building and testing qxhotfix needs on Debian 12, as root.
# Does nothing, and needs no network, when everything is already there.
#
# A Debian mirror in mid-sync can serve an index that does not match its
# Release file. apt-get update then fails for that index only, and an
# install from the other lists may need every package from the release
# itself (Multi-Arch: same packages must match across architectures). So:
# go on past a failed update, and retry a failed install once from the
# release alone, before giving up with what apt said.
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
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
apt_output=$(mktemp)
trap 'rm -f "$apt_output"' EXIT

install() {
    apt-get install -y -qq --no-install-recommends "$@" >>"$apt_output" 2>&1
}

if ! apt-get update -qq 2>>"$apt_output"; then
    echo "install-deps.sh: apt-get update failed for some package indexes (a mirror in mid-sync?); installing from the lists it has" >&2
fi
if install "${missing[@]}"; then
    exit 0
fi
echo "install-deps.sh: the install failed; trying once more with every package from $release itself" >&2
if install -t "$release" "${missing[@]}"; then
    exit 0
fi
echo "install-deps.sh: cannot install ${missing[*]}. What apt said:" >&2
grep -E '^(E|W): |Depends: ' "$apt_output" | sort -u >&2 || true
echo "install-deps.sh: a Debian mirror in mid-sync is the usual cause; running this again later usually helps" >&2
exit 1
