#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, makes their seed
# corpora with ffmpeg, and runs them.
#
#   scripts/fuzz.sh build     build the targets into build-fuzz/
#   scripts/fuzz.sh seeds     build, and make the seed corpora
#   scripts/fuzz.sh regress   build, and run every target once over its
#                             saved reproducers in fuzz/regressions/<target>/
#   scripts/fuzz.sh smoke     all of the above, then fuzz each target for
#                             FUZZ_SECONDS (default 10) seconds
#   scripts/fuzz.sh long      the same for FUZZ_SECONDS (default 3600)
#
# Target names after the mode restrict it to those targets, e.g.
# `scripts/fuzz.sh smoke fuzz_video`. The corpus of each target,
# build-fuzz/corpus/<target>/, starts as the generated seeds and keeps what
# the runs add; inputs that crash land in build-fuzz/artifacts/<target>/.
# Every run prints its executions, executions per second and coverage; the
# script exits non-zero when a reproducer fails or a run finds a crash,
# timeout or memory exhaustion.
#
# Environment: FUZZ_SECONDS, FUZZ_RUNS (stop a run after that many
# executions, if it comes first), CXX (default clang++), BUILD_FUZZ
# (default build-fuzz), FUZZ_JOBS (parallel compilations, default nproc),
# FUZZ_PARALLEL (targets fuzzed at once, default nproc).
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=${BUILD_FUZZ:-build-fuzz}
CXX=${CXX:-clang++}
JOBS=${FUZZ_JOBS:-$(nproc)}
TARGETS_ALL=(fuzz_header fuzz_video fuzz_audio fuzz_reader fuzz_tool fuzz_encode fuzz_segment
             fuzz_picture fuzz_sound fuzz_analyze fuzz_merge)
# fuzz_tool runs the tarsk command's own code in its process; fuzz_picture
# and fuzz_sound its picture and sound readers, fuzz_analyze `tarsk
# analyze`, fuzz_merge the heart of `tarsk merge`.
TOOL_TARGETS=(fuzz_tool fuzz_picture fuzz_sound fuzz_analyze fuzz_merge)
TOOL_SOURCES=(tools/tarsk/cli.cpp tools/tarsk/container.cpp tools/tarsk/damage.cpp tools/tarsk/md5.cpp
              tools/tarsk/decode.cpp tools/tarsk/encode.cpp tools/tarsk/formats.cpp
              tools/tarsk/info.cpp tools/tarsk/output.cpp tools/tarsk/progress.cpp tools/tarsk/remux.cpp
              tools/tarsk/picture.cpp tools/tarsk/input.cpp tools/tarsk/audio_in.cpp
              tools/tarsk/test_source.cpp tools/tarsk/transfer.cpp tools/tarsk/analyze.cpp
              tools/tarsk/merge.cpp tools/tarsk/merge_core.cpp tools/tarsk/tape_sound.cpp)
MAX_LEN=288000  # two 625/50 frames

CXXFLAGS=(-std=c++20 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -g -O1
          -fno-omit-frame-pointer -ffp-contract=off -DTARSK_FAST_KERNELS=1 -Iinclude -Isrc -Itests
          -Ifuzz -Itools/tarsk -DTARSK_WITH_AVFORMAT=1 $(pkg-config --cflags libpng libjpeg sndfile soxr libavformat))

# Comparison tracing (part of -fsanitize=fuzzer) lets the fuzzer solve the
# comparisons of parsing; in the arithmetic of reconstruction and pixel
# output it finds nothing to solve and slows whole-frame decoding about
# 2.5 times, so those directories are built without it. Their edges still
# count as coverage.
NO_CMP_TRACE=(src/common/dct src/common/quant src/common/weighting src/dsp/ src/decode/output/)
# The encoder's quantiser search and code lists are the same kind of
# arithmetic, run over every block several times a frame.
# So is the tool's chroma resampling.
NO_CMP_TRACE+=(src/encode/ src/common/place tools/tarsk/picture)

