#!/bin/sh
# orlavent-inspect on a disk that fills up. A file size limit (ulimit -f)
# makes every write past 64 KiB fail as on a full disk, for any user, in
# any namespace and with nothing mounted. The video cannot be written: the
# run must say so and exit 4, and leave the files it was to replace as they
# were, with no temporary file behind.
#   full_disk_test.sh WINE_RUN INSPECT_EXE WORK_FOLDER
set -u
run=$1 inspect=$2 work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
cd "$work" || exit 1

# 30 complete pictures (369 KB), and outputs from an earlier run.
i=0
while [ $i -lt 30 ]; do
    printf '\377\377\000\377\200\140'
    head -c 12288 /dev/zero
    i=$((i + 1))
done >capture.bin
echo earlier >keep.avi
echo earlier >keep.csv

windows() { echo "Z:$work/$1" | tr / '\\'; }

# Started unlimited first: the Wine server must not run under the limit.
"$run" "$inspect" --help >/dev/null 2>&1
(
    trap '' XFSZ # a write past the limit then fails instead of ending the program
    ulimit -f 128
    exec "$run" "$inspect" --csv "$(windows keep.csv)" --avi "$(windows keep.avi)" "$(windows capture.bin)"
) >out.txt 2>err.txt
code=$?

failed=0
fail() { echo "FAILED: $*"; failed=1; }
[ $code -eq 4 ] || fail "exit code $code, not 4"
grep -q "cannot write .*keep.avi" err.txt || fail "no 'cannot write' for the video: $(cat err.txt)"
[ "$(cat keep.avi)" = earlier ] || fail "keep.avi was changed"
[ "$(cat keep.csv)" = earlier ] || fail "keep.csv was changed"
left=$(ls | grep -v -x -e capture.bin -e keep.avi -e keep.csv -e out.txt -e err.txt)
[ -z "$left" ] || fail "left behind: $left"
[ $failed -eq 0 ] && echo "passed: a full disk is reported and replaces nothing"
exit $failed
