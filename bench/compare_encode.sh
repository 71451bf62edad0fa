#!/usr/bin/env bash
# Times whole-file encoding by `tarsk encode` against ffmpeg's DV encoder on
# one thread, from the same Y4M files on disk: a 625/50 4:2:0 file and a
# 525/60 4:1:1 file of 200 pictures each.
#
#   bench/compare_encode.sh [-n RUNS] [-b BUILD_DIR] [-d DATA_DIR] [-a] [-q QUALITY] [-p PHOTO]
#
#   -n RUNS       timed runs of each program per file (default 5)
#   -b BUILD_DIR  optimised build of the tool (default build-release)
#   -d DATA_DIR   where the inputs are made and kept, and the outputs
#                 written (default ${TMPDIR:-/tmp}/tarsk-compare-encode)
#   -a            also ffmpeg's mandelbrot (smooth gradients, fine
#                 filaments) in both systems
#   -q QUALITY    tarsk's --quality: standard (default) or best
#   -p PHOTO      also natural footage: a camera pan across the picture
#                 PHOTO (e.g. Debian mate-backgrounds' nature/Garden.jpg),
#                 in both systems
#
# The main inputs are ffmpeg's testsrc2 pattern with grain
# (noise=alls=20:allf=t+u), which keeps every segment full as camera
# footage does. They are made once as files, so that neither encoder pays
# for making the pictures. Both encoders run with their default settings
# (tarsk: three passes, searched quantisers, DCT mode per block; -q best its
# search by rate and distortion) and write
# a DV file of video only. ffmpeg is given -threads 1 twice: before -i it
# holds the input's decoder to one thread, and only after it the DV
# encoder, which otherwise encodes slices on several threads. The runs alternate between `tarsk encode
# --threads 1`, `ffmpeg -threads 1 -c:v dvvideo` and `tarsk encode
# --threads 2`; each time is the wall time of the whole process. The
# table gives every time, their medians, and the medians of ffmpeg's time
# over tarsk's (above 1 tarsk is the faster) and of tarsk's one-thread
# time over its two-thread time.
set -euo pipefail

runs=5
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-release"
data="${TMPDIR:-/tmp}/tarsk-compare-encode"

usage() {
  echo "usage: bench/compare_encode.sh [-n RUNS] [-b BUILD_DIR] [-d DATA_DIR] [-a] [-q QUALITY] [-p PHOTO]" >&2
  exit 2
}

all=0
quality=standard
photo=
while getopts "n:b:d:aq:p:h" opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    d) data=$OPTARG ;;
    a) all=1 ;;
    q) quality=$OPTARG ;;
    p) photo=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $# -eq 0 && $runs =~ ^[1-9][0-9]*$ && $quality =~ ^(standard|best)$ ]] || usage
[[ -z $photo || -f $photo ]] || usage

# The tool, built with -O2 and without the test suites.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DTARSK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tarsk_tool -j "$(nproc)" >/dev/null
tarsk="$build/tools/tarsk/tarsk"

frames=200

# make_input OUT SIZE RATE PIX_FMT SOURCE: 200 pictures of a lavfi source
# as Y4M (kept while it has the right size).
make_input() {
  local out=$1 size=$2 rate=$3 pix_fmt=$4 source=$5
  local w=${size%x*} h=${size#*x}
  local bytes=$((w * h * 3 / 2)) # a picture's samples, 4:2:0 and 4:1:1 alike
  if [[ -f $out ]] && (($(stat -c %s "$out") > frames * bytes)); then
    return
  fi
  echo "making $out" >&2
  if [[ $source == photo:* ]]; then
    # A pan across the photograph: 120 samples a second to the right, 40
    # down, at a width of 1920.
    ffmpeg -hide_banner -loglevel error -nostdin -loop 1 -framerate "$rate" -i "${source#photo:}" \
      -vf "scale=1920:-2,crop=$w:$h:x='min(in_w-$w,t*120)':y='min(in_h-$h,t*40)'" \
      -frames:v "$frames" -pix_fmt "$pix_fmt" -f yuv4mpegpipe -y "$out"
  else
    ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i "$source" -frames:v "$frames" \
      -pix_fmt "$pix_fmt" -f yuv4mpegpipe -y "$out"
  fi
}

mkdir -p "$data"
inputs=()
add() { # NAME SIZE RATE PIX_FMT SOURCE
  make_input "$data/$1.y4m" "$2" "$3" "$4" "$5"
  inputs+=("$data/$1.y4m")
}
add pal420 720x576 25 yuv420p "testsrc2=size=720x576:rate=25,noise=alls=20:allf=t+u"
add ntsc411 720x480 30000/1001 yuv411p \
  "testsrc2=size=720x480:rate=30000/1001,noise=alls=20:allf=t+u"
if ((all)); then
  add mandelbrot-pal420 720x576 25 yuv420p "mandelbrot=size=720x576:rate=25"
  add mandelbrot-ntsc411 720x480 30000/1001 yuv411p "mandelbrot=size=720x480:rate=30000/1001"
fi
if [[ -n $photo ]]; then
  name=$(basename "${photo%.*}")
  add "$name-pal420" 720x576 25 yuv420p "photo:$photo"
  add "$name-ntsc411" 720x480 30000/1001 yuv411p "photo:$photo"
fi

# seconds CMD...: the wall time of a command, which must succeed.
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || {
    echo "failed: $*" >&2
    exit 1
  }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

out="$data/out.dv"
ours() { seconds "$tarsk" encode "$1" -y -o "$out" --quiet --quality "$quality" --threads "$2"; }
theirs() {
  seconds ffmpeg -hide_banner -loglevel error -nostdin -threads 1 -i "$1" -threads 1 -c:v dvvideo \
    -f dv -y "$out"
}

compare() {
  local input=$1
  echo
  echo "$input ($frames pictures)"
  # One untimed round brings the input into the page cache.
  ours "$input" 1 >/dev/null
  theirs "$input" >/dev/null
  printf '%6s %10s %10s %10s %12s %12s\n' run "tarsk -t1" ffmpeg "tarsk -t2" "ffmpeg/t1" "t1/t2"
  local one=() ff=() two=() speed=() scaling=()
  for ((i = 1; i <= runs; i++)); do
    local t1 tf t2
    t1=$(ours "$input" 1)
    tf=$(theirs "$input")
    t2=$(ours "$input" 2)
    one+=("$t1") ff+=("$tf") two+=("$t2")
    speed+=("$(ratio "$tf" "$t1")") scaling+=("$(ratio "$t1" "$t2")")
    printf '%6d %10s %10s %10s %12s %12s\n' "$i" "$t1" "$tf" "$t2" "${speed[-1]}" "${scaling[-1]}"
  done
  printf '%6s %10s %10s %10s %12s %12s\n' median "$(printf '%s\n' "${one[@]}" | median)" \
    "$(printf '%s\n' "${ff[@]}" | median)" "$(printf '%s\n' "${two[@]}" | median)" \
    "$(printf '%s\n' "${speed[@]}" | median)" "$(printf '%s\n' "${scaling[@]}" | median)"
}

if [[ $quality == best ]]; then
  what="--quality best (rate-distortion search over each segment)"
else
  what="(3 passes, searched qno, DCT mode per block)"
fi
echo "tarsk: $tarsk encode $what;" \
  "ffmpeg: $(ffmpeg -version | head -n 1), -c:v dvvideo"
echo "times in seconds, $runs runs; ffmpeg/t1 above 1: tarsk on one thread is the faster"
for input in "${inputs[@]}"; do
  compare "$input"
done
