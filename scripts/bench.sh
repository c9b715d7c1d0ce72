#!/bin/sh
# Runs the benchmarks under Wine against the simulated sensor.
#   bench.sh BUILD          every benchmark
#   bench.sh BUILD rates    the highest stream rate with nothing dropped
#   BENCH_SECONDS  length of the streaming run (default 60), or of each
#                  rate step (default 20)
set -eu
BUILD="$(cd "${1:-build}" && pwd)"
export ORLAVENT_WINEPREFIX="$BUILD/wineprefix"
RUN="$(dirname "$0")/wine-run.sh"
echo "load: $(uptime)"
if [ "${2:-}" = rates ]; then
    "$RUN" "$BUILD/bin/capture_bench.exe" rates "${BENCH_SECONDS:-20}"
    WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
    exit 0
fi
"$RUN" "$BUILD/bin/protocol_bench.exe"
"$RUN" "$BUILD/bin/capture_bench.exe" "${BENCH_SECONDS:-60}"
# The inspector's capture file (about 200 MB) is made once, in the build folder.
"$RUN" "$BUILD/bin/recording_bench.exe" "Z:$(echo "$BUILD/recording-bench.bin" | tr / '\\')"
WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
