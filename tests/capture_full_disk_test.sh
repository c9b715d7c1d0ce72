#!/bin/sh
# The capture file on a disk that fills up, then on one that stalls, through
# the capture reader against the simulated sensor. A file size limit
# (ulimit -f, in 512-byte blocks) fails every write past 1 MiB as a full
# disk does; C:\1.txt made a pipe that nobody reads takes 64 KB, then holds
# every write, as a stalled disk does. Both work for any user, in any
# namespace and with nothing mounted.
#   capture_full_disk_test.sh WINE_RUN TEST_EXE
set -u
run=$1
test=$2
limit_blocks=2048
status=0
# Started unlimited first: the Wine server and the sensor's driver must not
# run under the limit.
"$run" "$test" --gtest_list_tests >/dev/null 2>&1
(
    trap '' XFSZ # a write past the limit then fails instead of ending the program
    ulimit -f $limit_blocks
    ORLAVENT_FILE_LIMIT=$((limit_blocks * 512)) exec "$run" "$test" --gtest_filter='*OrStalledDisk*'
) || status=1
# Bounded here, so that the pipe never outlives the run and stalls the
# captures of later tests.
pipe="$ORLAVENT_WINEPREFIX/drive_c/1.txt"
rm -f "$pipe" && mkfifo "$pipe" || exit 1
ORLAVENT_STALLED_DISK=1 timeout 60 "$run" "$test" --gtest_filter='*OrStalledDisk*' || status=1
rm -f "$pipe"
exit $status
