#!/usr/bin/env bash
# The main job: installs what is missing, builds Tamrix.dll and the test plug-ins, and
# shows the server's plug-in binding at work on the test plug-ins under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
echo "Built: $build/bin/Tamrix.dll"
echo
cd "$build/tests/plugins"
wine "$build/bin/spi_probe.exe" *.spi