# Checks switched off file by file for known faults, each as "file:check",
# so that fuzzing can go on until they are fixed; FUZZ_STRICT=1 builds
# everything with every check. None at present.
KNOWN=()
[[ ${FUZZ_STRICT:-0} == 1 ]] && KNOWN=()

mode=${1:-smoke}
shift || true
if [[ $# -gt 0 ]]; then targets=("$@"); else targets=("${TARGETS_ALL[@]}"); fi
for t in "${targets[@]}"; do
  [[ -f fuzz/$t.cpp ]] || { echo "fuzz.sh: no target $t (fuzz/$t.cpp)" >&2; exit 2; }
done

die() { echo "fuzz.sh: $*" >&2; exit 2; }

# ---------------------------------------------------------------------------
# Build

check_compiler() {
  command -v "$CXX" >/dev/null || die "$CXX not found; run scripts/deps.sh"
  local probe="$OUT/probe"
  mkdir -p "$OUT"
  printf '#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' \
    >"$probe.cpp"
  "$CXX" -fsanitize=fuzzer,address,undefined "$probe.cpp" -o "$probe" 2>"$probe.log" ||
    die "$CXX cannot build a libFuzzer target (libclang-rt-14-dev missing?); run scripts/deps.sh"
  rm -f "$probe" "$probe.cpp" "$probe.log"
}

# The library's sources, as the root CMakeLists.txt lists them, with the
# x86-64 kernels.
library_sources() {
  sed -n '/^set(TARSK_SOURCES/,/)/p; /list(APPEND TARSK_SOURCES/,/)/p' CMakeLists.txt |
    grep -o 'src/[^ )]*\.cpp'
}

build() {
  check_compiler
  mkdir -p "$OUT/obj"
  local sources
  mapfile -t sources < <(library_sources; echo tests/support/frame_builder.cpp
                         printf '%s\n' "${TOOL_SOURCES[@]}")
  [[ ${#sources[@]} -gt 1 ]] || die "no library sources found in CMakeLists.txt"
  # An object is rebuilt when it is older than its source or any header.
  local newest_header
  newest_header=$(find include src tests/support fuzz tools -name '*.h' -o -name '*.hpp' |
                  xargs stat -c %Y | sort -n | tail -1)
  # A change of strictness rebuilds everything.
  local flavour="known: ${KNOWN[*]}; no cmp trace: ${NO_CMP_TRACE[*]}"
  if [[ ! -f $OUT/obj/flavour || $(cat "$OUT/obj/flavour") != "$flavour" ]]; then
    rm -f "$OUT"/obj/*.o "${targets[@]/#/$OUT/}"
    echo "$flavour" >"$OUT/obj/flavour"
  fi
  local todo=() objects=()
  for s in "${sources[@]}"; do
    local o="$OUT/obj/$(echo "${s%.cpp}" | tr / _).o"
    objects+=("$o")
    if [[ ! -f $o || $(stat -c %Y "$s") -gt $(stat -c %Y "$o") || $newest_header -gt $(stat -c %Y "$o") ]]; then
      todo+=("$s")
    fi
  done
  if [[ ${#todo[@]} -gt 0 ]]; then
    echo "Compiling ${#todo[@]} sources"
    export OUT CXX
    export CXXFLAGS_STR="${CXXFLAGS[*]}" KNOWN_STR="${KNOWN[*]}" NO_CMP_STR="${NO_CMP_TRACE[*]}"
    printf '%s\n' "${todo[@]}" | xargs -P "$JOBS" -I{} bash -c '
      s={}; o="$OUT/obj/$(echo "${s%.cpp}" | tr / _).o"; extra=
      for k in $KNOWN_STR; do [[ ${k%%:*} == "$s" ]] && extra="$extra -fno-sanitize=${k#*:}"; done
      for d in $NO_CMP_STR; do [[ $s == "$d"* ]] && extra="$extra -fno-sanitize-coverage=trace-cmp"; done
      $CXX $CXXFLAGS_STR $extra -c "$s" -o "$o"'
  fi
  # The library's objects go into every target, the tool's only into
  # TOOL_TARGETS (with popt, which the tool parses its command line with,
  # libpng, libjpeg and libsndfile, which it reads and writes pictures and sound with,
  # libsoxr, which it resamples sound with,
  # and libavformat, which it reads and writes containers with).
  local library_objects=() tool_objects=()
  for o in "${objects[@]}"; do
    if [[ $o == "$OUT/obj/tools_"* ]]; then tool_objects+=("$o"); else library_objects+=("$o"); fi
  done
  for t in "${targets[@]}"; do
    local bin="$OUT/$t" stale=0 link=("${library_objects[@]}")
    [[ " ${TOOL_TARGETS[*]} " == *" $t "* ]] && link+=("${tool_objects[@]}" -lpopt
      $(pkg-config --libs libpng libjpeg sndfile soxr libavformat libavcodec libavutil))
    [[ -f $bin ]] || stale=1
    for f in "fuzz/$t.cpp" "${link[@]}"; do
      [[ $f == -* ]] && continue
      [[ $stale -eq 1 || $(stat -c %Y "$f") -gt $(stat -c %Y "$bin") ]] && stale=1
    done
    [[ $newest_header -gt $(stat -c %Y "$bin" 2>/dev/null || echo 0) ]] && stale=1
    if [[ $stale -eq 1 ]]; then
      echo "Linking $bin"
      "$CXX" "${CXXFLAGS[@]}" "fuzz/$t.cpp" "${link[@]}" -lpthread -o "$bin"
    fi
  done
}

# ---------------------------------------------------------------------------
# Seed corpora

CLIPS="$OUT/clips"

# make_clip NAME SIZE RATE PIX_FMT AUDIO_RATE FRAMES [ffmpeg options...]
make_clip() {
  local name=$1 size=$2 rate=$3 pix=$4 arate=$5 frames=$6
  shift 6
  local out="$CLIPS/$name.dv"
  [[ -s $out ]] && return 0
  # Both streams end with the last frame, so that the muxer has audio for
  # every frame.
  local duration
  duration=$(awk -v n="$frames" -v r="$rate" 'BEGIN { split(r, q, "/"); d = (q[2] == "" ? 1 : q[2]); printf "%.6f", n * d / q[1] }')
  ffmpeg -hide_banner -loglevel error -nostdin -y \
    -f lavfi -i "testsrc2=size=$size:rate=$rate" -f lavfi -i "sine=frequency=440:sample_rate=$arate" \
    -map 0:v -map 1:a -t "$duration" -c:v dvvideo -pix_fmt "$pix" -c:a pcm_s16le -ac 2 "$@" \
    -f dv "$out.tmp"
  mv "$out.tmp" "$out"
}

# Writes a byte (two hex digits) at an offset of a file.
poke() { printf "\\x$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

seeds() {
  command -v ffmpeg >/dev/null || die "ffmpeg not found; run scripts/deps.sh"
  mkdir -p "$CLIPS"
  make_clip pal420_48k 720x576 25 yuv420p 48000 2 -timecode 10:00:00:00 -metadata creation_time=2024-05-17T12:34:56Z
  make_clip ntsc411_48k 720x480 30000/1001 yuv411p 48000 2 -aspect 16:9 -timecode 01:02:03:04
  make_clip pal411_48k 720x576 25 yuv411p 48000 2
  make_clip pal411_32k 720x576 25 yuv411p 32000 2 -aspect 16:9
  make_clip pal420_44k 720x576 25 yuv420p 44100 2
  local c
  for c in pal420_48k ntsc411_48k pal411_48k pal411_32k pal420_44k; do
    local size
    size=$(stat -c %s "$CLIPS/$c.dv")
    [[ $c == ntsc* ]] && local fs=120000 || local fs=144000
    [[ $size -eq $((2 * fs)) ]] || die "ffmpeg made $size bytes for $c, not two frames of $fs"
    head -c "$fs" "$CLIPS/$c.dv" >"$CLIPS/$c.frame"
  done
  # 12-bit audio: the 32 kHz frame with quantisation code 1 in its AAUX
  # source pack (DIF sequence 0, audio block 3, pack byte 4).
  cp "$CLIPS/pal411_32k.frame" "$CLIPS/pal411_32k_12bit.frame"
  poke "$CLIPS/pal411_32k_12bit.frame" 4327 91

  local frames=(pal420_48k ntsc411_48k pal411_48k pal411_32k pal420_44k pal411_32k_12bit)
  # seed TARGET NAME PREFIX_HEX FILE [BYTES]: the prefix bytes, then the
  # file (its first BYTES bytes).
  seed() {
    local dir="$OUT/corpus/$1" out="$OUT/corpus/$1/seed-$2"
    mkdir -p "$dir"
    { [[ -n $3 ]] && printf "$(echo "$3" | sed 's/../\\x&/g')"
      if [[ -n ${5:-} ]]; then head -c "$5" "$4"; else cat "$4"; fi; } >"$out"
  }

  for f in "${frames[@]}"; do
    local file="$CLIPS/$f.frame"
    # fuzz_header: video system option, audio options and a pack ID.
    seed fuzz_header "$f-auto" 0060 "$file"
    seed fuzz_header "$f-options" 5b13 "$file"
    seed fuzz_header "$f-forced" 2261 "$file"
    seed fuzz_header "$f-header" 0062 "$file" 5608
    seed fuzz_header "$f-cut" 0063 "$file" 300
    # fuzz_video: quality, colour space, system option, twice; set-up, report.
    seed fuzz_video "$f-best-yuv" 8503 "$file"
    seed fuzz_video "$f-ac1-rgb" 0b00 "$file"
    seed fuzz_video "$f-dc-bgr0" 1001 "$file"
    seed fuzz_video "$f-mono-none" 1e02 "$file"
    seed fuzz_video "$f-half" 0500 "$file" 60000
    # fuzz_audio: frequency, quantisation, emphasis, correction; system.
    seed fuzz_audio "$f-auto" 8000 "$file"
    seed fuzz_audio "$f-drop" 4000 "$file"
    seed fuzz_audio "$f-forced" 1f04 "$file"
    seed fuzz_audio "$f-12bit" 9400 "$file"
    # fuzz_reader: whole streams, single and cut frames.
    seed fuzz_reader "$f-frame" "" "$file"
    seed fuzz_reader "$f-short" "" "$file" $(($(stat -c %s "$file") - 1))
  done
  for c in pal420_48k ntsc411_48k pal411_48k pal411_32k pal420_44k; do
    seed fuzz_reader "$c-stream" "" "$CLIPS/$c.dv"
    seed fuzz_reader "$c-and-half" "" "$CLIPS/$c.dv" $(($(stat -c %s "$CLIPS/$c.dv") * 3 / 4))
  done
  # fuzz_tool: whole streams whose last byte picks the command line (see
  # fuzz/fuzz_tool.cpp): y4m, yuy2 + WAV, rgb + PCM, png, ppm, null + WAV
  # --strict, info, info --json --frames, y4m + WAV on two threads, y4m
  # --strict --frames 1:3.
  local settings
  for c in pal420_48k ntsc411_48k pal411_32k; do
    for settings in 00 09 1a 03 04 2d 06 07 48 a0; do
      local out="$OUT/corpus/fuzz_tool/seed-$c-$settings"
      mkdir -p "$OUT/corpus/fuzz_tool"
      cp "$CLIPS/$c.dv" "$out"
      poke "$out" $(($(stat -c %s "$out") - 1)) "$settings"
    done
  done
  # The same DV in AVI, QuickTime (its index first) and Matroska: decoded to
  # y4m + WAV, and described.
  local form
  for form in avi mov mkv; do
    local wrapped="$CLIPS/pal420_48k.$form"
    [[ -s $wrapped ]] || ffmpeg -hide_banner -loglevel error -nostdin -y -i "$CLIPS/pal420_48k.dv" \
      -c copy -movflags +faststart "$wrapped"
    for settings in 09 06; do
      cp "$wrapped" "$OUT/corpus/fuzz_tool/seed-$form-$settings"
      poke "$OUT/corpus/fuzz_tool/seed-$form-$settings" $(($(stat -c %s "$wrapped") - 1)) "$settings"
    done
  done
  # fuzz_analyze: whole streams whose last byte picks the command line (see
  # fuzz/fuzz_analyze.cpp): the summary, CSV, JSON Lines, each with a map of
  # one, two or eight columns; and two systems joined.
  mkdir -p "$OUT/corpus/fuzz_analyze"
  for c in pal420_48k ntsc411_48k pal411_32k; do
    for settings in 00 01 02 04 0d 3e; do
      local out="$OUT/corpus/fuzz_analyze/seed-$c-$settings"
      cp "$CLIPS/$c.dv" "$out"
      poke "$out" $(($(stat -c %s "$out") - 1)) "$settings"
    done
  done
  cat "$CLIPS/pal420_48k.frame" "$CLIPS/ntsc411_48k.dv" >"$OUT/corpus/fuzz_analyze/seed-joined"
  # fuzz_merge: 27 option bytes (see fuzz/fuzz_merge.cpp), then DV.
  # Hostile copies: a two-frame stream cut in two or three.
  local zeros=000000000000000000000000000000000000000000000000
  for c in pal420_48k ntsc411_48k; do
    seed fuzz_merge "$c-halves" "008000$zeros" "$CLIPS/$c.dv"
    seed fuzz_merge "$c-thirds" "0155aa$zeros" "$CLIPS/$c.dv"
  done
  # Derived copies of a frame, repeated: four frames, some dropped from
  # the second and third copies, damage in all three.
  for c in pal420_48k ntsc411_48k pal411_32k; do
    seed fuzz_merge "$c-derived" "1f2481""01030d""050b1e""200405""120801""330203""101b1a""240000""090506" "$CLIPS/$c.frame"
  done
  # Two frames, each with a part the base lacks and the other copy has:
  # an audio block, a video segment.
  for c in pal420_48k ntsc411_48k; do
    seed fuzz_merge "$c-patches" "060000""080203""010000""010101""100305""190000""190101""080203""100305" "$CLIPS/$c.frame"
  done
  cat "$CLIPS/ntsc411_48k.frame" "$CLIPS/pal420_48k.frame" >"$CLIPS/mixed.dv"
  seed fuzz_merge "mixed-derived" "0e0300""000000""110001""020000""130a0a""000000""000000""000000""000000" \
    "$CLIPS/mixed.dv"
  encoder_seeds
  # Two systems in one stream; a stream that is not DV.
  cat "$CLIPS/ntsc411_48k.frame" "$CLIPS/pal420_48k.frame" >"$OUT/corpus/fuzz_reader/seed-mixed"
  head -c 4000 /dev/zero | tr '\0' '\377' >"$OUT/corpus/fuzz_reader/seed-not-dv"
  echo "Corpus files: $(for t in "${TARGETS_ALL[@]}"; do printf '%s %s  ' "$t" "$(ls "$OUT/corpus/$t" | wc -l)"; done)"
}

# The encoder side's seeds: pictures and sound files as ffmpeg writes them
# for fuzz_picture and fuzz_sound, option bytes over a payload for
# fuzz_encode.
encoder_seeds() {
  local dir="$OUT/corpus" f
  mkdir -p "$dir/fuzz_picture" "$dir/fuzz_sound" "$dir/fuzz_encode" "$CLIPS/enc"
  ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
  # file NAME ARGS...: ffmpeg writes $CLIPS/enc/NAME unless it is there.
  file() {
    local name=$1
    shift
    [[ -s $CLIPS/enc/$name ]] || ff "$@" "$CLIPS/enc/$name"
  }
  local pal="testsrc2=size=720x576:rate=25" ntsc="testsrc2=size=720x480:rate=30000/1001"
  file pal.ppm -f lavfi -i "$pal" -frames:v 1 -pix_fmt rgb24 -f image2 -c:v ppm
  file ntsc.ppm -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt rgb24 -f image2 -c:v ppm
  file pal.pgm -f lavfi -i "$pal" -frames:v 1 -pix_fmt yuv420p -f image2 -c:v pgmyuv
  file ntsc.pgm -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt yuv420p -f image2 -c:v pgmyuv
  file pal.png -f lavfi -i "$pal" -frames:v 1 -pix_fmt rgb24
  file ntsc-grey.png -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt gray
  file pal-pal8.png -f lavfi -i "$pal" -frames:v 1 -pix_fmt pal8
  file pal-rgba64.png -f lavfi -i "$pal" -frames:v 1 -pix_fmt rgba64be
  file small.png -f lavfi -i testsrc2=size=64x48 -frames:v 1
  file pal.jpg -f lavfi -i "$pal" -frames:v 1 -pix_fmt yuvj420p
  file ntsc.jpg -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt yuvj444p
  file pal420.y4m -f lavfi -i "$pal" -frames:v 1 -pix_fmt yuv420p -f yuv4mpegpipe
  file ntsc411.y4m -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt yuv411p -f yuv4mpegpipe
  file ntsc-mono.y4m -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt gray -f yuv4mpegpipe
  file pal422-tff.y4m -f lavfi -i "$pal" -frames:v 1 -pix_fmt yuv422p -vf setfield=tff \
    -f yuv4mpegpipe
  file ntsc444.y4m -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt yuv444p -f yuv4mpegpipe
  file ntsc.yuy2 -f lavfi -i "$ntsc" -frames:v 1 -pix_fmt yuyv422 -f rawvideo
  # The option byte: the reader in bits 0-2 (see fuzz/fuzz_picture.cpp).
  # Pictures larger than a fuzz input are cut to their first 4000 bytes
  # and completed by repetition (bit 7): headers and whole pictures. PNGs
  # and JPEGs (bit 3) come whole.
  local name
  for name in pal.ppm:80 ntsc.ppm:c8 pal.pgm:c1 ntsc.pgm:99 pal420.y4m:82 ntsc411.y4m:87 \
              ntsc-mono.y4m:82 pal422-tff.y4m:83 ntsc444.y4m:87 ntsc.yuy2:8d; do
    seed fuzz_picture "${name%%:*}" "${name##*:}" "$CLIPS/enc/${name%%:*}" 4000
  done
  for name in pal.png:04 ntsc-grey.png:44 pal-pal8.png:04 pal-rgba64.png:04 small.png:04 \
              pal.jpg:0c ntsc.jpg:4c; do
    seed fuzz_picture "${name%%:*}" "${name##*:}" "$CLIPS/enc/${name%%:*}"
  done
  # A Y4M header and a picture cut short.
  seed fuzz_picture cut.y4m 02 "$CLIPS/enc/pal420.y4m" 2000

  local sine="sine=frequency=440:sample_rate"
  file 48k.wav -f lavfi -i "$sine=48000" -t 0.2 -ac 2 -c:a pcm_s16le -bitexact
  file 44k.wav -f lavfi -i "$sine=44100" -t 0.2 -ac 2 -c:a pcm_s16le -bitexact
  file 32k-4ch.wav -f lavfi -i "$sine=32000" -t 0.2 -ac 4 -c:a pcm_s16le -bitexact
  file 48k-mono.wav -f lavfi -i "$sine=48000" -t 0.1 -ac 1 -c:a pcm_s16le -bitexact
  file 48k-list.wav -f lavfi -i "$sine=48000" -t 0.1 -ac 2 -c:a pcm_s16le -metadata title=t
  file 48k-s24.wav -f lavfi -i "$sine=48000" -t 0.1 -ac 2 -c:a pcm_s24le -bitexact
  file 48k-float.wav -f lavfi -i "$sine=48000" -t 0.1 -ac 2 -c:a pcm_f32le -bitexact
  file 44k.aiff -f lavfi -i "$sine=44100" -t 0.1 -ac 2
  file 32k.flac -f lavfi -i "$sine=32000" -t 0.1 -ac 1
  # The option byte: bit 0 the tool's reader, bit 1 625/50, bits 2-7 the
  # tool's read size (see fuzz/fuzz_sound.cpp).
  for name in 48k.wav 44k.wav 32k-4ch.wav 48k-mono.wav 48k-list.wav 48k-s24.wav; do
    seed fuzz_sound "$name-525" 00 "$CLIPS/enc/$name"
    seed fuzz_sound "$name-625" 02 "$CLIPS/enc/$name"
  done
  seed fuzz_sound 48k.wav-cut 02 "$CLIPS/enc/48k.wav" 7000
  for name in 48k.wav 32k-4ch.wav 48k-mono.wav 48k-s24.wav 48k-float.wav 44k.aiff 32k.flac; do
    seed fuzz_sound "$name-tool" 85 "$CLIPS/enc/$name"
  done

  # fuzz_encode: nine option bytes (see fuzz/fuzz_encode.cpp), then the
  # first bytes of a DV frame as the payload: every picture kind in both
  # systems, YUY2 and RGB, through the C and the C++ API.
  # Half of them encode the picture a second time (bit 7 of byte 4).
  local payload="$CLIPS/pal420_48k.frame" b0 b1 again
  for b0 in 00 01 03 1a 2b 55 7c f9 04 05 06 1f; do
    for b1 in 00 24 48 6c 81 a1 c5 e2; do
      [[ $b1 == [0-6]* ]] && again=80 || again=00
      seed fuzz_encode "$b0$b1" "${b0}${b1}3c9a${again}80000000" "$payload" 4000
    done
  done
  # fuzz_segment: settings, sequence and segment, the same payload.
  for b0 in 02 05 0c 13 1f 24 47 8a c3 e5; do
    seed fuzz_segment "$b0" "${b0}0311" "$payload" 6000
  done
  # Sound: frame numbers, rates and sample counts from the parameter bytes.
  seed fuzz_encode sound-count 010003332480070000 "$payload" 8000
  seed fuzz_encode sound-frame 00c0007155ffffff7f "$payload" 8000
  seed fuzz_encode sound-rate 010000432380bb0000 "$payload" 8000
  seed fuzz_encode sound-cpp 0500000001f0000000 "$payload" 8000
}

# ---------------------------------------------------------------------------
# Runs

regress() {
  local failed=0 t
  for t in "${targets[@]}"; do
    local dir="fuzz/regressions/$t"
    compgen -G "$dir/*" >/dev/null || continue
    echo "== $t: reproducers in $dir"
    if ! "$OUT/$t" -runs=1 "$dir"/* >"$OUT/regress-$t.log" 2>&1; then
      echo "FAILED: $t on a reproducer; see $OUT/regress-$t.log"
      grep -E '^(SUMMARY|==[0-9]+==ERROR|.*check failed)' "$OUT/regress-$t.log" | head -5 || true
      failed=1
    else
      echo "   $(ls "$dir" | wc -l) inputs pass"
    fi
  done
  return $failed
}

# run_target TARGET SECONDS: fuzzes one target; prints its figures and
# what it found.
run_target() {
  local t=$1 seconds=$2
  local corpus="$ROOT/$OUT/corpus/$t" artifacts="$ROOT/$OUT/artifacts/$t" logs="$ROOT/$OUT/logs/$t"
  mkdir -p "$corpus" "$artifacts" "$logs"
  local stamp="$logs/started"
  touch "$stamp"
  echo "== $t: fuzzing for $seconds s"
  # One job in one worker process: the job's output goes to fuzz-0.log in
  # the working directory. The decoder's own messages are dropped
  # (-close_fd_mask); the sanitizers and libFuzzer still report.
  (cd "$logs" && rm -f fuzz-0.log &&
   "$ROOT/$OUT/$t" -jobs=1 -workers=1 -max_len=$MAX_LEN -max_total_time="$seconds" \
     ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} \
     -timeout=30 -rss_limit_mb=4096 -close_fd_mask=3 -print_final_stats=1 \
     -artifact_prefix="$artifacts/" "$corpus" >"$logs/run.log" 2>&1) || true
  local log="$logs/fuzz-0.log"
  [[ -f $log ]] || log="$logs/run.log"
  cp "$log" "$logs/last.log"
  local execs rate cov
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | tail -1 | awk '{print $2}')
  rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | tail -1 | awk '{print $2}')
  cov=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' || true)
  printf '   executions %s, %s exec/s, %s\n' "${execs:-?}" "${rate:-?}" "${cov:-cov: ?}"

  # What this run saved. A timeout, or a unit libFuzzer reports as slow,
  # counts only if the input is slow again when run alone: on a busy
  # machine a stalled process looks the same.
  local found=0 a
  while IFS= read -r a; do
    [[ -n $a ]] || continue
    if [[ $(basename "$a") == timeout-* || $(basename "$a") == slow-unit-* ]] &&
       timeout 60 "$ROOT/$OUT/$t" -timeout=30 -close_fd_mask=3 "$a" >/dev/null 2>&1; then
      mkdir -p "$artifacts/unconfirmed"
      mv "$a" "$artifacts/unconfirmed/"
      echo "   timeout not reproduced (input runs in time alone): $OUT/artifacts/$t/unconfirmed/$(basename "$a")"
      continue
    fi
    found=1
    echo "   FOUND: $(grep -E '^SUMMARY: |check failed|ERROR: libFuzzer' "$log" | head -3 | tr '\n' ' ')"
    echo "   input: ${a#"$ROOT"/}"
  done < <(find "$artifacts" -maxdepth 1 -type f -newer "$stamp")
  # A run that ends without its closing figures failed some other way.
  if [[ $found -eq 0 && -z $execs ]] && ! grep -q 'timeout after' "$log"; then
    echo "   the run did not finish normally"
    found=1
  fi
  if [[ $found -ne 0 ]]; then
    echo "   log: ${log#"$ROOT"/}"
    return 1
  fi
  return 0
}

# fuzz_all SECONDS: fuzzes the targets, FUZZ_PARALLEL (default nproc) at a
# time, each on a core of its own; prints their reports in target order.
fuzz_all() {
  local seconds=$1 failed=0 t
  local parallel=${FUZZ_PARALLEL:-$(nproc)} reports="$ROOT/$OUT/logs/reports"
  mkdir -p "$reports"
  for t in "${targets[@]}"; do
    while [[ $(jobs -rp | wc -l) -ge $parallel ]]; do wait -n || true; done
    (run_target "$t" "$seconds" >"$reports/$t" 2>&1; echo $? >"$reports/$t.status") &
  done
  wait
  for t in "${targets[@]}"; do
    cat "$reports/$t"
    [[ $(cat "$reports/$t.status") == 0 ]] || failed=1
  done
  return $failed
}

case $mode in
  build) build ;;
  seeds) build && seeds ;;
  regress) build && regress ;;
  smoke | long)
    build && seeds
    status=0
    regress || status=1
    if [[ $mode == smoke ]]; then default_seconds=10; else default_seconds=3600; fi
    fuzz_all "${FUZZ_SECONDS:-$default_seconds}" || status=1
    exit $status ;;
  *) die "unknown mode $mode (build, seeds, regress, smoke, long)" ;;
esac
