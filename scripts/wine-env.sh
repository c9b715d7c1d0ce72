# Sourced by the project's scripts: Wine for the build's flavour, and a
# prefix of the build's own.
#   ORLAVENT_ARCH   the build's flavour: i686 (the product) or x86_64;
#                   unset, that of the build in $ORLAVENT_BUILD, else i686
# For i686 on a host that runs 32-bit code only under qemu-user, the
# sourcing script starts again inside with-i386.sh's namespace, so that
# everything it runs is inside.
#   wine_prefix_ready PREFIX null|x11
# creates PREFIX once (never ~/.wine) and chooses Wine's graphics driver:
# "null" runs windows headless, "x11" shows them on $DISPLAY.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
ORLAVENT_SCRIPTS="$(cd "$(dirname "$0")" && pwd)"
if [ -z "${ORLAVENT_ARCH:-}" ] && [ -n "${ORLAVENT_BUILD:-}" ]; then
    ORLAVENT_ARCH=$(sed -n 's/^ORLAVENT_ARCH:STRING=//p' "$ORLAVENT_BUILD/CMakeCache.txt" 2>/dev/null)
fi
export ORLAVENT_ARCH="${ORLAVENT_ARCH:-i686}"

if [ "$ORLAVENT_ARCH" = x86_64 ]; then
    # The x86_64 flavour needs only the 64-bit loader, which every host runs.
    export WINELOADER=/usr/lib/wine/wine64
    ORLAVENT_WINE=$WINELOADER
    ORLAVENT_LOADER="wine64"
else
    # The 32-bit loader, which starts the 64-bit one for Wine's own 64-bit
    # programs; one told to be the 64-bit loader could not do that.
    unset WINELOADER
    ORLAVENT_WINE=/usr/lib/wine/wine
    export ORLAVENT_I386="${ORLAVENT_I386:-$("$ORLAVENT_SCRIPTS/host-i386.sh")}"
    case "$ORLAVENT_I386" in
        native) ;;
        qemu)
            if [ -z "${ORLAVENT_IN_I386_NS:-}" ]; then
                exec "$ORLAVENT_SCRIPTS/with-i386.sh" sh "$0" "$@"
            fi ;;
        *)
            echo "wine: this host runs no 32-bit programs, natively or under qemu-user: the i686 build cannot run here" >&2
            exit 1 ;;
    esac
    ORLAVENT_LOADER="wine (i386, $ORLAVENT_I386)"
fi
wine() { "$ORLAVENT_WINE" "$@"; }

# One line for the output of a run: which flavour ran, and how.
wine_flavour() {
    if [ "$ORLAVENT_ARCH" = x86_64 ]; then
        echo "x86_64 flavour under 64-bit Wine"
    elif [ "$ORLAVENT_I386" = qemu ]; then
        echo "i686 product under 32-bit Wine run by $(qemu-i386 --version | sed -n '1s/ (.*//p') in a private namespace (this host runs no 32-bit code itself)"
    else
        echo "i686 product under 32-bit Wine, natively"
    fi
}

wine_prefix_ready() {
    prefix="$1"
    graphics="$2"
    export WINEPREFIX="$prefix"
    mkdir -p "$(dirname "$prefix")"
    # Parallel callers wait for the one that creates the prefix.
    (
        flock 9
        # A prefix made by another loader may lack what this one needs (the
        # 64-bit loader alone leaves the 32-bit system folder empty).
        if [ -d "$prefix" ] && [ "$(cat "$prefix/.orlavent-loader" 2>/dev/null)" != "$ORLAVENT_LOADER" ]; then
            echo "wine: $prefix was made by another loader; starting it afresh" >&2
            wineserver -k 2>/dev/null || true
            rm -rf "$prefix"
        fi
        if [ ! -f "$prefix/.orlavent-$graphics" ]; then
            echo "wine: preparing prefix $prefix ($graphics graphics, $ORLAVENT_LOADER)" >&2
            wine wineboot -i >/dev/null 2>&1 || true
            if [ "$graphics" = "null" ]; then
                wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null 2>&1
            else
                wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
            fi
            wineserver -w
            rm -f "$prefix"/.orlavent-*
            echo "$ORLAVENT_LOADER" >"$prefix/.orlavent-loader"
            touch "$prefix/.orlavent-$graphics"
        fi
    ) 9>"$prefix.lock"
}
