#!/bin/sh
# Runs Orlavent with the simulated sensor attached.
# With a display ($DISPLAY), the "Orlavent" window opens for the operator.
# Without one, a scripted session runs under Xvfb (connect, show image,
# screenshot, stop, exit) and the script says where the screenshot and the
# capture file are.
set -eu
BUILD="$(cd "${1:-build}" && pwd)"
ORLAVENT_BUILD="$BUILD"
BIN="$BUILD/bin"
OUT="$BUILD/run"
. "$(dirname "$0")/wine-env.sh"
echo "run: $(wine_flavour)"

mkdir -p "$OUT"
XVFB_PID=""
cleanup() {
    WINEPREFIX="$BUILD/wineprefix-run" wineserver -k 2>/dev/null || true
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
    for n in 91 92 93 94 95 96 97 98 99; do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
    done
    echo "run: no display; starting Xvfb on :$n"
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    HEADLESS=1
    sleep 1
else
    HEADLESS=0
fi

wine_prefix_ready "$BUILD/wineprefix-run" x11
wineserver -p 30 </dev/null >/dev/null 2>&1 || true
# Wine's services inherit the output of the first program: keep it quiet.
wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true

echo "run: installing and starting the simulated sensor"
wine "$BIN/simctl.exe" install
wine "$BIN/simctl.exe" start
wine "$BIN/simctl.exe" reset >/dev/null
wine "$BIN/link_check.exe"

CAPTURE="$BUILD/wineprefix-run/drive_c/1.txt"
if [ "$HEADLESS" = "0" ]; then
    echo "run: starting Orlavent; press Device Connect, then Show Image"
    wine "$BIN/Orlavent.exe"
    echo "run: capture file: $CAPTURE"
    exit 0
fi

if [ ! -e "$BIN/orlavent_session.exe" ]; then
    echo "run: no display and no scripted session program: the link check above is the run"
    exit 0
fi

HOLD="$OUT/session"
rm -f "$HOLD.ready" "$HOLD.done" "$OUT/screenshot.png"
wine "$BIN/orlavent_session.exe" --hold "Z:$(echo "$HOLD" | tr / '\\')" &
SESSION=$!
i=0
while [ ! -e "$HOLD.ready" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
if [ -e "$HOLD.ready" ]; then
    import -window root "$OUT/screenshot.png"
else
    echo "run: the session did not reach the live picture"
fi
touch "$HOLD.done"
wait $SESSION
echo "run: screenshot of the live picture: $OUT/screenshot.png"
echo "run: capture file: $CAPTURE ($(stat -c %s "$CAPTURE" 2>/dev/null || echo 0) bytes)"
