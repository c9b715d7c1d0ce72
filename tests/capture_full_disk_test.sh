#!/bin/sh
# The capture file on a disk that fills up, through the capture reader
# against the simulated sensor. A file size limit (ulimit -f,
# in 512-byte blocks) fails every write past 1 MiB as a full disk does, for
# any user, in any namespace and with nothing mounted.
#   capture_full_disk_test.sh WINE_RUN TEST_EXE...
set -u
run=$1
shift
limit_blocks=2048
status=0
for test in "$@"; do
    # Started unlimited first: the Wine server and the sensor's driver must
    # not run under the limit.
    "$run" "$test" --gtest_list_tests >/dev/null 2>&1
    (
        trap '' XFSZ # a write past the limit then fails instead of ending the program
        ulimit -f $limit_blocks
        ORLAVENT_FILE_LIMIT=$((limit_blocks * 512)) exec "$run" "$test" --gtest_filter='*FullDisk*'
    ) || status=1
done
exit $status
