#!/usr/bin/env bash
# Times `tarsk split` on a transfer of 3000 625/50 frames (two minutes of
# tape at 25 frames a second): three recordings of the encoder's test
# pattern, the second at 16:9, each a day of the recording clock after the
# one before, so that `--at all` cuts it in three. It measures the listing
# alone (--dry-run, one pass that reads every frame's headers), a whole
# split into raw DV (that pass, then the input's bytes copied into the
# pieces) and one into Matroska (that pass, then every frame's sound
# decoded for the PCM track), one thread each, and prints frames per second
# and how many times real time that is.
#
#   bench/split_speed.sh [-n RUNS] [-b BUILD_DIR] [-d DATA_DIR]
#
#   -n RUNS       timed runs of each (default 3); the best one counts
#   -b BUILD_DIR  the build whose tarsk runs (default build-release)
#   -d DATA_DIR   where the transfer is made and kept, and the pieces
#                 written (default ${TMPDIR:-/tmp}/tarsk-split)
#
# Each time is the wall time of the whole process, start-up and file
# reading included; the transfer is read once before the runs so that it
# comes from the page cache for all of them.
set -euo pipefail

runs=3
build=build-release
data=${TMPDIR:-/tmp}/tarsk-split
while getopts n:b:d: opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    d) data=$OPTARG ;;
    *) sed -n '/^#   bench/,/^$/p' "$0" >&2; exit 2 ;;
  esac
done
tarsk=$build/tools/tarsk/tarsk
[ -x "$tarsk" ] || { echo "no $tarsk: build it first" >&2; exit 2; }

frames=3000
mkdir -p "$data"
transfer=$data/transfer.dv
if [ "$(stat -c %s "$transfer" 2>/dev/null || echo 0)" != $((frames * 144000)) ]; then
  "$tarsk" encode --test-pattern --duration 40 --date '2020-05-01 10:00:00' \
    --timecode 01:00:00:00 --quiet --threads 2 -o "$data/rec1.dv"
  "$tarsk" encode --test-pattern=ramp --duration 40 --date '2020-05-02 10:00:00' \
    --timecode 02:00:00:00 --wide --quiet --threads 2 -o "$data/rec2.dv"
  "$tarsk" encode --test-pattern=zoneplate --duration 40 --date '2020-05-03 10:00:00' \
    --timecode 03:00:00:00 --quiet --threads 2 -o "$data/rec3.dv"
  cat "$data/rec1.dv" "$data/rec2.dv" "$data/rec3.dv" > "$transfer"
  rm "$data/rec1.dv" "$data/rec2.dv" "$data/rec3.dv"
fi
cat "$transfer" > /dev/null

# The best wall time of `runs` runs of the command, in seconds.
best() {
  local best_time=
  for ((i = 0; i < runs; ++i)); do
    rm -rf "$data/pieces"
    mkdir "$data/pieces"
    local start end
    start=$(date +%s.%N)
    "$@" > /dev/null
    end=$(date +%s.%N)
    best_time=$(echo "$start $end ${best_time:-}" |
      awk '{t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3}')
  done
  echo "$best_time"
}

report() {
  awk -v name="$1" -v t="$2" -v n=$frames \
    'BEGIN { printf "%-28s %7.3f s  %7.0f frames/s  %6.1fx real time\n", name, t, n / t, n / t / 25 }'
}

report "split --dry-run --at all" "$(best "$tarsk" split "$transfer" -o "$data/pieces/p%d.dv" --at all --dry-run)"
report "split --at all (raw DV)" "$(best "$tarsk" split "$transfer" -o "$data/pieces/p%d.dv" --at all)"
pieces=$(ls "$data/pieces" | wc -l)
joined=$(mktemp "$data/joined.XXXXXX")
cat "$data"/pieces/p1.dv "$data"/pieces/p2.dv "$data"/pieces/p3.dv > "$joined"
report "split --at all (Matroska)" "$(best "$tarsk" split "$transfer" -o "$data/pieces/p%d.mkv" --at all)"
cmp -s "$joined" "$transfer" || { echo "the raw pieces joined differ from the transfer" >&2; exit 1; }
echo "($pieces raw pieces, joined the transfer byte for byte)"
rm -rf "$data/pieces" "$joined"
