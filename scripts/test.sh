#!/bin/sh
# Runs every test under Wine, headless, one program at a time (they share
# the simulated sensor), and leaves no Wine process behind. The output says
# which flavour ran and how: the x86_64 flavour is not what ships.
set -eu
BUILD="$(cd "${1:-build}" && pwd)"
ORLAVENT_BUILD="$BUILD"
. "$(dirname "$0")/wine-env.sh"
say_flavour() {
    if [ "$ORLAVENT_ARCH" = i686 ]; then
        echo "test: $(wine_flavour)"
    else
        echo "test: ******** $(wine_flavour): THE SHIPPED i686 BINARIES WERE NOT TESTED ********"
    fi
}
say_flavour
wine_prefix_ready "$BUILD/wineprefix" null
status=0
ctest --test-dir "$BUILD" --output-on-failure --timeout 120 || status=$?
WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
say_flavour
exit $status
