#!/usr/bin/env bash
# Loudness measurement speed: the whole orvel-cli process against the ffmpeg CLI's own
# meter on the same 10-minute signal, medians of 3 runs each (wall and CPU time) and ratios.
#   1. a stereo file: "orvel-cli loudness FILE" vs "ffmpeg -i FILE -af ebur128=peak=true -f null -"
#   2. a pair of a 5.1 stream: "--left 0 --right 1" vs the same pair picked with pan
# Usage: bench_loudness.sh [BUILD_DIR]   (needs BUILD_DIR/tools/orvel-cli)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${ORVEL_BUILD_DIR:-$root/build}}
cli=$build/tools/orvel-cli
[[ -x $cli ]] || { echo "bench_loudness: $cli not built" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "bench_loudness: needs /usr/bin/time (apt-get install time)" >&2; exit 1; }
media=$build/bench_media
mkdir -p "$media"

ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }
# Pink noise: every band busy, as in programme material.
[[ -s $media/loudness_10min_stereo.wav ]] ||
    ff -f lavfi -i "anoisesrc=color=pink:amplitude=0.25:r=48000:d=600" -ac 2 -c:a pcm_s24le "$media/loudness_10min_stereo.wav"
[[ -s $media/loudness_10min_51.mov ]] ||
    ff -f lavfi -i "anoisesrc=color=pink:amplitude=0.25:r=48000:d=600" \
       -af "pan=5.1|FL=c0|FR=0.7*c0|FC=0.5*c0|LFE=0.1*c0|BL=0.3*c0|BR=0.2*c0" -c:a pcm_s24le "$media/loudness_10min_51.mov"

# measure CMD...: "WALL CPU" medians (seconds) of 3 runs, output discarded. CPU is user +
# system time; on a loaded machine it is the steadier figure, wall time is what a script waits.
measure() {
    local walls=() cpus=() i out
    out=$(mktemp)
    for i in 1 2 3; do
        /usr/bin/time -f "%e %U %S" -o "$out" "$@" >/dev/null 2>&1 || { echo "bench_loudness: failed: $*" >&2; rm -f "$out"; return 1; }
        walls+=("$(awk '{ print $1 }' "$out")")
        cpus+=("$(awk '{ printf "%.2f", $2 + $3 }' "$out")")
    done
    rm -f "$out"
    echo "$(printf '%s\n' "${walls[@]}" | sort -n | sed -n 2p) $(printf '%s\n' "${cpus[@]}" | sort -n | sed -n 2p)"
}

# compare NAME "CLI ARGS" "FFMPEG FILTER" FILE
compare() {
    local name=$1 args=$2 filter=$3 file=$4 ours theirs
    # shellcheck disable=SC2086
    ours=$(measure "$cli" loudness "$file" $args)
    theirs=$(measure ffmpeg -nostdin -hide_banner -i "$file" -af "$filter" -f null -)
    awk -v n="$name" -v o="$ours" -v t="$theirs" 'BEGIN {
        split(o, a, " "); split(t, b, " ")
        printf "%-22s wall: orvel-cli %6.2f s  ffmpeg %6.2f s  ratio %.3f | cpu: orvel-cli %6.2f s  ffmpeg %6.2f s  ratio %.3f (target <= 1.1)\n",
            n, a[1], b[1], a[1] / b[1], a[2], b[2], a[2] / b[2] }'
}

echo "loudness: median of 3 whole-process runs on 10 minutes of 48 kHz pink noise"
compare "stereo" "" "ebur128=peak=true" "$media/loudness_10min_stereo.wav"
compare "5.1 stream, pair 0/1" "--left 0 --right 1" "pan=stereo|c0=c0|c1=c1,ebur128=peak=true" "$media/loudness_10min_51.mov"
"$cli" loudness "$media/loudness_10min_stereo.wav" 2>/dev/null | tr -d '\n' | sed 's/  */ /g'
echo
ffmpeg -nostdin -hide_banner -i "$media/loudness_10min_stereo.wav" -af "ebur128=peak=true:framelog=verbose" -f null - 2>&1 |
    awk '/I:/ { i = $2 } /Peak:/ { p = $2 } END { printf "ffmpeg: integrated %s LUFS, true peak %s dBFS\n", i, p }'
