# Sourced by the project's scripts: a Wine prefix of the build's own.
#   wine_prefix_ready PREFIX null|x11
# creates PREFIX once (never ~/.wine) and chooses Wine's graphics driver:
# "null" runs windows headless, "x11" shows them on $DISPLAY.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# The 32-bit loader runs 32-bit and 64-bit programs alike; on a host that
# runs no 32-bit code (see target-arch.sh) only the 64-bit loader starts.
ORLAVENT_WINE=wine
if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    export WINELOADER=/usr/lib/wine/wine64
    ORLAVENT_WINE=$WINELOADER
    wine() { "$ORLAVENT_WINE" "$@"; }
fi

wine_prefix_ready() {
    prefix="$1"
    graphics="$2"
    export WINEPREFIX="$prefix"
    mkdir -p "$(dirname "$prefix")"
    # Parallel callers wait for the one that creates the prefix.
    (
        flock 9
        if [ ! -f "$prefix/.orlavent-$graphics" ]; then
            echo "wine: preparing prefix $prefix ($graphics graphics)" >&2
            wine wineboot -i >/dev/null 2>&1 || true
            if [ "$graphics" = "null" ]; then
                wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
            else
                wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
            fi
            wineserver -w
            rm -f "$prefix"/.orlavent-*
            touch "$prefix/.orlavent-$graphics"
        fi
    ) 9>"$prefix.lock"
}
