#!/usr/bin/env bash
# The main job: installs what is missing, builds Tamrix.dll and the test plug-ins, shows how
# the server binds the test plug-ins, then registers Tamrix.dll in the build tree's Wine
# prefix (regsvr32, as on Windows) and lets a script (cscript) drive the plug-in manager
# over a folder of test plug-ins and a picture file made for it.
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
demo="$build/demo"
rm -rf "$demo" && mkdir -p "$demo/plugins"
cp qqa.spi qqn.spi qqz.spi badkind.spi "$demo/plugins/"
# A QQA1 picture of the test plug-ins' own format: 48 x 32 pixels of 24 bits.
{ printf 'QQA1\x30\0\0\0\x20\0\0\0\x18\0'; head -c 90 /dev/zero; } > "$demo/picture.qqa"
printf 'not a picture' > "$demo/notes.txt"
cd "$demo"
wine cscript //nologo "$(winpath "$root/tools/show_plugins.js")" "$(winpath "$demo/plugins")" \
    "$(winpath "$demo/picture.qqa")" "$(winpath "$demo/notes.txt")" "$(winpath "$demo/missing.qqn")"
if [ -x "$build/wine-run64.sh" ]; then
    echo
    echo "== From a 64-bit client: the 64-bit cscript, the server in its 32-bit DLL surrogate =="
    "$build/wine-run64.sh" 'C:\windows\syswow64\regsvr32.exe' /s "$(winpath "$build/bin/Tamrix.dll")"
    "$build/wine-run64.sh" 'C:\windows\system32\cscript.exe' //nologo "$(winpath "$root/tools/show_plugins.js")" \
        "$(winpath "$demo/plugins")" "$(winpath "$demo/picture.qqa")" "$(winpath "$demo/notes.txt")"
fi
