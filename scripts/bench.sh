#!/usr/bin/env bash
# The benchmark: builds, registers Tamrix.dll in the build tree's Wine prefix and prints
# ratios measured side by side in one run. Arguments go to bench/dispatch.js
# (calls per round, rounds).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
echo "== Late-bound calls (JScript) =="
wine cscript //nologo "$(winpath "$root/bench/dispatch.js")" "$(winpath "$build/tests/plugins")" "$@"
