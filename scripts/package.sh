#!/usr/bin/env bash
# Builds the servers and the plug-ins of both widths and makes the Windows release archive,
# build/Tamrix-<version>-windows.zip (the version is the CMake project's).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" windows_zip
ls "${TAMRIX_BUILD_DIR:-$root/build}"/Tamrix-*-windows.zip
