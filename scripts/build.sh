#!/usr/bin/env bash
# Configures and builds in build/ (or $TAMRIX_BUILD_DIR): everything, the tests included, or
# only the targets named.
#   bash scripts/build.sh [target...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
# Where 32-bit code runs emulated (the build's Wine wrapper knows), the i386 tests get ten
# times their time limits; a new tree learns its machine from the wrapper its first
# configuration writes.
emulated() { [ -x "$build/wine-run.sh" ] && [ "$("$build/wine-run.sh" --i386)" != native ]; }
scale=1
! emulated || scale=10
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_I386_TIMEOUT_SCALE=$scale >/dev/null
if [ $scale = 1 ] && emulated; then
    cmake -S "$root" -B "$build" -DTAMRIX_I386_TIMEOUT_SCALE=10 >/dev/null
fi
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
