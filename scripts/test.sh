#!/bin/sh
# Runs every test under Wine, headless, one program at a time (they share
# the simulated sensor), and leaves no Wine process behind.
set -eu
BUILD="$(cd "${1:-build}" && pwd)"
. "$(dirname "$0")/wine-env.sh"
wine_prefix_ready "$BUILD/wineprefix" null
status=0
ctest --test-dir "$BUILD" --output-on-failure --timeout 120 || status=$?
WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
exit $status
