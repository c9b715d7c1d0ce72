#!/bin/sh
# Runs a command with a display of its own: a private Xvfb server, ended
# (with the Wine server of $ORLAVENT_WINEPREFIX, if set) when the command ends.
set -eu
for n in 81 82 83 84 85 86 87 88 89; do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
cleanup() {
    if [ -n "${ORLAVENT_WINEPREFIX:-}" ]; then WINEPREFIX="$ORLAVENT_WINEPREFIX" wineserver -k 2>/dev/null || true; fi
    kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=":$n"
i=0
while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
"$@"
