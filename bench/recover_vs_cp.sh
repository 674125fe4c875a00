#!/bin/sh
# Times the recovery phase of `lumivore-cli recover` on a sample card image against `cp` of a
# file with the same number of bytes into the same folder, and prints the ratio of one run.
#
# Usage: bench/recover_vs_cp.sh [BUILD_DIR] [SIZE_MB] [WORK_DIR]
#   BUILD_DIR  where lumivore-cli was built (default: build)
#   SIZE_MB    size of the sample card image (default: 1024)
#   WORK_DIR   folder for the image and the written files (default: a fresh folder under
#              $TMPDIR or /tmp, removed at the end); put it on tmpfs or on a disk as wanted
#
# Both sides read from the page cache (the image is read once before) and both flush what they
# wrote: recovery fsyncs every file it writes, so `cp` is followed by `sync` of its copy.
set -eu

BUILD=${1:-build}
SIZE_MB=${2:-1024}
CLI=$BUILD/lumivore-cli
[ -x "$CLI" ] || { echo "recover_vs_cp: $CLI not found; build lumivore-cli first" >&2; exit 2; }

if [ $# -ge 3 ]; then
    WORK=$3
    mkdir -p "$WORK"
    CLEAN=""
else
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/lumivore-bench.XXXXXX")
    CLEAN=$WORK
fi
cleanup() { [ -n "$CLEAN" ] && rm -rf "$CLEAN"; return 0; }
trap cleanup EXIT

export LUMIVORE_CONFIG="$WORK/settings.xml"
now() { date +%s.%N; }

echo "writing a $SIZE_MB MB sample card image in $WORK ($(df -h --output=fstype "$WORK" | tail -1 | tr -d ' '))"
"$CLI" demo --to "$WORK/card" --size-mb "$SIZE_MB" --card-only --quiet >/dev/null
IMAGE="$WORK/card/sample-card.img"
cat "$IMAGE" >/dev/null

rm -rf "$WORK/recovered"
OUT=$("$CLI" recover "$IMAGE" --to "$WORK/recovered" --quiet)
echo "$OUT"
BYTES=$(echo "$OUT" | sed -n 's/.*; \([0-9]*\) bytes written.*/\1/p')
REC_S=$(echo "$OUT" | sed -n 's/^recovery took \([0-9.]*\) s.*/\1/p')
[ -n "$BYTES" ] && [ -n "$REC_S" ] || { echo "recover_vs_cp: cannot read the recovery summary" >&2; exit 1; }

# The same number of bytes, from the cached image, as one source file for cp.
head -c "$BYTES" "$IMAGE" >"$WORK/cp-source.bin"
cat "$WORK/cp-source.bin" >/dev/null
rm -f "$WORK/cp-copy.bin"
T0=$(now)
cp "$WORK/cp-source.bin" "$WORK/cp-copy.bin"
sync "$WORK/cp-copy.bin"
T1=$(now)

awk -v bytes="$BYTES" -v rec="$REC_S" -v t0="$T0" -v t1="$T1" 'BEGIN {
    mb = bytes / 1048576; cp = t1 - t0
    printf "recovery: %.1f MB in %.3f s = %.1f MB/s\n", mb, rec, mb / rec
    printf "cp:       %.1f MB in %.3f s = %.1f MB/s\n", mb, cp, mb / cp
    printf "ratio recovery/cp (MB/s): %.2f\n", (mb / rec) / (mb / cp)
}'
