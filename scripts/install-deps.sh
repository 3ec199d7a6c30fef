#!/usr/bin/env bash
# Installs what building Tamrix needs, and with --tests what its tests need too (a browser
# for the contact sheet), if it is missing (Debian, as root). clang, its sanitizer and fuzzer
# runtimes and the native zlib build the fuzz targets (scripts/fuzz.sh).
set -euo pipefail
packages=(cmake ninja-build g++-mingw-w64-i686 mingw-w64-tools libwine-dev googletest
          wine wine32:i386 wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 libstb-dev
          libz-mingw-w64-dev clang libclang-rt-dev zlib1g-dev)
[ "${1:-}" != --tests ] || packages+=(chromium)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
