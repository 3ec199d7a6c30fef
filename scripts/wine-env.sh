# Sourced by the scripts: a persistent wineserver on the build tree's private prefix,
# stopped again on every way out, so no leftover process holds anything open.
# Needs $build.
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
"$build/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true   # creates the prefix once
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
