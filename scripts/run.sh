#!/usr/bin/env bash
# The main job: installs what is missing, builds Tamrix.dll and the bundled plug-ins,
# registers the server in the build tree's Wine prefix (regsvr32, as on Windows) and runs
# the tour (examples/tour.js) through the system's script host (cscript): on the files and
# folders given, or else on the sample pictures and archives made by the build. The
# bitmap files and the contact sheet (index.html) go to build/tour. Where the 64-bit build
# and Wine's 64-bit loader are there, it then registers Tamrix64.dll beside Tamrix.dll in
# the 64-bit prefix and runs the same tour from the 64-bit cscript, over the bundled
# picture plug-in as a 64-bit .sph and the archive plug-in as a 32-bit .spi (copied to
# build/tour64-plugins), into build/tour64.
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
if [ -x "$build/wine-run64.sh" ] && [ -f "$build/x64/bin/Tamrix64.dll" ]; then
    echo
    echo "== The same from a 64-bit client: Tamrix64.dll, with a 64-bit and a 32-bit plug-in =="
    out64="$build/tour64"
    plugins64="$build/tour64-plugins"
    rm -rf "$out64" "$plugins64"
    mkdir -p "$plugins64"
    cp "$build/x64/plugins/iftamrix.sph" "$build/plugins/axtamrix.spi" "$plugins64/"
    "$build/wine-run64.sh" 'C:\windows\syswow64\regsvr32.exe' /s "$(winpath "$build/bin/Tamrix.dll")"
    "$build/wine-run64.sh" 'C:\windows\system32\regsvr32.exe' /s "$(winpath "$build/x64/bin/Tamrix64.dll")"
    "$build/wine-run64.sh" 'C:\windows\system32\cscript.exe' //nologo "$(winpath "$root/examples/tour.js")" \
        "/plugins:$(winpath "$plugins64")" "/out:$(winpath "$out64")" "${args[@]}" || status=$?
    echo "Contact sheet: $out64/index.html"
fi
exit $status
