# Sourced by the scripts: a persistent wineserver on the build tree's private prefix, so
# that each test program does not pay the server's start-up, stopped again on every way
# out so that no leftover process holds anything open. Needs $build.
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1 || true   # a server left from an earlier run is not ours to keep
wineserver -p
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
"$build/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1   # makes the prefix on first use
