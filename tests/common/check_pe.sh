#!/usr/bin/env bash
# Checks a built module's export and import tables with objdump.
#   check_pe.sh server <Tamrix.dll>    the seven exports with their ordinals; system imports only;
#                                      the file format PE_FORMAT (default pei-i386, for
#                                      Tamrix64.dll pei-x86-64)
#   check_pe.sh plugin <x.spi>...      undecorated export names; system imports only
set -euo pipefail
OBJDUMP=${OBJDUMP:-i686-w64-mingw32-objdump}
mode=$1; shift
fail=0
# Libraries every Windows installation has; a C++ or threading runtime DLL is not one.
system='^(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|OLE32|OLEAUT32|MSVCRT|SHLWAPI|COMCTL32|COMDLG32|RPCRT4|VERSION)\.DLL$'

check_imports() {
    local f=$1 dll
    while read -r dll; do
        # Here-strings, not pipes: under pipefail a writer cut off by an early grep -q
        # would count as a failure.
        if ! grep -Eq "$system" <<< "${dll^^}"; then
            echo "FAIL $f imports $dll"; fail=1
        fi
    done < <("$OBJDUMP" -p "$f" | sed -n 's/^[ \t]*DLL Name: //p')
}

exports_of() {  # prints "ordinal name" per export
    "$OBJDUMP" -p "$1" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ {t=1; next}
        t && /^[ \t]*\[/ {gsub(/[\[\]]/,""); print $1+base, $2; next}
        t && !/^[ \t]*\[/ {t=0}
        /^Ordinal Base/ {base=$3}'
}

case $mode in
server)
    f=$1
    got=$(exports_of "$f" | sort -n | tr '\n' ' ')
    want="1 DllCanUnloadNow 2 DllGetClassObject 3 DllMain 4 DllRegisterServer 5 DllUnregisterServer 6 RemoteHostW 7 DllInstall "
    if [ "$got" != "$want" ]; then echo "FAIL exports of $f: $got"; fail=1; fi
    format=${PE_FORMAT:-pei-i386}
    grep -q "file format $format\$" <<< "$("$OBJDUMP" -f "$f")" || { echo "FAIL $f is not $format"; fail=1; }
    check_imports "$f"
    ;;
plugin)
    for f in "$@"; do
        names=$(exports_of "$f" | awk '{print $2}')
        [ -n "$names" ] || { echo "FAIL $f exports nothing"; fail=1; }
        if grep -q '[@_]' <<< "$names"; then
            echo "FAIL $f has decorated exports: $(printf '%s ' $names)"; fail=1
        fi
        grep -qx GetPluginInfo <<< "$names" || { echo "FAIL $f lacks GetPluginInfo"; fail=1; }
        check_imports "$f"
    done
    ;;
esac
[ $fail -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
