#!/usr/bin/env bash
# examples/plugins.js over a folder of files a manager leaves out, each for its own reason,
# beside one it lists: every reason must be told for its file.
#   plugins_js_test.sh <folder> <its Windows path> <wine runner> <script's Windows path>
#                      <32-bit plug-ins> <64-bit plug-ins>
set -euo pipefail
folder=$1 winfolder=$2 wine=$3 script=$4 spi32=$5 spi64=$6
rm -rf "$folder" && mkdir -p "$folder"
echo "not a module" > "$folder/notes.spi"
cp "$spi32/qqa.spi" "$spi32/qqa_nopicture.spi" "$spi32/qqa_loadfails.spi" "$spi64/qqa.sph" "$folder/"
out=$(bash "$(dirname "$0")/../../scripts/wine-utf8.sh" "$wine" cscript //nologo "$script" "/plugins:$winfolder")
echo "$out"
status=0
while read -r expected; do
    grep -Eq "$expected" <<<"$out" || { echo "missing: $expected"; status=1; }
done <<'LINES'
listed .*\\qqa\.spi: listed \(00IN\)
left out .*\\notes\.spi: not a plug-in: not a Windows module
left out .*\\qqa\.sph: a 64-bit module \(x64\): a plug-in for 64-bit clients
left out .*\\qqa_nopicture\.spi: not a plug-in: it does not export GetPicture
left out .*\\qqa_loadfails\.spi: the system cannot load it: its start-up code \(DllMain\) failed
LINES
exit $status
