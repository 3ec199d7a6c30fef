#!/usr/bin/env bash
# A large archive as a slow archive plug-in reads it: 3000 members whose every extraction
# waits 200 ms (the member's crc, qqz_slow.spi), among them 20 QQA pictures (pic-*.qqa), one
# that waits a minute (stuck.qqa), one picture whose name no picture plug-in's pattern
# matches (hidden.dat), and text files; with the kit's QQA reader beside the slow one.
#   tour_large_input.sh <folder to make> <test plug-ins>
set -euo pipefail
out=$1 kit=$2
rm -rf "$out" && mkdir -p "$out/plugins" "$out/input"
cp "$kit/qqa.spi" "$kit/qqz_slow.spi" "$out/plugins/"
perl -e '
    # A QQA1 picture of 8 x 5 pixels of 24 bits (test_formats.h).
    my $qqa = "QQA1" . pack("VVv", 8, 5, 24) . ("\0" x 30) . pack("C", 17) . ("\0" x 59);
    my ($count, $members) = (3000, "");
    for my $i (1 .. $count) {
        my ($name, $data, $delay) = ("note-$i.txt", "note $i\n", 200);
        ($name, $data) = ("pic-$i.qqa", $qqa) if $i % 150 == 0;
        ($name, $data, $delay) = ("stuck.qqa", $qqa, 60000) if $i == 1501;
        ($name, $data) = ("hidden.dat", $qqa) if $i == 2;
        $members .= pack("a8 a40 a40 V V V", "stored", "", $name, length $data, 1700000000, $delay) . $data;
    }
    print "QQZ1", pack("V5", $count, 0, 0, 0, 0), $members;
' >"$out/input/large.qqz"
