#!/bin/sh
# orlavent-inspect on a disk that fills up. A file size limit (ulimit -f)
# makes every write past 64 KiB fail as on a full disk, for any user, in
# any namespace and with nothing mounted. The video cannot be written: the
# run must say so and exit 4, and leave the files it was to replace as they
# were (the pictures written before the video failed included), with no
# temporary file and no folder of its own behind.
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
mkdir pictures && echo earlier >pictures/picture-000001.png

windows() { echo "Z:$work/$1" | tr / '\\'; }

# Started unlimited first: the Wine server must not run under the limit.
"$run" "$inspect" --help >/dev/null 2>&1
(
    trap '' XFSZ # a write past the limit then fails instead of ending the program
    ulimit -f 128
    exec "$run" "$inspect" --csv "$(windows keep.csv)" --avi "$(windows keep.avi)" --png "$(windows pictures)" \
        "$(windows capture.bin)"
) >out.txt 2>err.txt
code=$?
# The same with pictures for a folder that does not exist yet.
(
    trap '' XFSZ
    ulimit -f 128
    exec "$run" "$inspect" --avi "$(windows keep.avi)" --png "$(windows new-pictures)" "$(windows capture.bin)"
) >out2.txt 2>err2.txt
code2=$?

failed=0
fail() { echo "FAILED: $*"; failed=1; }
[ $code -eq 4 ] || fail "exit code $code, not 4"
grep -q "cannot write .*keep.avi" err.txt || fail "no 'cannot write' for the video: $(cat err.txt)"
[ "$(cat keep.avi)" = earlier ] || fail "keep.avi was changed"
[ "$(cat keep.csv)" = earlier ] || fail "keep.csv was changed"
[ "$(cat pictures/picture-000001.png)" = earlier ] || fail "pictures/picture-000001.png was changed"
[ "$(ls pictures)" = picture-000001.png ] || fail "pictures/ holds more than before: $(ls pictures | tr '\n' ' ')"
[ $code2 -eq 4 ] || fail "exit code $code2, not 4, with a new picture folder"
left=$(ls | grep -v -x -e capture.bin -e keep.avi -e keep.csv -e pictures -e out.txt -e err.txt -e out2.txt -e err2.txt)
[ -z "$left" ] || fail "left behind: $left"
[ $failed -eq 0 ] && echo "passed: a full disk is reported and replaces nothing"
exit $failed
