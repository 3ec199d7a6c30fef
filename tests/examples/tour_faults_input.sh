#!/usr/bin/env bash
# What the tour meets with real plug-ins, made from the test kit: plug-ins that crash or hang
# where their data says (in cwd/, listed first when the tour runs there), the bundled plug-ins
# and the kit's good QQA and QQZ readers after them (in plugins/), and files (in input/): a
# good picture, a corrupt one, pictures a faulting plug-in takes first and the next one reads,
# pictures every reader fails on after a crash or a hang, and an archive whose first reader
# crashes while listing it.
#   tour_faults_input.sh <folder to make> <samples> <test plug-ins> <bundled plug-ins>
set -euo pipefail
out=$1 samples=$2 kit=$3 bundled=$4
rm -rf "$out" && mkdir -p "$out/cwd" "$out/plugins" "$out/input"
cp "$kit/faulty.spi" "$kit/faulty_archive.spi" "$out/cwd/"
cp "$bundled/iftamrix.spi" "$bundled/axtamrix.spi" "$kit/qqa.spi" "$kit/qqz.spi" "$out/plugins/"

le() {  # value, bytes: little-endian
    local value=$1 i
    for ((i = 0; i < $2; ++i)); do printf "\\x$(printf %02x $(((value >> (8 * i)) & 255)))"; done
}
zeros() { head -c "$1" /dev/zero; }
text() { printf '%s' "$1"; zeros $(($2 - ${#1})); }  # padded with NULs to $2 bytes
# A QQA1 picture, 8 x 5 pixels of 24 bits, its reader answering code $1, holding the text $2.
qqa() { printf QQA1; le 8 4; le 5 4; le 24 2; zeros 14; le "$1" 4; zeros 12; le 17 1; zeros 15; text "$2" 32; zeros 12; }

cp "$samples/pictures/rgb.png" "$out/input/good.png"
cp "$samples/hostile/corrupt.png" "$out/input/corrupt.png"
qqa 0 "CRSH:GetPicture;" >"$out/input/crash.qqa"
qqa 0 "HANG:GetPicture;" >"$out/input/hang.qqa"
qqa 3 "CRSH:GetPicture;" >"$out/input/crashbroken.qqa"
qqa 3 "HANG:GetPicture;" >"$out/input/hangbroken.qqa"
# One member, a good picture; the tag that faults the first reader hides after its name's NUL.
{ printf QQZ1; le 1 4; zeros 16; text m 8; zeros 40; text "inner.qqa" 10; text "CRSH:GetArchiveInfo;" 30
  le 104 4; zeros 8; qqa 0 ""; } >"$out/input/crash.qqz"
