# Sourced by the scripts: a persistent wineserver on each of the build tree's private
# prefixes (the 32-bit one and, where Wine's 64-bit loader is there, the 64-bit one), so
# that each test program does not pay the server's start-up, stopped again on every way
# out so that no leftover process (a DLL surrogate among them) holds anything open.
# Needs $build. With TAMRIX_WINE64=later only the 32-bit prefix is started here, and
# wine_env_64 starts the 64-bit one when it is wanted.
: "${build:?wine-env.sh needs \$build, the build tree}"
# Where this machine runs no 32-bit code, the 32-bit prefix is the emulated machine's alone
# (build/wine-run.sh --i386): no server of this machine's may hold it.
export WINEPREFIX="$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
tamrix_i386=$("$build/wine-run.sh" --i386)
mkdir -p "$WINEPREFIX"
wineserver -k >/dev/null 2>&1 || true   # a server left from an earlier run is not ours to keep
[ "$tamrix_i386" != native ] || wineserver -p
wine_env_stop() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -d "$build/wineprefix64" ]; then WINEPREFIX="$build/wineprefix64" wineserver -k >/dev/null 2>&1 || true; fi
}
trap wine_env_stop EXIT

wine_env_64() {
    [ -x "$build/wine-run64.sh" ] || return 0
    WINEPREFIX="$build/wineprefix64" wineserver -k >/dev/null 2>&1 || true
    # A new prefix is made under a server of its own, left to end with it: made under a
    # persistent server, the 64-bit prefix kept two instances of its services, and the
    # first DLL surrogate started there never answered.
    if [ ! -f "$build/wineprefix64/.tamrix-ready" ]; then
        "$build/wine-run64.sh" cmd /c exit 0 >/dev/null 2>&1
        WINEPREFIX="$build/wineprefix64" wineserver -w
    fi
    # The server makes a new prefix's registry of the kind WINEARCH names.
    WINEPREFIX="$build/wineprefix64" WINEARCH=win64 wineserver -p
}
[ "${TAMRIX_WINE64:-}" = later ] || wine_env_64
[ "$tamrix_i386" != native ] || "$build/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1   # makes the prefix on first use
