#!/bin/sh
# Runs the benchmarks under Wine against the simulated sensor, in the
# flavour the host runs natively (the Makefile picks the build): figures of
# the i686 build under qemu-user would measure the emulator.
#   bench.sh BUILD          every benchmark
#   bench.sh BUILD rates    the highest stream rate with nothing dropped, then
#                           what is dropped at the bus rate: one read in fifty
#                           failing (30 s), ten minutes, an 8 KB sensor buffer
#                           (60 s), one core busy (60 s); and just over it
#                           (120 s); each beside the bare loop
#   BENCH_SECONDS  length of the streaming run (default 60), or of each
#                  rate step (default 20)
#   BENCH_E2E_SECONDS  length of the end to end run on one core (default 20)
#   BENCH_ROW      with rates, only that row: highest, flaky, long, fifo, busy
#                  or over
set -eu
BUILD="$(cd "${1:-build}" && pwd)"
ORLAVENT_BUILD="$BUILD"
. "$(dirname "$0")/wine-env.sh"
if [ "$ORLAVENT_ARCH" = x86_64 ]; then
    say() { echo "bench: $(wine_flavour), natively: this host runs no 32-bit code, and figures of the i686 product under qemu-user would measure the emulator"; }
else
    say() { echo "bench: $(wine_flavour)"; }
fi
say
export ORLAVENT_WINEPREFIX="$BUILD/wineprefix"
RUN="$ORLAVENT_SCRIPTS/wine-run.sh"
echo "load: $(uptime)"
if [ "${2:-}" = rates ]; then
    status=0
    "$RUN" "$BUILD/bin/capture_bench.exe" rates "${BENCH_SECONDS:-20}" ${BENCH_ROW:+"$BENCH_ROW"} || status=$?
    WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
    say
    exit $status
fi
"$RUN" "$BUILD/bin/protocol_bench.exe"
"$RUN" "$BUILD/bin/capture_bench.exe" "${BENCH_SECONDS:-60}"
# Spread over the cores, each read's round trip between this program, Wine's
# server and the driver's host wakes threads on other cores or not as the
# scheduler places them, and the pace swings by half from one round to the
# next. All on one core, nothing crosses cores: the figures hold still and
# show what recording and painting cost beside reading alone.
if command -v taskset >/dev/null 2>&1 && [ "$(nproc)" -gt 1 ]; then
    WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
    echo "again, with the program, Wine's server and the driver's host all on one core:"
    cpu="$(taskset -pc $$ | sed 's/.*: *//; s/[,-].*//')"
    taskset -c "$cpu" "$RUN" "$BUILD/bin/capture_bench.exe" e2e "${BENCH_E2E_SECONDS:-20}"
    WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
fi
# The inspector's capture file (about 200 MB) is made once, in the build folder.
"$RUN" "$BUILD/bin/recording_bench.exe" "Z:$(echo "$BUILD/recording-bench.bin" | tr / '\\')"
WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
say
