#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine; arguments go to CTest.
#
# Where this machine runs no 32-bit code (build/wine-run.sh --i386 says so), the tests that
# need it (labelled i386) run in an emulated machine that has it (scripts/i386-machine.sh),
# with the build tree and this tree shared at their own paths, and the others here after them.
# TAMRIX_I386=emulate takes that path on any machine, with this machine's 32-bit loader hidden.
# What would take too long there (label long) is left out, and counted as skipped, unless
# TAMRIX_I386_LONG=1 asks for it.
# The closing lines count what ran of each build, and where.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}

# In the emulated machine: the i386 tests alone, against the tree built outside.
if [ "${1:-}" = --i386-part ]; then
    shift
    . "$root/scripts/wine-env.sh"
    status=0
    long=(-LE long)
    [ "${TAMRIX_I386_LONG:-}" != 1 ] || long=()
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -L i386 "${long[@]}" \
          --output-junit "$build/results-i386.xml" "$@" || status=$?
    exit $status
fi

if [ "${TAMRIX_I386:-}" = emulate ] && [ -z "${TAMRIX_I386_HIDDEN:-}" ]; then
    exec bash "$root/scripts/i386-machine.sh" hide -- bash "$0" "$@"
fi
"$root/scripts/install-deps.sh" --tests
"$root/scripts/build.sh"
i386=$("$build/wine-run.sh" --i386)
rm -f "$build"/results-*.xml
status=0
if [ "$i386" = native ]; then
    . "$root/scripts/wine-env.sh"
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --output-junit "$build/results-here.xml" "$@" ||
        status=$?
else
    echo "== 32-bit code: $i386; the i386 tests run on the emulated machine =="
    start=$SECONDS
    bash "$root/scripts/i386-machine.sh" run "$build" "$root" -- bash "$root/scripts/test.sh" --i386-part "$@" ||
        status=$?
    echo "== the emulated machine's part took $((SECONDS - start)) s; now the rest on this machine =="
    . "$root/scripts/wine-env.sh"
    # Fixtures whose setup runs on the emulated machine have run there already.
    skip=i386
    [ "${TAMRIX_I386_LONG:-}" = 1 ] || skip='i386|long'
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -LE "$skip" -FA '.*' \
          --output-junit "$build/results-here.xml" "$@" || status=$?
fi
bash "$root/scripts/test-summary.sh" "$build" "$i386" "$@" || status=$?
exit $status
