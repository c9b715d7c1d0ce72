#!/bin/sh
# Runs the benchmarks under Wine against the simulated sensor.
#   BENCH_SECONDS  length of the streaming run (default 60)
set -eu
BUILD="$(cd "${1:-build}" && pwd)"
export ORLAVENT_WINEPREFIX="$BUILD/wineprefix"
RUN="$(dirname "$0")/wine-run.sh"
"$RUN" "$BUILD/bin/protocol_bench.exe"
"$RUN" "$BUILD/bin/capture_bench.exe" "${BENCH_SECONDS:-60}"
WINEPREFIX="$BUILD/wineprefix" wineserver -k 2>/dev/null || true
