#!/usr/bin/env bash
# The main job: installs what is missing, builds Tamrix.dll and the bundled plug-ins,
# registers the server in the build tree's Wine prefix (regsvr32, as on Windows) and runs
# the tour (examples/tour.js) through the system's script host (cscript): on the files and
# folders given, or else on the sample pictures and archives made by the build. The
# bitmap files and the contact sheet (index.html) go to build/tour.
#   bash scripts/run.sh [file or folder...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
inputs=()
for arg in "$@"; do
    [ -e "$arg" ] || { echo "not found: $arg" >&2; exit 2; }
    inputs+=("$(realpath "$arg")")
done
[ ${#inputs[@]} -gt 0 ] || inputs=("$build/samples/pictures" "$build/samples/archives")
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
out="$build/tour"
rm -rf "$out"
wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
args=()
for path in "${inputs[@]}"; do args+=("$(winpath "$path")"); done
cd "$build"
status=0
wine cscript //nologo "$(winpath "$root/examples/tour.js")" "/plugins:$(winpath "$build/plugins")" \
    "/out:$(winpath "$out")" "${args[@]}" || status=$?
echo "Contact sheet: $out/index.html"
exit $status
