#!/usr/bin/env bash
# The benchmark: builds, registers Tamrix.dll in the build tree's Wine prefix and prints
# ratios measured side by side in one run. First the late-bound call costs of a script
# (bench/dispatch.js; arguments go to it: calls per round, rounds), then what the server
# costs on top of the plug-ins' own work (bench/bench.cpp; TAMRIX_BENCH_REPS repetitions,
# 7 by default). Its inputs (a 24-megapixel PNG, a 100,000-member archive, 600 plug-in
# copies, about 65 MB) are made in build/bench/scratch on first use and kept.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMRIX_BUILD_DIR:-$root/build}
# Where this machine runs no 32-bit code, the whole of it runs on the emulated machine
# (scripts/i386-machine.sh), which sets TAMRIX_ON_I386_MACHINE, over this build.
if [ -z "${TAMRIX_ON_I386_MACHINE:-}" ]; then
    "$root/scripts/build.sh"
    if i386=$("$build/wine-run.sh" --i386) && [ "$i386" != native ]; then
        echo "== 32-bit code: $i386; so the benchmark runs (its ratios then compare emulated runs) on the emulated machine =="
        exec bash "$root/scripts/i386-machine.sh" run "$build" "$root" -- bash "$0" "$@"
    fi
fi
. "$root/scripts/wine-env.sh"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wine regsvr32 /s "$(winpath "$build/bin/Tamrix.dll")"
echo "== Late-bound calls (JScript) =="
wine cscript //nologo "$(winpath "$root/bench/dispatch.js")" "$(winpath "$build/tests/plugins")" "$@"
echo
echo "== What the server costs on top of the plug-ins =="
mkdir -p "$build/bench/scratch"
wine "$build/bench/tamrix_bench.exe" "$(winpath "$build/bin/Tamrix.dll")" "$(winpath "$build/plugins/iftamrix.spi")" \
    "$(winpath "$build/tests/plugins/qqz.spi")" "$(winpath "$build/bench/bench_spi.spi")" \
    "$(winpath "$build/bench/scratch")" "${TAMRIX_BENCH_REPS:-7}"
