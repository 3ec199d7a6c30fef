#!/usr/bin/env bash
# The tours' contact sheets as a browser shows them: each is loaded by headless Chromium, 1280
# pixels wide, with sheet_check.js, whose verdict must match. The last cases prove the check:
# a sheet whose names may not wrap, and one with a picture missing, must be found wrong.
#   tour_sheet_test.sh <the tours' output folder> <a scratch folder>
set -uo pipefail
tours=$1
scratch=$2
here=$(cd "$(dirname "$0")" && pwd)
browser=$(command -v chromium) ||
    { echo "chromium is missing: bash scripts/install-deps.sh --tests installs it"; echo "0 passed, 1 failed"; exit 1; }
rm -rf "$scratch" && mkdir -p "$scratch"

# sheet (a tour's folder) | change | the verdict expected (an extended regular expression)
clean="overflow=0 broken=0 unlinked=0"
cases=(
    "js|none|^$clean boxes=1 blurred=0 pictures=32 failures=0 described=0$"
    "vbs|none|^$clean boxes=1 blurred=0 pictures=32 failures=0 described=0$"
    "wide_js|none|^$clean boxes=1 blurred=0 pictures=2 failures=0 described=0$"
    "wide_vbs|none|^$clean boxes=1 blurred=0 pictures=2 failures=0 described=0$"
    "failures_js|none|^$clean boxes=0 blurred=0 pictures=0 failures=3 described=3$"
    "failures_vbs|none|^$clean boxes=0 blurred=0 pictures=0 failures=3 described=3$"
    "faults_js|none|^$clean boxes=1 blurred=0 pictures=4 failures=3 described=3$"
    "faults_vbs|none|^$clean boxes=1 blurred=0 pictures=4 failures=3 described=3$"
    "js|unwrapped|^overflow=[1-9]"
    "js|missing|broken=1 "
)
passed=0 failed=0
for c in "${cases[@]}"; do
    IFS='|' read -r sheet change expected <<<"$c"
    page="$scratch/${sheet}_$change.html"
    # A UTF-8 copy beside the others, reading the pictures from the tour's folder.
    iconv -f UTF-16 -t UTF-8 "$tours/$sheet/index.html" |
        sed -e 's/charset="utf-16"/charset="utf-8"/' -e "s|<head>|<head><base href=\"file://$tours/$sheet/\">|" \
            -e "s|</body>|<script src=\"file://$here/sheet_check.js\"></script></body>|" >"$page"
    case $change in
        unwrapped) sed -i 's|</head>|<style>figcaption,td{overflow-wrap:normal}</style></head>|' "$page" ;;
        missing) sed -i '0,/ src="/s// src="missing-/' "$page" ;;
    esac
    verdict=$(timeout 120 "$browser" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
                  --disable-quic --no-first-run --disable-background-networking --disable-component-update \
                  --disable-sync --user-data-dir="$(mktemp -d "$scratch/profile.XXXXXX")" \
                  --window-size=1280,900 --virtual-time-budget=5000 --dump-dom "file://$page" \
                  2>"$page.log" | grep -o 'data-verdict="[^"]*"' | sed 's/^data-verdict="//; s/"$//')
    if grep -Eq "$expected" <<<"$verdict"; then
        echo "ok    $sheet ($change): $verdict"
        passed=$((passed + 1))
    else
        echo "FAIL  $sheet ($change): \"$verdict\", expected /$expected/ (browser's messages: $page.log)"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
exit $((failed > 0))
