#!/usr/bin/env bash
# Image sequence read speed: every frame of a sequence decoded, by orvel-cli (the QC pass with
# only missingFrame on: pictures decoded in order, nothing measured) and by
# `ffmpeg -f image2 ... -f null -` in the same run; medians of RUNS (3) runs, as frames per
# second and the ratio orvel/ffmpeg, and the CPU milliseconds each spent per frame.
# Sequences: 2K 10-bit DPX, UHD 16-bit TIFF, 2K half-float EXR, made once into
# BUILD_DIR/bench_media. The load average is printed before and after:
# the machine may be shared.
# Where other sessions share the cores through the scheduler's autogroups, every run gets
# only its group's share whatever its threads: then the CPU columns are the comparable part.
# Usage: sequence_bench.sh [BUILD_DIR]   (needs BUILD_DIR/tools/orvel-cli)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-${ORVEL_BUILD_DIR:-$root/build}}
[[ -x $build/tools/orvel-cli ]] || { echo "sequence_bench: $build/tools/orvel-cli not built" >&2; exit 1; }
build=$(cd "$build" && pwd)
cli=$build/tools/orvel-cli
runs=${RUNS:-3}
frames=${FRAMES:-48}
media=$build/bench_media/sequences
mkdir -p "$media"

ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }
make_seq() { # NAME SIZE PIX_FMT PATTERN [ENCODER OPTIONS...]
    local dir=$media/$1 size=$2 fmt=$3 pattern=$4
    shift 4
    [[ -s $dir/.done ]] && return
    rm -rf "$dir" && mkdir -p "$dir"
    ff -f lavfi -i "testsrc2=s=$size:r=24:d=$(awk -v f="$frames" 'BEGIN { print f / 24 }')" \
        -pix_fmt "$fmt" "$@" -start_number 86400 "$dir/$pattern"
    echo done >"$dir/.done"
}
make_seq dpx_2k_10bit 2048x1080 gbrp10le 'shot.%06d.dpx'
make_seq tiff_uhd_16bit 3840x2160 rgb48le 'plate.%06d.tif'
make_seq exr_2k_half 2048x1080 gbrpf32le 'ramp.%06d.exr' -c:v exr -format half -compression none

# median of the arguments
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
# "WALL CPU" seconds of one run (CPU: user + system of the command and its threads)
seconds() {
    local TIMEFORMAT='%R %U %S' t
    t=$( { time "$@" >/dev/null 2>&1; } 2>&1 )
    awk '{ print $1, $2 + $3 }' <<<"$t"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)   frames per sequence: $frames   runs: $runs"
# Where the machine's CPU time is shared out (load, cgroup shares), the wall rate shows the
# share as much as the reading; the CPU milliseconds per frame show the work done.
printf '%-16s %12s %12s %8s %14s %14s\n' sequence "orvel fps" "ffmpeg fps" ratio "orvel cpu ms/f" "ffmpeg cpu ms/f"
for name in dpx_2k_10bit tiff_uhd_16bit exr_2k_half; do
    dir=$media/$name
    pattern=$(cd "$dir" && ls | grep -v '^\.' | head -n1 | sed -E 's/[0-9]{6}\./%06d./')
    ours=() theirs=() oursCpu=() theirsCpu=()
    for (( i = 0; i < runs; i++ )); do
        read -r wall cpu < <(seconds "$cli" qc --checks missingFrame "$dir")
        ours+=("$wall") oursCpu+=("$cpu")
        read -r wall cpu < <(seconds ffmpeg -nostdin -v error -f image2 -framerate 24 -start_number 86400 -i "$dir/$pattern" -f null -)
        theirs+=("$wall") theirsCpu+=("$cpu")
    done
    o=$(median "${ours[@]}")
    t=$(median "${theirs[@]}")
    oc=$(median "${oursCpu[@]}")
    tc=$(median "${theirsCpu[@]}")
    awk -v n="$name" -v f="$frames" -v o="$o" -v t="$t" -v oc="$oc" -v tc="$tc" \
        'BEGIN { printf "%-16s %12.1f %12.1f %8.2f %14.1f %14.1f\n", n, f / o, f / t, (f / o) / (f / t), 1000 * oc / f, 1000 * tc / f }'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
