#!/usr/bin/env bash
# The main job: installs what is missing, builds Tamrix.dll and the test plug-ins, shows how
# the server binds the test plug-ins, then registers Tamrix.dll in the build tree's Wine
# prefix (regsvr32, as on Windows) and lists the same plug-ins from a script (cscript).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
echo "Built: $build/bin/Tamrix.dll"
echo
echo "== The plug-in binding (spi_probe) =="
cd "$build/tests/plugins"
wine "$build/bin/spi_probe.exe" *.spi
echo
echo "== Through the registered server (regsvr32, cscript) =="
wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
wine cscript //nologo "$(winpath "$root/tools/show_plugins.js")" qqa.spi qqa_plain.spi qqz.spi badkind.spi
