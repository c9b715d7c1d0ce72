#!/bin/sh
# Runs a Windows program of the build under Wine, headless, in the build's
# own prefix. CTest uses it as the emulator for every test executable.
#   ORLAVENT_WINEPREFIX  the prefix (default: ./wineprefix of the caller)
#   ORLAVENT_GRAPHICS    null (default, no display needed) or x11 ($DISPLAY)
#   ORLAVENT_ARCH        the build's flavour (default: that of the build
#                        holding the prefix)
set -eu
ORLAVENT_BUILD="$(dirname "${ORLAVENT_WINEPREFIX:-$PWD/wineprefix}")"
. "$(dirname "$0")/wine-env.sh"
wine_prefix_ready "${ORLAVENT_WINEPREFIX:-$PWD/wineprefix}" "${ORLAVENT_GRAPHICS:-null}"
# Keep the server, and with it the simulated sensor's driver, loaded
# between the test programs; the test run's last step ends it.
wineserver -p 30 </dev/null >/dev/null 2>&1 || true
# Wine's services (the sensor's driver among them) start with the first
# program of a server and inherit its output: start them from a program
# whose output goes nowhere, or they hold the caller's pipe open.
wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
exec "$ORLAVENT_WINE" "$@"
