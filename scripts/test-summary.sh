#!/usr/bin/env bash
# The closing lines of scripts/test.sh: what ran of each build (32-bit: Tamrix.dll and its
# tests, 64-bit: the x64_ tests of Tamrix64.dll) and where, from CTest's JUnit files
# (build/results-here.xml from this machine, build/results-i386.xml from the emulated one). A
# test of the run's list that neither file holds did not run and counts as failed; a skipped
# one counts as skipped, with CTest's reason, and so does a long run left out on the emulated
# machine (label long). A test run in both places (a fixture both
# needed) counts once, failed if it failed in either. Exits 1 when a test failed.
#   test-summary.sh <build tree> <what build/wine-run.sh --i386 said> [CTest selection...]
set -euo pipefail
build=$1 i386=$2
shift 2
# name status place message, one line each
results() {
    local file=$1 place=$2
    [ -f "$file" ] || return 0
    awk -v place="$place" '
        /<testcase / {
            if (name != "") print name, status, place, msg
            match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
            match($0, /status="[^"]*"/); status = substr($0, RSTART + 8, RLENGTH - 9); msg = ""
        }
        /<skipped message=/ { match($0, /message="[^"]*"/); msg = substr($0, RSTART + 9, RLENGTH - 10) }
        END { if (name != "") print name, status, place, msg }' "$file"
}
names() { ctest --test-dir "$build" -N "$@" | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p'; }
listed=$(names -FA '.*' "$@")   # the tests asked for, without the fixtures CTest would add
# The long runs an emulated machine leaves out (scripts/test.sh).
left=
[ "$i386" = native ] || [ "${TAMRIX_I386_LONG:-}" = 1 ] || left=$(names -L long -FA ".*")
{ results "$build/results-i386.xml" emulated; results "$build/results-here.xml" here; } | awk \
    -v listed="$listed" -v left="$left" -v i386="$i386" '
    {
        t = $1; s = $2; p = $3
        if (!(t in status) || s == "fail") { status[t] = s; place[t] = p; $1 = $2 = $3 = ""; sub(/^ +/, ""); why[t] = $0 }
    }
    END {
        m = split(left, l, "\n"); for (i = 1; i <= m; i++) long[l[i]] = 1
        n = split(listed, names, "\n")
        for (i = 1; i <= n; i++) {
            t = names[i]; if (t == "") continue
            w = (t ~ /^x64_/) ? 64 : 32
            s = (t in status) ? status[t] : (t in long) ? "long" : "missing"
            if (s == "run") { passed[w]++; if (place[t] == "emulated") emulated[w]++ }
            else if (s == "long") {
                skipped[w]++
                printf "skipped: %s (too long for the emulated machine: left for one that runs 32-bit code; TAMRIX_I386_LONG=1 runs it)\n", t
            }
            else if (s == "notrun" || s == "disabled") { skipped[w]++; printf "skipped: %s (%s)\n", t, (why[t] ~ /[^ ]/) ? why[t] : s }
            else { failed[w]++; if (s == "missing") printf "did not run: %s\n", t }
        }
        for (w = 32; w <= 64; w += 32) {
            where = emulated[w] + 0 ? sprintf(", %d of them on the emulated machine", emulated[w]) : ""
            printf "%d-bit build: %d passed, %d failed, %d skipped%s\n", w, passed[w], failed[w], skipped[w], where
        }
        if (i386 != "native") printf "32-bit code: %s\n", i386
        printf "tests: %d passed, %d failed, %d skipped\n", passed[32] + passed[64], failed[32] + failed[64], skipped[32] + skipped[64]
        exit (failed[32] + failed[64] > 0)
    }'
