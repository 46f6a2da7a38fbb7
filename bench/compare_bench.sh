#!/usr/bin/env bash
# Comparing two files, whole processes in one run, medians of RUNS (3) runs, on two 1080p25
# H.264 files of one minute (B: A's pictures with a box on frames 700-724, encoded alike):
#   orvel-cli compare A B                      (PSNR and SSIM)
#   orvel-cli compare A B --metric psnr / ssim
#   ffmpeg decoding both                        -i A -i B -map 0:v -map 1:v -f null
#   ffmpeg psnr / ssim                          -lavfi "[0][1]psnr" -f null -  (and ssim)
# and the same on a lossy B (every picture differs, so every pair is measured in full).
# Prints wall and CPU seconds and the ratios compare/decode-both (goal <= 1.2) and
# compare/ffmpeg psnr (goal <= 0.7), and the load average before and after: the machine may
# be shared.
# Usage: compare_bench.sh [BUILD_DIR]   (needs BUILD_DIR/tools/orvel-cli and /usr/bin/time)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${ORVEL_BUILD_DIR:-$root/build}}
runs=${RUNS:-3}
[[ -x $build/tools/orvel-cli ]] || { echo "compare_bench: $build/tools/orvel-cli not built" >&2; exit 1; }
build=$(cd "$build" && pwd)
cli=$build/tools/orvel-cli
[[ -x /usr/bin/time ]] || { echo "compare_bench: needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
media=$build/bench_media
mkdir -p "$media"

ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }
video() { echo "testsrc2=s=1920x1080:r=25:d=60,scale=out_color_matrix=bt709:out_range=tv"; }
x264=(-c:v libx264 -preset veryfast -crf 18 -bf 2 -g 50 -pix_fmt yuv420p)
a=$media/cmp_h264_1080p25_1min.mov
b=$media/cmp_h264_1080p25_1min_box.mov
lossy=$media/cmp_h264_1080p25_1min_lossy.mov
[[ -s $a ]] || ff -f lavfi -i "$(video)" "${x264[@]}" -timecode 10:00:00:00 "$a"
[[ -s $b ]] || ff -f lavfi -i "$(video),drawbox=x=200:y=200:w=320:h=180:c=red:t=fill:enable='between(n,700,724)'" \
    "${x264[@]}" -timecode 10:00:00:00 "$b"
[[ -s $lossy ]] || ff -i "$a" -c:v libx264 -preset veryfast -crf 30 -pix_fmt yuv420p -timecode 10:00:00:00 "$lossy"

# measure CMD...: "WALL CPU", medians of $runs runs; output discarded.
measure() {
    local walls=() cpus=() i out
    out=$(mktemp)
    for (( i = 0; i < runs; i++ )); do
        /usr/bin/time -f "%e %U %S" -o "$out" "$@" >/dev/null 2>&1 || true
        read -r w u s <"$out"
        walls+=("$w")
        cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')")
    done
    rm -f "$out"
    local mid=$(( (runs + 1) / 2 ))
    echo "$(printf '%s\n' "${walls[@]}" | sort -n | sed -n ${mid}p)" \
         "$(printf '%s\n' "${cpus[@]}" | sort -n | sed -n ${mid}p)"
}

echo "compare: medians of $runs whole-process runs; load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
for pair in "box:$b" "lossy:$lossy"; do
    name=${pair%%:*}
    other=${pair#*:}
    read -r cw cc <<<"$(measure "$cli" compare "$a" "$other")"
    read -r pw pc <<<"$(measure "$cli" compare "$a" "$other" --metric psnr)"
    read -r sw sc <<<"$(measure "$cli" compare "$a" "$other" --metric ssim)"
    read -r dw dc <<<"$(measure ffmpeg -nostdin -hide_banner -i "$a" -i "$other" -map 0:v -map 1:v -f null -)"
    read -r fpw fpc <<<"$(measure ffmpeg -nostdin -hide_banner -i "$a" -i "$other" -lavfi "[0][1]psnr" -f null -)"
    read -r fsw fsc <<<"$(measure ffmpeg -nostdin -hide_banner -i "$a" -i "$other" -lavfi "[0][1]ssim" -f null -)"
    awk -v n="$name" -v cw="$cw" -v cc="$cc" -v pw="$pw" -v pc="$pc" -v sw="$sw" -v sc="$sc" -v dw="$dw" -v dc="$dc" \
        -v fpw="$fpw" -v fpc="$fpc" -v fsw="$fsw" -v fsc="$fsc" 'BEGIN {
        printf "1080p25 H.264, 60 s, B %s\n", n
        printf "  wall s: compare %6.2f  psnr only %6.2f  ssim only %6.2f | ffmpeg decode both %6.2f  psnr %6.2f  ssim %6.2f\n", cw, pw, sw, dw, fpw, fsw
        printf "  cpu  s: compare %6.2f  psnr only %6.2f  ssim only %6.2f | ffmpeg decode both %6.2f  psnr %6.2f  ssim %6.2f\n", cc, pc, sc, dc, fpc, fsc
        printf "  ratio compare/decode both: wall %.2f cpu %.2f (goal <= 1.2)\n", cw / dw, cc / dc
        printf "  ratio compare/ffmpeg psnr: wall %.2f cpu %.2f (goal <= 0.7); psnr only/ffmpeg psnr: wall %.2f; ssim only/ffmpeg ssim: wall %.2f\n",
            cw / fpw, cc / fpc, pw / fpw, sw / fsw }'
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
