#!/usr/bin/env bash
# Times `tarsk merge` on long transfers: tarsk's own test pattern (625/50,
# time code and recording date) of FRAMES frames, and three damaged copies
# of it that python3 makes: in about 30% of the frames of each copy, 1 to
# 20 video segments flagged as damaged by their status nibble and 0 to 3
# audio blocks whose samples are all error codes, at random places (each
# copy its own seed); the third copy also lacks 50 frames in the middle.
#
# Usage: bench/merge.sh [-n RUNS] [-f FRAMES] [TARSK]
#   -n RUNS    timed runs of each merge (default 3; the best counts)
#   -f FRAMES  frames of the transfer (default 2000, 80 seconds)
#   TARSK      the tool (default build/tools/tarsk/tarsk)
#
# It prints, for two copies into raw DV, three copies into raw DV and two
# copies into Matroska, the best wall-clock time, the frames written per
# second and that as a multiple of real time (25 frames a second), and the
# merge's own account of what is still damaged. The files are read from the
# page cache after the first run: the figures leave the disk out.
set -euo pipefail

runs=3 frames=2000
while getopts n:f: opt; do
  case $opt in
    n) runs=$OPTARG ;;
    f) frames=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
tarsk=${1:-build/tools/tarsk/tarsk}
[ -x "$tarsk" ] || { echo "no tarsk at $tarsk: build it first" >&2; exit 1; }
tarsk=$(cd "$(dirname "$tarsk")" && pwd)/$(basename "$tarsk")
dir=$(mktemp -d "${TMPDIR:-/tmp}/tarsk-merge.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir"

"$tarsk" encode --test-pattern --duration "$(awk -v f="$frames" 'BEGIN { print f / 25 }')" \
  --timecode 10:00:00:00 --date '2024-01-02 03:04:05' --quiet -o clean.dv
python3 - "$frames" <<'EOF'
import random, sys
frames = int(sys.argv[1])
F, SEQ, BLOCK = 144000, 12000, 80
clean = open('clean.dv', 'rb').read()
assert len(clean) == frames * F, 'the test pattern has another length'
for name, seed in (('a.dv', 1), ('b.dv', 2), ('c.dv', 3)):
    data = bytearray(clean)
    rnd = random.Random(seed)
    for f in range(frames):
        if rnd.random() >= 0.3:
            continue
        for _ in range(rnd.randint(1, 20)):   # a video segment's five blocks flagged
            s, k = rnd.randrange(12), rnd.randrange(27)
            at = f * F + s * SEQ + BLOCK * (7 + 16 * (k // 3) + 5 * (k % 3))
            for m in range(5):
                data[at + BLOCK * m + 3] |= 0x70
        for _ in range(rnd.randint(0, 3)):    # an audio block's samples error codes
            s, a = rnd.randrange(12), rnd.randrange(9)
            at = f * F + s * SEQ + BLOCK * (6 + 16 * a) + 8
            data[at:at + 72] = b'\x80\x00' * 36
    if name == 'c.dv':
        middle = frames // 2 * F
        del data[middle:middle + 50 * F]
    open(name, 'wb').write(data)
EOF

printf '| merge | best of %d | frames/s | x real time | still damaged |\n|---|---|---|---|---|\n' "$runs"
measure() {
  local label=$1 out=$2
  shift 2
  local best=
  for ((r = 0; r < runs; r++)); do
    rm -f "$out" log.csv
    local start end
    start=$(date +%s.%N)
    "$tarsk" merge "$@" -o "$out" --log log.csv 2>summary.txt
    end=$(date +%s.%N)
    best=$(awk -v a="$start" -v b="$end" -v best="$best" \
      'BEGIN { t = b - a; if (best == "" || t < best) best = t; printf "%.3f", best }')
  done
  local written
  written=$(($(wc -l <log.csv) - 1))
  local damaged
  damaged=$(grep -o '[0-9]* frames\{0,1\} still damaged' summary.txt | head -1)
  awk -v l="$label" -v t="$best" -v n="$written" -v d="$damaged" \
    'BEGIN { printf "| %s | %.2f s | %.0f | %.1f | %s |\n", l, t, n / t, n / t / 25, d }'
}
measure "2 copies to .dv" out.dv a.dv b.dv
measure "3 copies to .dv" out.dv a.dv b.dv c.dv
measure "2 copies to .mkv" out.mkv a.dv b.dv
