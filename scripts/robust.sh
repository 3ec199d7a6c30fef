#!/usr/bin/env bash
# The robustness tests at their full counts (CI runs them smaller): 100,000 hostile seeds,
# 10,000 iterations of every leak-run family, 100 rounds of thread stress, the bad-input
# cases, and 200 crashes of an isolated plug-in in a row. Builds first, registers the server in the build tree's prefix, then runs each test
# program directly (a full run outlasts CTest's time limit) and prints its own figures.
# Any count can be set beforehand: TAMRIX_HOSTILE_SEEDS, TAMRIX_HOSTILE_FIRST_SEED,
# TAMRIX_LEAK_ITERATIONS, TAMRIX_THREAD_ROUNDS, TAMRIX_THREAD_ITERATIONS, TAMRIX_ISOLATION_CRASHES.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
export TAMRIX_HOSTILE_SEEDS=${TAMRIX_HOSTILE_SEEDS:-100000}
export TAMRIX_LEAK_ITERATIONS=${TAMRIX_LEAK_ITERATIONS:-10000}
export TAMRIX_THREAD_ROUNDS=${TAMRIX_THREAD_ROUNDS:-100}
export TAMRIX_ISOLATION_CRASHES=${TAMRIX_ISOLATION_CRASHES:-200}
export TAMRIX_SPI_DIR=$build/tests/plugins TAMRIX_DLL=$build/bin/Tamrix.dll
failed=0
for test in robust_hostile_test robust_leak_test robust_thread_test robust_bad_input_test robust_isolation_test; do
    echo "== $test"
    start=$SECONDS
    # Run where CTest runs it: a folder without plug-ins of its own.
    if (cd "$build/tests/robust" && "$build/wine-run.sh" "$build/tests/bin/$test.exe"); then
        echo "== $test passed in $((SECONDS - start)) s"
    else
        echo "== $test FAILED"; failed=1
    fi
done
exit $failed
