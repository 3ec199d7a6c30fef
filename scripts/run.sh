#!/usr/bin/env bash
# The main job: installs what is missing, builds what the tour needs (Tamrix.dll, the bundled
# plug-ins and the samples; the tests are left to scripts/test.sh), registers the server in
# the build tree's Wine prefix (regsvr32, as on Windows) and runs the tour (examples/tour.js)
# through the system's script host (cscript): on the files and folders given, or else on the
# sample pictures and archives. The bitmap files and the contact sheet (index.html) go to
# build/tour. Then, where the 64-bit build and Wine's 64-bit loader are there, it builds
# Tamrix64.dll and the 64-bit picture plug-in, registers it beside Tamrix.dll in the 64-bit
# prefix and runs the same tour from the 64-bit cscript, over the picture plug-in as a 64-bit
# .sph and the archive plug-in as a 32-bit .spi (copied to build/tour64-plugins), into
# build/tour64. The tour's output is shown as UTF-8.
#
# Where this machine runs no 32-bit code (build/wine-run.sh --i386), the 64-bit tour comes
# first, with both plug-ins as 64-bit .sph files, and then the 32-bit tour runs on an emulated
# machine that has it (scripts/i386-machine.sh); TAMRIX_I386=emulate does the same anywhere.
#   bash scripts/run.sh [file or folder...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
part=all
if [ "${1:-}" = --i386-part ]; then part=i386; shift; fi
inputs=()
for arg in "$@"; do
    [ -e "$arg" ] || { echo "not found: $arg" >&2; exit 2; }
    inputs+=("$(realpath "$arg")")
done
[ ${#inputs[@]} -gt 0 ] || inputs=("$build/samples/pictures" "$build/samples/archives")
if [ $part = all ]; then
    if [ "${TAMRIX_I386:-}" = emulate ] && [ -z "${TAMRIX_I386_HIDDEN:-}" ]; then
        exec bash "$root/scripts/i386-machine.sh" hide -- bash "$0" "$@"
    fi
    "$root/scripts/build.sh" tour
fi
i386=$("$build/wine-run.sh" --i386)
TAMRIX_WINE64=later . "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
args=()
for path in "${inputs[@]}"; do args+=("$(winpath "$path")"); done
tour=$(winpath "$root/examples/tour.js")
cd "$build"
status=0

tour32() {
    local out="$build/tour"
    rm -rf "$out"
    wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
    local tour32=(cscript //nologo "$tour" "/plugins:$(winpath "$build/plugins")" "/out:$(winpath "$out")" "${args[@]}")
    # On a terminal Wine's console writes UTF-8 itself; elsewhere the output is converted.
    if [ -t 1 ]; then
        wine "${tour32[@]}" || status=$?
    else
        bash "$root/scripts/wine-utf8.sh" wine "${tour32[@]}" || status=$?
    fi
    echo "Contact sheet: $out/index.html"
}
if [ $part = i386 ]; then
    tour32
    exit $status
fi
[ "$i386" != native ] || tour32

if [ -x "$build/wine-run64.sh" ] && ninja -C "$build" -t query tamrix_x64-configure >/dev/null 2>&1; then
    echo
    if [ "$i386" = native ]; then
        echo "== The same from a 64-bit client: Tamrix64.dll, with a 64-bit and a 32-bit plug-in =="
    else
        echo "== The tour from a 64-bit client: Tamrix64.dll, with both plug-ins as 64-bit .sph files =="
    fi
    cmake --build "$build" --target tamrix_x64-configure
    wine_env_64 &   # the 64-bit prefix is made while the build runs
    prefix64=$!
    built=0
    cmake --build "$build/x64" -j "$(nproc)" --target tour || built=$?
    wait $prefix64
    [ $built -eq 0 ] || exit $built
    out64="$build/tour64"
    plugins64="$build/tour64-plugins"
    rm -rf "$out64" "$plugins64"
    mkdir -p "$plugins64"
    if [ "$i386" = native ]; then
        cp "$build/x64/plugins/iftamrix.sph" "$build/plugins/axtamrix.spi" "$plugins64/"
        "$build/wine-run64.sh" 'C:\windows\syswow64\regsvr32.exe' /s "$(winpath "$build/bin/Tamrix.dll")"
    else
        cp "$build/x64/plugins/iftamrix.sph" "$build/x64/plugins/axtamrix.sph" "$plugins64/"
    fi
    "$build/wine-run64.sh" 'C:\windows\system32\regsvr32.exe' /s "$(winpath "$build/x64/bin/Tamrix64.dll")"
    # (This one's output always passes through a file.)
    bash "$root/scripts/wine-utf8.sh" "$build/wine-run64.sh" 'C:\windows\system32\cscript.exe' //nologo "$tour" \
        "/plugins:$(winpath "$plugins64")" "/out:$(winpath "$out64")" "${args[@]}" || status=$?
    echo "Contact sheet: $out64/index.html"
fi
if [ "$i386" != native ]; then
    echo
    echo "== 32-bit code: $i386; so the 32-bit tour runs on an emulated machine (scripts/i386-machine.sh), which takes minutes =="
    wine_env_stop
    bash "$root/scripts/i386-machine.sh" run "$build" "$root" "${inputs[@]}" -- bash "$root/scripts/run.sh" --i386-part "${inputs[@]}" ||
        status=$?
fi
exit $status
