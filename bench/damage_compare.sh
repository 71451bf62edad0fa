#!/usr/bin/env bash
# How ffmpeg and tarsk take damaged raw DV files. ffmpeg makes a clean
# 46-frame 625/50 4:2:0 clip (time code 10:00:00:00, recorded 2024-03-04),
# a 20-frame 625/50 clip of another recording and a 10-frame 525/60 4:1:1
# clip; python3 builds one damaged copy per kind of damage: stray bytes
# before or inside frame 11, frame 20 zeroed whole or in part, a DIF
# sequence of frame 20 dropped, the last frame cut short, video blocks of
# frame 20 filled with 0xFF and marked with error status, two recordings
# joined, and 625/50 and 525/60 frames mixed.
#
# Usage: bench/damage_compare.sh [TARSK]
#   TARSK  the tool (default build/tools/tarsk/tarsk)
#
# It prints a Markdown table, one row per file: the frames that have any DIF
# block in the file (known from how it was built); the pictures that
# `ffmpeg -map 0:v -fps_mode passthrough -f framemd5` decodes, and in
# brackets those it writes without -fps_mode (it then drops and repeats
# pictures by their time stamps, which go astray when a 525/60 frame turns
# up); its exit status, the lines it wrote to standard error (their number
# varies from run to run: it decodes slices on several threads and folds
# repeated messages) and the kinds of message; for stray bytes, a zeroed
# frame and a dropped sequence, how many of the clean clip's pictures after
# the damage are among ffmpeg's (matched by MD5 wherever they are: it shows
# whether ffmpeg finds the frames again); then `tarsk info --json`'s
# frame_count, the exit status of `tarsk decode --format null`, and the same
# count of clean pictures after the damage among tarsk's own (its Y4M
# pictures through ffmpeg's framemd5, against tarsk's decode of the clean
# clip). Every program gets 30 seconds; a timeout shows as exit status 124.
set -euo pipefail

tarsk=${1:-build/tools/tarsk/tarsk}
[ -x "$tarsk" ] || { echo "no tarsk at $tarsk: build it first" >&2; exit 1; }
tarsk=$(cd "$(dirname "$tarsk")" && pwd)/$(basename "$tarsk")
dir=$(mktemp -d "${TMPDIR:-/tmp}/tarsk-damage.XXXXXX")
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# clip OUT SIZE RATE PIX_FMT SECONDS [OPTION...]: testsrc2 and a tone; the
# muxer wants sound for every frame, so both streams are cut by time.
clip() {
  local out=$1 size=$2 rate=$3 pix_fmt=$4 seconds=$5
  shift 5
  ffmpeg -hide_banner -v error -nostdin -f lavfi -i "testsrc2=s=$size:r=$rate" \
    -f lavfi -i sine=r=48000 -map 0:v -map 1:a -t "$seconds" -pix_fmt "$pix_fmt" \
    -c:v dvvideo -c:a pcm_s16le -ac 2 "$@" -f dv -y "$out"
}
clip pal.dv 720x576 25 yuv420p 1.84 -timecode 10:00:00:00 \
  -metadata creation_time=2024-03-04T05:06:07
clip pal2.dv 720x576 25 yuv420p 0.8 -timecode 11:30:00:00 \
  -metadata creation_time=2025-06-07T08:09:10
clip ntsc.dv 720x480 30000/1001 yuv411p 0.333667
for f in pal.dv:6624000 pal2.dv:2880000 ntsc.dv:1200000; do
  [ "$(stat -c %s "${f%:*}")" = "${f#*:}" ] || { echo "ffmpeg made a bad ${f%:*}" >&2; exit 1; }
done

# The damaged copies. Each manifest line: name, frames with any DIF block in
# the file, and the first clean frame wholly after the damage when the
# pictures after it are to be matched against the clean decode (else -).
python3 - > manifest <<'EOF'
import random
F, S = 144000, 12000
clean = open("pal.dv", "rb").read()
rng = random.Random(61834)
def out(name, data, present, after="-"):
    open(name + ".dv", "wb").write(data)
    print(name, present, after)
out("clean", clean, 46, 0)
for n in (1, 79, 80, 81, 5000):
    at = 11 * F
    out(f"stray-{n}-at-frame-11", clean[:at] + rng.randbytes(n) + clean[at:], 46, 11)
