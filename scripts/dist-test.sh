#!/bin/sh
# Unpacks the release zip of a build and runs both programs from it: the
# inspector's help, then a recording made by the unpacked Orlavent.exe
# against the simulated sensor (operated by the scripted session from the
# build), and the unpacked inspector's summary of that recording. The
# programs run as the tests' own do (under qemu-user where the host runs no
# 32-bit code).
#   dist-test.sh BUILD ZIP OBJDUMP
set -eu
BUILD="$(cd "$1" && pwd)"
ZIP="$2"
OBJDUMP="$3"
ORLAVENT_BUILD="$BUILD"
. "$(dirname "$0")/wine-env.sh"
echo "dist-test: $(wine_flavour)"
RUN="$ORLAVENT_SCRIPTS/wine-run.sh"
export ORLAVENT_WINEPREFIX="$BUILD/wineprefix"
fail() { echo "dist-test: $*" >&2; exit 1; }

cmake --build "$BUILD" --target dist >/dev/null
OUT="$BUILD/dist-test"
rm -rf "$OUT"
mkdir -p "$OUT"
unzip -q "$ZIP" -d "$OUT"
cd "$OUT"/Orlavent-*
ls
sha256sum -c SHA256SUMS
for exe in Orlavent.exe orlavent-inspect.exe; do
    if "$OBJDUMP" -h "$exe" | grep -q '\.debug'; then fail "$exe has debug information"; fi
done
grep -q "Connect Succeed" README.txt || fail "README.txt does not explain the messages"

"$RUN" ./orlavent-inspect.exe --help | grep -q "usage: orlavent-inspect" || fail "no help from the inspector"

"$RUN" "$BUILD/bin/simctl.exe" install >/dev/null
"$RUN" "$BUILD/bin/simctl.exe" start >/dev/null
"$RUN" "$BUILD/bin/simctl.exe" reset >/dev/null
cp "$BUILD/bin/orlavent_session.exe" .
"$RUN" ./orlavent_session.exe --seconds 1 || fail "the unpacked Orlavent.exe did not record"
summary="$("$RUN" ./orlavent-inspect.exe --json 'C:\1.txt')"
echo "$summary"
echo "$summary" | grep -Eq '"complete": [1-9]' || fail "no complete picture in the recording"
echo "dist-test: the release runs"
