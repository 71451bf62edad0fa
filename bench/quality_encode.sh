#!/usr/bin/env bash
# Picture quality of three DV encoders on the same sources: ffmpeg's
# (-c:v dvvideo), tarsk encode at its default settings and tarsk encode
# --quality best. ffmpeg makes each source (a Y4M file at the system's size,
# rate and sampling), each encoder encodes it, ffmpeg decodes all three, and
# its psnr filter measures each decode against the source: a table of Y, U
# and V PSNR in dB per content and system, and the time of tarsk's best mode
# over its default: medians of alternating runs of the whole tool, in CPU
# time (user + system), which other work on the machine hardly changes.
#
# Usage: bench/quality_encode.sh [TARSK] [FRAMES] [RUNS]
#   TARSK   the tool (default build/tools/tarsk/tarsk)
#   FRAMES  frames per source (default 10)
#   RUNS    timed runs of each tarsk mode per source (default 3)
set -euo pipefail

tarsk=${1:-build/tools/tarsk/tarsk}
frames=${2:-10}
runs=${3:-3}
[ -x "$tarsk" ] || { echo "no tarsk at $tarsk: build it first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian: time)" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# name|lavfi source|filter (interlacing filters take pictures at twice the rate)
contents=(
  "testsrc2|testsrc2|"
  "smptehdbars|smptehdbars|"
  "mandelbrot|mandelbrot|"
  "noise|testsrc2|noise=alls=20:allf=t+u"
  "noisy bars|smptehdbars|noise=alls=12:allf=t+u"
  "interlaced|testsrc2|tinterlace=mode=interleave_top"
  "interlaced scroll|mandelbrot|scroll=horizontal=0.01,tinterlace=mode=interleave_top"
)
systems=("625/50 4:2:0|576|25|50|yuv420p" "525/60 4:1:1|480|30000/1001|60000/1001|yuv411p")

ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
# "Y U V" PSNR of a DV file's decode against the source.
psnr() {
  ffmpeg -hide_banner -nostdin -i "$1" -i "$2" -lavfi "[0:v][1:v]psnr" -f null - 2>&1 |
    sed -n 's/.*PSNR y:\([0-9.inf]*\) u:\([0-9.inf]*\) v:\([0-9.inf]*\).*/\1 \2 \3/p' | tail -1
}
# CPU seconds (user + system) of a command.
cpu() { /usr/bin/time -f '%U %S' "$@" 2>&1 >/dev/null | tail -1 | awk '{print $1 + $2}'; }
median() { sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

printf '%-28s %-20s %-20s %-20s %s\n' "content" "Y ffmpeg/def/best" "U ffmpeg/def/best" \
  "V ffmpeg/def/best" "time best/def"
sum_gain=0 n=0 worst=99
for s in "${systems[@]}"; do
  IFS='|' read -r sname height rate field_rate pix <<<"$s"
  for c in "${contents[@]}"; do
    IFS='|' read -r name source filter <<<"$c"
    r=$rate
    [[ $filter == *interlace* ]] && r=$field_rate
    graph="$source=size=720x$height:rate=$r"
    [ -n "$filter" ] && graph="$graph,$filter"
    # Progressive in the Y4M header: both encoders take the lines as they are.
    ff -f lavfi -i "$graph,setfield=prog" -frames:v "$frames" -pix_fmt "$pix" "$dir/src.y4m"
    ff -i "$dir/src.y4m" -c:v dvvideo -pix_fmt "$pix" -f dv "$dir/ffmpeg.dv"
    t_def=() t_best=()
    for ((i = 0; i < runs; ++i)); do
      t_def+=("$(cpu "$tarsk" encode "$dir/src.y4m" -y -o "$dir/default.dv" --quiet)")
      t_best+=("$(cpu "$tarsk" encode "$dir/src.y4m" -y -o "$dir/best.dv" --quality best --quiet)")
    done
    md=$(printf '%s\n' "${t_def[@]}" | median) mb=$(printf '%s\n' "${t_best[@]}" | median)
    read -r fy fu fv <<<"$(psnr "$dir/ffmpeg.dv" "$dir/src.y4m")"
    read -r dy du dv <<<"$(psnr "$dir/default.dv" "$dir/src.y4m")"
    read -r by bu bv <<<"$(psnr "$dir/best.dv" "$dir/src.y4m")"
    printf '%-28s %-20s %-20s %-20s %.2f (%.2f/%.2f s)\n' "$name, $sname" "$fy/$dy/$by" \
      "$fu/$du/$bu" "$fv/$dv/$bv" "$(echo "$mb / $md" | bc -l)" "$mb" "$md"
    gain=$(echo "$by - $fy" | bc -l)
    sum_gain=$(echo "$sum_gain + $gain" | bc -l) n=$((n + 1))
    worst=$(echo "if ($gain < $worst) $gain else $worst" | bc -l)
  done
done
printf 'luma, best over ffmpeg: %.2f dB on average, %.2f dB at the least (%d sources, %d frames each)\n' \
  "$(echo "$sum_gain / $n" | bc -l)" "$worst" "$n" "$frames"