at = 11 * F + 70000
out("stray-80-inside-frame-11", clean[:at] + rng.randbytes(80) + clean[at:], 46, 12)
out("frame-20-zeroed", clean[:20 * F] + bytes(F) + clean[21 * F:], 45, 21)
at = 20 * F + (F - 20000) // 2
out("20000-zeros-in-frame-20", clean[:at] + bytes(20000) + clean[at + 20000:], 46)
at = 20 * F + 5 * S
out("sequence-5-of-frame-20-dropped", clean[:at] + clean[at + S:], 46, 21)
out("last-frame-cut-short", clean[:45 * F + 70000], 46)
b = bytearray(clean)
for at in range(20 * F + 3 * S, 20 * F + 6 * S, 80):
    if b[at] >> 5 == 4:
        b[at + 3] = 0xF0
        b[at + 4:at + 80] = b"\xff" * 76
out("0xff-error-blocks-in-frame-20", bytes(b), 46)
out("two-recordings-joined", clean + open("pal2.dv", "rb").read(), 66)
out("625-525-625-switch", clean[:10 * F] + open("ntsc.dv", "rb").read() + clean[10 * F:20 * F], 30)
EOF

# md5s FILE: the MD5 of each picture ffmpeg decodes, one a line.
md5s() { grep -v '^#' "$1" | awk -F, '{ gsub(/ /, "", $NF); print $NF }'; }

echo "ffmpeg: $(ffmpeg -version | head -n 1); tarsk: $tarsk"
echo
# tarsk_md5s FILE OUT: the MD5 of each picture tarsk decodes.
tarsk_md5s() {
  (timeout 30 "$tarsk" decode "$1" -o - --quiet 2> /dev/null || :) |
    ffmpeg -hide_banner -nostdin -v quiet -f yuv4mpegpipe -i - -f framemd5 - > "$2" || :
}
tarsk_md5s pal.dv clean.tarsk.md5

echo "| damage | frames present | ffmpeg pictures (without -fps_mode) | ffmpeg exit | ffmpeg stderr lines | clean pictures after the damage in ffmpeg's | ffmpeg's messages | tarsk frame_count | tarsk decode exit | clean pictures after the damage in tarsk's |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |"
while read -r name present after; do
  f=$name.dv
  frc=0
  timeout 30 ffmpeg -hide_banner -nostdin -v error -i "$f" -map 0:v -fps_mode passthrough \
    -f framemd5 - > "$name.md5" 2> "$name.err" || frc=$?
  pictures=$(md5s "$name.md5" | wc -l)
  plain=$( (timeout 30 ffmpeg -hide_banner -nostdin -v quiet -i "$f" -map 0:v -f framemd5 - || :) |
    grep -vc '^#' || :)
  errors=$(wc -l < "$name.err")
  # The kinds of message, in the order of their first appearance.
  kinds=$(sed -E 's/ @ 0x[0-9a-f]+//; s/pos=[0-9]+/pos=N/' "$name.err" |
    awk '!/Last message repeated/ && !seen[$0]++' | paste -sd ';' | sed 's/;/; /g; s/|/\\|/g')
  found=- tarsk_found=-
  if [ "$after" != - ]; then
    md5s clean.md5 | tail -n +$((after + 1)) | sort -u > want
    found="$(md5s "$name.md5" | sort -u | comm -12 - want | wc -l)/$(wc -l < want)"
    tarsk_md5s "$f" "$name.tarsk.md5"
    md5s clean.tarsk.md5 | tail -n +$((after + 1)) | sort -u > want
    tarsk_found="$(md5s "$name.tarsk.md5" | sort -u | comm -12 - want | wc -l)/$(wc -l < want)"
  fi
  irc=0
  timeout 30 "$tarsk" info --json "$f" > "$name.json" 2> "$name.info-err" || irc=$?
  count=$(python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
d = d[0] if isinstance(d, list) else d
print(d.get("frame_count", "no frame_count"))' "$name.json" 2>/dev/null) || count="bad JSON"
  [ $irc = 0 ] || count="$count (exit $irc)"
  drc=0
  timeout 30 "$tarsk" decode "$f" --format null --quiet > /dev/null 2>&1 || drc=$?
  echo "| $name | $present | $pictures ($plain) | $frc | $errors | $found | ${kinds:--} | $count | $drc | $tarsk_found |"
done < manifest
