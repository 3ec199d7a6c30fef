#!/usr/bin/env bash
# Unpacks the release archive into a fresh 64-bit Wine prefix of its own, and as a user would:
# install.cmd (for the user alone), the keys below the user's classes and none below the
# machine's, the tour from the archive in both widths, uninstall.cmd, no key left; then the
# same for the machine (install.cmd /machine).
#   package_test.sh <Tamrix-<version>-windows.zip> <wine64 loader> <work folder>
set -euo pipefail
zip=$1 wine64=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" DISPLAY=
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
"$wine64" wineboot -i >/dev/null 2>&1
(cd "$work" && cmake -E tar xf "$zip")
dir=$(basename "$zip" -windows.zip)
[ -f "$work/$dir/install.cmd" ] || { echo "FAIL the archive holds no $dir/install.cmd"; exit 1; }
win="Z:${work//\//\\}\\$dir"
printf 'P5\n3 2\n255\n\0\100\200\300\340\377' > "$work/pictures.pgm"   # a picture for the tour
status=0
fail() { echo "FAIL $*"; status=1; }
run() { "$wine64" "$@" </dev/null 2>&1 | tr -d '\r'; }
# Whether a key exists below HKCU's or HKLM's classes, in a registry view (32 or 64).
key() { "$wine64" reg query "$1\\Software\\Classes\\$2" "/reg:$3" >/dev/null 2>&1; }
OURS=('Tamrix.TamrixHost.1' 'Tamrix.SusiePlugin' 'CLSID\{B7F035D6-D0AB-4A38-AE8B-FACC351E7C33}'
      'CLSID\{CAA01FE7-8699-457F-AB09-894187AA53C2}\InprocServer32' 'AppID\{ECFF1D29-6CE3-483F-B423-45789DC49236}'
      'TypeLib\{ECFF1D29-6CE3-483F-B423-45789DC49236}\1.0\0\win32'
      'TypeLib\{ECFF1D29-6CE3-483F-B423-45789DC49236}\1.0\0\win64' 'Interface\{8AA39C5E-B04B-452A-A300-20935EC7B6C5}')
expect_keys() {  # <HKCU|HKLM> <present|absent> <when>
    for k in "${OURS[@]}"; do
        for view in 32 64; do
            if key "$1" "$k" $view; then [ "$2" = present ] || fail "$3: $1 $k (view $view) is there"
            else [ "$2" = absent ] || fail "$3: $1 $k (view $view) is missing"; fi
        done
    done
}
tour() {  # <when>: the tour from the archive over the picture, with each width's cscript and plug-ins
    local cscript plugins out
    for cscript in 'C:\windows\syswow64\cscript.exe:plugins' 'C:\windows\system32\cscript.exe:plugins64'; do
        plugins=${cscript##*:} cscript=${cscript%:*}
        out=$(run "$cscript" //nologo "$win\\examples\\tour.js" "/plugins:$win\\$plugins" "/out:$win\\out-$plugins" \
              "Z:${work//\//\\}\\pictures.pgm")
        grep -q '1 file(s) read, 1 picture(s) decoded, 0 failure(s)' <<<"$out" || fail "$1: the tour from $cscript: $out"
    done
}

out=$(cd "$work/$dir" && run cmd /c install.cmd)
echo "$out"
grep -q "registered for .* alone" <<<"$out" || fail "install.cmd did not say what it did"
expect_keys HKCU present "installed for the user"
expect_keys HKLM absent "installed for the user"
# Wine 8 reads classes from the machine's alone: HKEY_CLASSES_ROOT shows none of the user's,
# so no script finds the classes there. Where the prefix merges them, the tour runs.
if "$wine64" reg query 'HKCR\Tamrix.TamrixHost.1' >/dev/null 2>&1; then
    tour "installed for the user"
else
    echo "This Wine does not merge the user's classes into HKEY_CLASSES_ROOT: the tour is not run for a per-user install, its keys were checked"
fi
out=$(cd "$work/$dir" && run cmd /c uninstall.cmd)
echo "$out"
grep -q "no longer registered" <<<"$out" || fail "uninstall.cmd did not say what it did"
expect_keys HKCU absent "uninstalled for the user"
expect_keys HKLM absent "uninstalled for the user"

out=$(cd "$work/$dir" && run cmd /c install.cmd /machine)
echo "$out"
grep -q "registered for every user" <<<"$out" || fail "install.cmd /machine did not say what it did"
expect_keys HKCU absent "installed for the machine"
tour "installed for the machine"
out=$(cd "$work/$dir" && run cmd /c uninstall.cmd /machine)
echo "$out"
expect_keys HKCU absent "uninstalled for the machine"
expect_keys HKLM absent "uninstalled for the machine"
[ $status -eq 0 ] && echo "package: installed, used and removed both ways"
exit $status
