#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh" --tests
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
