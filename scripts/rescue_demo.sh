#!/usr/bin/env bash
# The tape-rescue walk-through of the README, made with tarsk alone (and
# Python for the damage): a tape of two recordings, transferred twice with
# dropouts in different places; each transfer analysed (with its map),
# the first cut into its recordings, and the two merged into one.
#
#   scripts/rescue_demo.sh [TARSK] [DIR]
#
# TARSK is the tarsk program (default build/tools/tarsk/tarsk), DIR where
# the files go (default build/rescue).
set -euo pipefail
tarsk=${1:-build/tools/tarsk/tarsk}
dir=${2:-build/rescue}
mkdir -p "$dir"
rm -f "$dir"/*.dv "$dir"/*.png "$dir"/*.csv

# The tape: an afternoon's two recordings, the time code running on.
"$tarsk" encode --test-pattern bars --duration 6 --timecode 00:10:00:00 \
  --date '2003-07-12 14:02:10' --quiet -o "$dir/rec1.dv"
"$tarsk" encode --test-pattern zoneplate --duration 8 --timecode 00:10:06:00 \
  --date '2003-07-12 16:45:03' --quiet -o "$dir/rec2.dv"
cat "$dir/rec1.dv" "$dir/rec2.dv" >"$dir/tape.dv"

# Two transfers with dropouts: video blocks flagged by the deck, codes
# garbled, sound error-coded, stray bytes; some in the same frames.
python3 - "$dir" <<'PY'
import sys
d = sys.argv[1]
tape = open(d + '/tape.dv', 'rb').read()
F, S = 144000, 12000
def video(f, s, k, m):
    return f * F + s * S + (7 + 16 * (k // 3) + 5 * (k % 3) + m) * 80
def flag(b, f, seqs, segs):
    for s in seqs:
        for k in segs:
            for m in range(5):
                b[video(f, s, k, m) + 3] |= 0x70
def garble(b, f, s, k):
    for m in range(5):
        at = video(f, s, k, m)
        for area in ((4, 18), (18, 32), (32, 46), (46, 60), (60, 70), (70, 80)):
            for i in range(area[0] + 2, area[1]):
                b[at + i] = 0xff
def sound(b, f, s):
    for a in range(9):
        at = f * F + s * S + (6 + 16 * a) * 80 + 8
        b[at:at + 72] = b'\x80\x00' * 36
a = bytearray(tape)
for f in range(40, 46):
    flag(a, f, range(3, 6), range(27))
for f in (200, 201):
    garble(a, f, 8, 4); garble(a, f, 8, 5)
sound(a, 120, 7)
open(d + '/transfer-a.dv', 'wb').write(a[:250 * F] + bytes(300) + a[250 * F:])
b = bytearray(tape)
for f in range(43, 48):
    flag(b, f, range(0, 12, 2), range(0, 27, 2))
for f in range(280, 284):
    flag(b, f, range(6, 12), range(27))
sound(b, 121, 2)
open(d + '/transfer-b.dv', 'wb').write(b)
PY

echo "== tarsk analyze transfer-a.dv --map transfer-a.png"
"$tarsk" analyze "$dir/transfer-a.dv" --map "$dir/transfer-a.png"
if "$tarsk" split --help >/dev/null 2>&1; then
  # tarsk encode writes no recording start flags: cut where the clock jumps.
  echo "== tarsk split transfer-a.dv -o recording-%d.dv --at rec-start,rec-time"
  "$tarsk" split "$dir/transfer-a.dv" -o "$dir/recording-%d.dv" --at rec-start,rec-time
fi
if "$tarsk" merge --help >/dev/null 2>&1; then
  echo "== tarsk merge transfer-a.dv transfer-b.dv -o merged.dv --log merge.csv"
  "$tarsk" merge "$dir/transfer-a.dv" "$dir/transfer-b.dv" -o "$dir/merged.dv" \
    --log "$dir/merge.csv"
  "$tarsk" analyze "$dir/merged.dv" --map "$dir/merged.png"
fi
