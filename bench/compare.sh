#!/usr/bin/env bash
# Times whole-file video decoding by tarsk (bench/decode_file.cpp) against
# ffmpeg's DV decoder on one thread, on a 625/50 4:2:0 file and a 525/60
# 4:1:1 file of 400 frames each.
#
#   bench/compare.sh [-n RUNS] [-b BUILD_DIR] [-d DATA_DIR] [-a] [-p PHOTO]... [FILE.dv...]
#
#   -n RUNS       timed runs of each program per file (default 5)
#   -b BUILD_DIR  optimised build of tarsk's driver (default build-release)
#   -d DATA_DIR   where the files are made and kept
#                 (default ${TMPDIR:-/tmp}/tarsk-compare)
#   -a            also footage of other kinds, in 625/50 4:2:0, 625/50 4:1:1
#                 and 525/60 4:1:1: ffmpeg's mandelbrot (smooth gradients
#                 and fine filaments, zooming), life (hard-edged cells on a
#                 flat ground) and cellauto (a scrolling automaton)
#   -p PHOTO      also natural footage: a camera pan across a photograph
#                 (any picture ffmpeg reads, at least 1920 pixels wide once
#                 scaled; e.g. the nature photographs of Debian's
#                 mate-backgrounds package), in 625/50 4:2:0 and 525/60 4:1:1;
#                 may be given more than once
#
# Without file arguments the script makes the files with ffmpeg (once; it
# reuses them while they have the right size). The main two files' content
# is ffmpeg's
# testsrc2 pattern with grain added by the noise filter
# (noise=alls=20:allf=t+u: uniform noise of strength 20, new in every frame,
# on all planes): flat areas, sharp edges, moving parts and the fine
# sensor-like detail of camera footage, which keeps the encoder's segments
# full and many AC coefficients in every block, as real material does.
# Each file carries 48 kHz stereo audio, as DV files do.
#
# The runs alternate between the programs, so that a slow spell of the
# machine hits all of them alike. Each time is the wall time of the whole
# process, start-up and file reading included, for both programs. ffmpeg
# decodes into its native planar pictures and hands them to the null
# muxer; tarsk decodes at its best quality into planes at the stream's own
# sampling too, with the accurate reconstruction (its default) and with the
# specified one (--reference). ffmpeg runs twice a round: as
# `ffmpeg -threads 1 -i FILE -f null -`, which decodes the audio too, and
# with -an, which decodes the video only, as tarsk's driver does. The ratios
# printed are medians over the runs of ffmpeg's time divided by tarsk's:
# above 1 tarsk is the faster.
set -euo pipefail

runs=5
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-release"
data="${TMPDIR:-/tmp}/tarsk-compare"

usage() {
  echo "usage: bench/compare.sh [-n RUNS] [-b BUILD_DIR] [-d DATA_DIR] [-a] [-p PHOTO]... [FILE.dv...]" >&2
  exit 2
}

all=0
photos=()
while getopts "n:b:d:ap:h" opt; do
  case $opt in
    p) photos+=("$OPTARG") ;;
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    d) data=$OPTARG ;;
    a) all=1 ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage

# The driver, built with -O2 and without the test suites.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DTARSK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target tarsk_decode_file -j "$(nproc)" >/dev/null
driver=("$build/bench/tarsk_decode_file" --color native)

frames=400

