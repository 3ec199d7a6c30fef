#!/usr/bin/env bash
# The bundled plug-ins' fuzz targets (fuzz/): builds them natively with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer in build/fuzz (or $TAMRIX_BUILD_DIR/fuzz), then runs each
# over its seed corpus (fuzz/corpus/<target>) and on for a bounded number of runs.
#   bash scripts/fuzz.sh [--build-only] [target...]     targets: picture archive (default: both)
# TAMRIX_FUZZ_RUNS sets the runs per target (20000 by default; scripts/robust.sh runs a
# million), TAMRIX_FUZZ_SEED the fuzzer's seed (1 by default, so a run can be repeated).
# Inputs the fuzzer adds go to build/fuzz/corpus/<target>, never into the committed corpus; a
# finding stops the run and leaves its input in build/fuzz/findings/ to become a regression
# file of the corpus once fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}/fuzz
build_only=
[ "${1:-}" != --build-only ] || { build_only=1; shift; }
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(picture archive)
CXX=${TAMRIX_FUZZ_CXX:-clang++} cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/%/_fuzz}"
[ -z "$build_only" ] || exit 0
runs=${TAMRIX_FUZZ_RUNS:-20000}
mkdir -p "$build/findings"
status=0
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t"
    echo "== $t: the seed corpus, then $runs runs"
    start=$SECONDS
    # Leaks count as findings; the sanitizers' reports stop the run.
    if "$build/${t}_fuzz" -runs="$runs" -seed="${TAMRIX_FUZZ_SEED:-1}" -print_final_stats=1 \
           -artifact_prefix="$build/findings/$t-" "$build/corpus/$t" "$root/fuzz/corpus/$t" \
           2> "$build/$t.log"; then
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' "$build/$t.log" || true
        echo "== $t: no finding in $((SECONDS - start)) s"
    else
        tail -n 60 "$build/$t.log"
        echo "== $t: FINDING (input in $build/findings, log in $build/$t.log)"
        status=1
    fi
done
exit $status
