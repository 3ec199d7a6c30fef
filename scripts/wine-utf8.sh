#!/usr/bin/env bash
# Runs a Windows console program under Wine and passes its output on as UTF-8, line by line.
#   bash scripts/wine-utf8.sh <wine, or a script that runs it> <program> [arguments...]
# To anything but a console (a pipe, a file), Wine's script host writes the prefix's OEM code
# page: 437 under an English locale, where "ü" is the byte 0x81 and a letter the page lacks
# is already "?". That page is read from the prefix and converted. The exit status is the
# program's.
set -euo pipefail
cp=$("$1" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v OEMCP 2>/dev/null |
     tr -d '\r' | awk '$1 == "OEMCP" { print $3 }') || true
# iconv reads its whole input before it writes, so each line is converted on its own. Without
# a code page (the query failed) the bytes pass as they are.
"$@" | while IFS= read -r line || [ -n "$line" ]; do
    if [ -n "$cp" ]; then
        printf '%s\n' "${line%$'\r'}" | iconv -f "CP$cp" -t UTF-8 -c
    else
        printf '%s\n' "${line%$'\r'}"
    fi
done
