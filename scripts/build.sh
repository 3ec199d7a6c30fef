#!/usr/bin/env bash
# Configures and builds in build/ (or $TAMRIX_BUILD_DIR): everything, the tests included, or
# only the targets named.
#   bash scripts/build.sh [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