# make_file OUT SIZE RATE PIX_FMT FRAME_BYTES [SOURCE]: 400 frames of the
# content (SOURCE: a lavfi source taking size and rate, default the grainy
# testsrc2).
make_file() {
  local out=$1 size=$2 rate=$3 pix_fmt=$4 frame_bytes=$5
  local source=${6:-"testsrc2=size=$size:rate=$rate,noise=alls=20:allf=t+u"}
  local input=(-f lavfi -i "$source") filter=()
  # A photograph: scaled to 1920 pixels across and panned over, right and
  # down, as a camera would.
  if [[ -n ${7:-} ]]; then
    local w=${size%x*} h=${size#*x}
    input=(-loop 1 -framerate "$rate" -i "$7")
    filter=(-vf "scale=1920:-2,crop=$w:$h:x='min(in_w-$w,t*120)':y='min(in_h-$h,t*40)'")
  fi
  if [[ -f $out && $(stat -c %s "$out") -eq $((frames * frame_bytes)) ]]; then
    return
  fi
  echo "making $out" >&2
  # The muxer wants audio for every frame: cut both streams at the end of
  # the last frame.
  local duration
  duration=$(awk -v n="$frames" -v r="$rate" 'BEGIN { split(r, f, "/"); d = f[2] ? f[2] : 1;
    printf "%.6f", n * d / f[1] }')
  ffmpeg -hide_banner -loglevel error -nostdin \
    "${input[@]}" \
    -f lavfi -i "sine=sample_rate=48000" -map 0:v -map 1:a -t "$duration" "${filter[@]}" \
    -c:v dvvideo -pix_fmt "$pix_fmt" -c:a pcm_s16le -ac 2 -f dv -y "$out"
  if [[ $(stat -c %s "$out") -ne $((frames * frame_bytes)) ]]; then
    echo "ffmpeg did not make $frames frames in $out" >&2
    exit 1
  fi
}

files=("$@")
if [[ ${#files[@]} -eq 0 ]]; then
  mkdir -p "$data"
  make_file "$data/pal420.dv" 720x576 25 yuv420p 144000
  make_file "$data/ntsc411.dv" 720x480 30000/1001 yuv411p 120000
  files=("$data/pal420.dv" "$data/ntsc411.dv")
  if ((all)); then
    for kind in mandelbrot life cellauto; do
      for format in pal420 pal411 ntsc411; do
        case $format in
          pal420) size=720x576 rate=25 pix_fmt=yuv420p bytes=144000 ;;
          pal411) size=720x576 rate=25 pix_fmt=yuv411p bytes=144000 ;;
          ntsc411) size=720x480 rate=30000/1001 pix_fmt=yuv411p bytes=120000 ;;
        esac
        case $kind in
          mandelbrot) source="mandelbrot=size=$size:rate=$rate" ;;
          life) source="life=size=$size:rate=$rate:mold=10:ratio=0.1:life_color=#00ff00:death_color=#c83232:mold_color=#204060" ;;
          cellauto) source="cellauto=size=$size:rate=$rate:rule=110:random_fill_ratio=0.5:scroll=1" ;;
        esac
        make_file "$data/$kind-$format.dv" "$size" "$rate" "$pix_fmt" "$bytes" "$source"
        files+=("$data/$kind-$format.dv")
      done
    done
  fi
  for photo in "${photos[@]}"; do
    name=$(basename "${photo%.*}")
    make_file "$data/$name-pal420.dv" 720x576 25 yuv420p 144000 "" "$photo"
    make_file "$data/$name-ntsc411.dv" 720x480 30000/1001 yuv411p 120000 "" "$photo"
    files+=("$data/$name-pal420.dv" "$data/$name-ntsc411.dv")
  done
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

ffmpeg_null=(ffmpeg -hide_banner -loglevel error -nostdin -threads 1)

compare() {
  local file=$1
  echo
  echo "$file ($(($(stat -c %s "$file") / 1000)) kB)"
  # One untimed round brings the file into the page cache.
  seconds "${driver[@]}" "$file" >/dev/null
  seconds "${ffmpeg_null[@]}" -i "$file" -f null - >/dev/null
  local format='%6s %7s %7s %7s %10s %9s %8s %7s %9s %8s\n'
  printf "$format" run tarsk ref ffmpeg "ffmpeg -an" "ratio -an" "ref -an" "ratio" "tarsk -t2" "scaling"
  local ours=() ref=() theirs=() video=() ratio=() ratio_an=() ref_an=() two=() scaling=()
  for ((i = 1; i <= runs; i++)); do
    local t_ours t_ref t_theirs t_video t_two
    t_ours=$(seconds "${driver[@]}" --threads 1 "$file")
    t_theirs=$(seconds "${ffmpeg_null[@]}" -i "$file" -f null -)
    t_ref=$(seconds "${driver[@]}" --reference --threads 1 "$file")
    t_video=$(seconds "${ffmpeg_null[@]}" -i "$file" -an -f null -)
    t_two=$(seconds "${driver[@]}" --threads 2 "$file")
    ours+=("$t_ours")
    ref+=("$t_ref")
    theirs+=("$t_theirs")
    video+=("$t_video")
    two+=("$t_two")
    ratio+=("$(awk -v a="$t_theirs" -v b="$t_ours" 'BEGIN { printf "%.3f", a / b }')")
    ratio_an+=("$(awk -v a="$t_video" -v b="$t_ours" 'BEGIN { printf "%.3f", a / b }')")
    ref_an+=("$(awk -v a="$t_video" -v b="$t_ref" 'BEGIN { printf "%.3f", a / b }')")
    scaling+=("$(awk -v a="$t_ours" -v b="$t_two" 'BEGIN { printf "%.3f", a / b }')")
    printf "$format" "$i" "$t_ours" "$t_ref" "$t_theirs" "$t_video" "${ratio_an[-1]}" \
      "${ref_an[-1]}" "${ratio[-1]}" "$t_two" "${scaling[-1]}"
  done
  local m=()
  for list in ours ref theirs video ratio_an ref_an ratio two scaling; do
    local -n values=$list
    m+=("$(printf '%s\n' "${values[@]}" | median)")
  done
  printf "$format" median "${m[@]}"
  echo "speed relative to ffmpeg -threads 1 -an (median ratio of times): accurate ${m[4]}," \
    "specified (--reference) ${m[5]}; accurate against video and audio decoding ${m[6]};" \
    "--threads 2 against --threads 1: ${m[8]}"
}

echo "tarsk: ${driver[*]} (quality 5; the accurate reconstruction, ref: the specified one);" \
  "ffmpeg: $(ffmpeg -version | head -n 1)"
echo "times in seconds, $runs runs"
for file in "${files[@]}"; do
  compare "$file"
done
