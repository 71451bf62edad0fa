#!/usr/bin/env bash
# Times `tarsk analyze` on a long transfer against real time (25 frames a
# second in 625/50): every frame inspected (packs read, every video
# segment parsed, every audio block checked; no picture decoded), the
# summary printed and the map drawn. bench/split_speed.sh and
# bench/merge.sh time the other two commands for tapes.
#
#   bench/analyze_speed.sh [-n RUNS] [-b BUILD_DIR] [-d DATA_DIR] [-s SECONDS]
#
#   -n RUNS       timed runs of each command (default 3; the median is kept)
#   -b BUILD_DIR  optimised build with the tarsk program (default build-release)
#   -d DATA_DIR   where the files are made and kept
#                 (default ${TMPDIR:-/tmp}/tarsk-analyze)
#   -s SECONDS    length of the transfer (default 120: 3000 frames)
#
# The transfer is tarsk's own zone plate test pattern (every segment full
# of codes) with a tone, made once by `tarsk encode --test-pattern`, with
# every 50th frame's fifth DIF sequence flagged by its status nibbles. Each
# time is the wall time of the whole process, the file in the page cache,
# one thread.
set -euo pipefail
runs=3 build=build-release data=${TMPDIR:-/tmp}/tarsk-analyze seconds=120
while getopts "n:b:d:s:" o; do
  case $o in
    n) runs=$OPTARG ;; b) build=$OPTARG ;; d) data=$OPTARG ;; s) seconds=$OPTARG ;;
    *) exit 2 ;;
  esac
done
tarsk=$build/tools/tarsk/tarsk
mkdir -p "$data"
file=$data/tape-$seconds.dv
[ -s "$file" ] || "$tarsk" encode --test-pattern=zoneplate --duration="$seconds" -o "$file" 2>/dev/null
frames=$(( $(stat -c %s "$file") / 144000 ))

# Every 50th frame's DIF sequence 4 flagged.
[ -s "$data/damaged.dv" ] || python3 - "$file" "$data/damaged.dv" <<'PY'
import sys
b = bytearray(open(sys.argv[1], 'rb').read())
F = 144000
for f in range(0, len(b) // F, 50):
    for k in range(27):
        for m in range(5):
            b[f * F + 4 * 12000 + (7 + 16 * (k // 3) + 5 * (k % 3) + m) * 80 + 3] |= 0x70
open(sys.argv[2], 'wb').write(b)
PY

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
measure() {  # name, command...
  local name=$1; shift
  cat "$data/damaged.dv" >/dev/null
  local t
  t=$(for _ in $(seq "$runs"); do
        /usr/bin/time -f %e "$@" >/dev/null 2>"$data/time.txt" || { cat "$data/time.txt" >&2; exit 1; }
        tail -1 "$data/time.txt"
      done | median)
  awk -v n="$name" -v t="$t" -v f="$frames" \
    'BEGIN { printf "%-22s %6.2f s  %7.0f frames/s  %5.1fx real time\n", n, t, f / t, f / t / 25 }'
}
echo "$frames frames of 625/50 ($seconds s), median of $runs runs"
measure "analyze" "$tarsk" analyze "$data/damaged.dv"
measure "analyze --map" "$tarsk" analyze "$data/damaged.dv" -y --map "$data/map.png"
