#!/usr/bin/env bash
# QC analysis speed and memory, whole processes in one run, medians of RUNS (3) runs:
#   decode only   orvel-cli qc --checks= FILE      (pictures and sound decoded, nothing measured)
#   all checks    orvel-cli qc FILE
#   ffmpeg chain  blackdetect,freezedetect,signalstats + silencedetect,ebur128=peak=true
# on 1080p25 H.264 and 10-bit ProRes 422 HQ, each with 48 kHz stereo, one minute long; then the
# peak memory (max RSS) of all checks on one and ten minutes of H.264. Prints wall and CPU
# seconds and the ratios all/decode (goal <= 1.3) and all/ffmpeg (goal <= 0.5), and the load
# average before and after: the machine may be shared.
# Usage: qc_bench.sh [BUILD_DIR]   (needs BUILD_DIR/tools/orvel-cli and /usr/bin/time)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${ORVEL_BUILD_DIR:-$root/build}}
cli=$build/tools/orvel-cli
runs=${RUNS:-3}
[[ -x $cli ]] || { echo "qc_bench: $cli not built" >&2; exit 1; }
build=$(cd "$build" && pwd)
cli=$build/tools/orvel-cli
[[ -x /usr/bin/time ]] || { echo "qc_bench: needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
media=$build/bench_media
mkdir -p "$media"

ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }
# Moving pattern with a burnt-in clock and pink noise: every picture and band busy.
video() { echo "testsrc2=s=1920x1080:r=25:d=$1,scale=out_color_matrix=bt709:out_range=tv"; }
audio() { echo "anoisesrc=color=pink:amplitude=0.1:r=48000:d=$1"; }
make_h264() {
    [[ -s $2 ]] || ff -f lavfi -i "$(video "$1")" -f lavfi -i "$(audio "$1")" -ac 2 -c:v libx264 -preset veryfast \
        -crf 18 -bf 2 -g 50 -pix_fmt yuv420p -c:a pcm_s24le "$2"
}
make_h264 60 "$media/qc_h264_1080p25_1min.mov"
# Ten minutes: the minute ten times over, joined without re-encoding.
if [[ ! -s $media/qc_h264_1080p25_10min.mov ]]; then
    list=$(mktemp)
    for _ in 1 2 3 4 5 6 7 8 9 10; do echo "file '$media/qc_h264_1080p25_1min.mov'"; done >"$list"
    ff -f concat -safe 0 -i "$list" -c copy "$media/qc_h264_1080p25_10min.mov"
    rm -f "$list"
fi
[[ -s $media/qc_prores_hq_1min.mov ]] ||
    ff -f lavfi -i "$(video 60)" -f lavfi -i "$(audio 60)" -ac 2 -c:v prores_aw -profile:v 3 -pix_fmt yuv422p10le \
       -c:a pcm_s24le "$media/qc_prores_hq_1min.mov"

# measure CMD...: "WALL CPU MAXRSS_KB", medians of $runs runs; output discarded.
measure() {
    local walls=() cpus=() rss=() i out
    out=$(mktemp)
    for (( i = 0; i < runs; i++ )); do
        /usr/bin/time -f "%e %U %S %M" -o "$out" "$@" >/dev/null 2>&1 || true
        read -r w u s m <"$out"
        walls+=("$w")
        cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')")
        rss+=("$m")
    done
    rm -f "$out"
    local mid=$(( (runs + 1) / 2 ))
    echo "$(printf '%s\n' "${walls[@]}" | sort -n | sed -n ${mid}p)" \
         "$(printf '%s\n' "${cpus[@]}" | sort -n | sed -n ${mid}p)" \
         "$(printf '%s\n' "${rss[@]}" | sort -n | sed -n ${mid}p)"
}

chain="[0:v]blackdetect,freezedetect,signalstats[v];[0:a]silencedetect,ebur128=peak=true[a]"

echo "qc: medians of $runs whole-process runs; load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
for clip in qc_h264_1080p25_1min.mov qc_prores_hq_1min.mov; do
    file=$media/$clip
    read -r dw dc dm <<<"$(measure "$cli" qc --checks= "$file")"
    read -r aw ac am <<<"$(measure "$cli" qc "$file")"
    read -r fw fc fm <<<"$(measure ffmpeg -nostdin -hide_banner -i "$file" -filter_complex "$chain" -map "[v]" -map "[a]" -f null -)"
    read -r nw nc nm <<<"$(measure ffmpeg -nostdin -hide_banner -i "$file" -f null -)"
    awk -v n="$clip" -v dw="$dw" -v dc="$dc" -v aw="$aw" -v ac="$ac" -v fw="$fw" -v fc="$fc" -v nw="$nw" -v nc="$nc" \
        -v am="$am" -v fm="$fm" 'BEGIN {
        printf "%s\n", n
        printf "  wall s: decode only %7.2f  all checks %7.2f  ffmpeg chain %7.2f  (ffmpeg decode only %7.2f)\n", dw, aw, fw, nw
        printf "  cpu  s: decode only %7.2f  all checks %7.2f  ffmpeg chain %7.2f  (ffmpeg decode only %7.2f)\n", dc, ac, fc, nc
        printf "  ratio all/decode: wall %.2f cpu %.2f (goal <= 1.3)   all/ffmpeg chain: wall %.2f cpu %.2f (goal <= 0.5)\n",
            aw / dw, ac / dc, aw / fw, ac / fc
        printf "  max RSS: all checks %.0f MiB, ffmpeg chain %.0f MiB\n", am / 1024, fm / 1024 }'
done
# Peak memory is no timing: one run each.
read -r _ _ m1 <<<"$(runs=1 measure "$cli" qc "$media/qc_h264_1080p25_1min.mov")"
read -r _ _ m10 <<<"$(runs=1 measure "$cli" qc "$media/qc_h264_1080p25_10min.mov")"
awk -v a="$m1" -v b="$m10" 'BEGIN { printf "peak memory, all checks, H.264 1080p25: 1 min %.0f MiB, 10 min %.0f MiB (ratio %.2f)\n", a / 1024, b / 1024, b / a }'
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
