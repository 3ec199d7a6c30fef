#!/usr/bin/env bash
# The robustness tests at their full counts (CI runs them smaller): 100,000 hostile seeds,
# 10,000 iterations of every leak-run family, 100 rounds of thread stress, the bad-input
# cases, 200 crashes of an isolated plug-in in a row, the main job's calls 100,000 times in
# one process (5,000 rounds with the default flags and as many isolated), and 10,000 loads of
# each bundled plug-in of both widths (1,000 of each test plug-in and of the server). Builds
# first, registers the server in the build tree's prefix, then runs each test program directly
# (a full run outlasts CTest's time limit) and prints its own figures.
# First, natively on this machine, the bundled plug-ins' fuzz targets (scripts/fuzz.sh): a
# million runs each under AddressSanitizer and UndefinedBehaviorSanitizer.
# Any count can be set beforehand: TAMRIX_HOSTILE_SEEDS, TAMRIX_HOSTILE_FIRST_SEED,
# TAMRIX_LEAK_ITERATIONS, TAMRIX_THREAD_ROUNDS, TAMRIX_THREAD_ITERATIONS, TAMRIX_ISOLATION_CRASHES,
# TAMRIX_SOAK_ROUNDS, TAMRIX_UNLOAD_CYCLES, TAMRIX_FUZZ_RUNS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
# Where this machine runs no 32-bit code, the whole of it runs on the emulated machine
# (scripts/i386-machine.sh), which sets TAMRIX_ON_I386_MACHINE, over this build.
fuzz_failed=0
if [ -z "${TAMRIX_ON_I386_MACHINE:-}" ]; then
    "$root/scripts/build.sh"
    start=$SECONDS
    echo "== fuzz targets"
    TAMRIX_FUZZ_RUNS=${TAMRIX_FUZZ_RUNS:-1000000} bash "$root/scripts/fuzz.sh" || fuzz_failed=1
    echo "== fuzz targets $([ $fuzz_failed = 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s"
    if i386=$("$build/wine-run.sh" --i386) && [ "$i386" != native ]; then
        echo "== 32-bit code: $i386; so the long runs run on the emulated machine =="
        status=0
        bash "$root/scripts/i386-machine.sh" run "$build" "$root" -- bash "$0" "$@" || status=$?
        [ $fuzz_failed = 0 ] || status=1
        exit $status
    fi
fi
. "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
export TAMRIX_HOSTILE_SEEDS=${TAMRIX_HOSTILE_SEEDS:-100000}
export TAMRIX_LEAK_ITERATIONS=${TAMRIX_LEAK_ITERATIONS:-10000}
export TAMRIX_THREAD_ROUNDS=${TAMRIX_THREAD_ROUNDS:-100}
export TAMRIX_ISOLATION_CRASHES=${TAMRIX_ISOLATION_CRASHES:-200}
export TAMRIX_SOAK_ROUNDS=${TAMRIX_SOAK_ROUNDS:-5000}
export TAMRIX_UNLOAD_CYCLES=${TAMRIX_UNLOAD_CYCLES:-10000}
export TAMRIX_SPI_DIR=$build/tests/plugins TAMRIX_DLL=$build/bin/Tamrix.dll
export TAMRIX_BUNDLED_DIR=$build/plugins TAMRIX_SAMPLES_DIR=$build/samples
failed=0
# run <name> <command...>: one test program, from a folder without plug-ins of its own, as
# CTest runs it.
run() {
    local name=$1 start=$SECONDS; shift
    echo "== $name"
    if (cd "$build/tests/robust" && "$@"); then
        echo "== $name passed in $((SECONDS - start)) s"
    else
        echo "== $name FAILED"; failed=1
    fi
}
for test in robust_hostile_test robust_leak_test robust_thread_test robust_bad_input_test robust_isolation_test; do
    run $test "$build/wine-run.sh" "$build/tests/bin/$test.exe"
done
run test_spi_kit "$build/wine-run.sh" "$build/tests/plugins/test_spi_kit.exe"
if [ -x "$build/wine-run64.sh" ]; then
    TAMRIX_BUNDLED_DIR=$build/x64/plugins TAMRIX_DLL=$build/x64/bin/Tamrix64.dll \
        run x64_test_spi_kit "$build/wine-run64.sh" "$build/x64/tests/plugins/test_spi_kit.exe"
fi
[ $fuzz_failed = 0 ] || failed=1
exit $failed
