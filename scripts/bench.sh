#!/usr/bin/env bash
# Builds Orvel and runs every benchmark executable in build/bench, one after the other,
# on the generated test media. Extra arguments are passed to each benchmark.
# Benchmarks named *_window_bench / held_keys_bench drive the real window: they run on
# $DISPLAY, or on a private Xvfb this script starts (and stops) when there is none.
# ORVEL_BENCHES=a_bench,b_bench runs only those (the loudness, qc and compare comparisons
# only when it lists "loudness", "qc" or "compare"). Exits non-zero when any benchmark failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build}

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_BUILD_BENCH=ON >/dev/null
ninja -C "$build" -j2

export ORVEL_TEST_MEDIA_DIR=$build/media
bash "$root/tests/media/generate_media.sh" "$ORVEL_TEST_MEDIA_DIR" | tail -n 1

mapfile -t benches < <(find "$build/bench" -maxdepth 1 -type f -executable -name '*_bench' | sort)
if [[ -n ${ORVEL_BENCHES:-} ]]; then
    chosen=()
    for bench in "${benches[@]}"; do
        [[ ,$ORVEL_BENCHES, == *,$(basename "$bench"),* ]] && chosen+=("$bench")
    done
    benches=("${chosen[@]}")
fi
if (( ${#benches[@]} == 0 )); then
    echo "bench.sh: no benchmarks built yet (bench/*_bench.cpp)"
    exit 0
fi

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/orvel-bench.XXXXXX")
xvfb_pid=""
cleanup() {
    local status=$?
    set +e
    # Only the server this script started, by its id.
    if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
    rm -rf "$run_dir"
    exit "$status"
}
trap cleanup EXIT

# A display for the window benchmarks: the one we have, else a private Xvfb.
window_display() {
    if [[ -n ${DISPLAY:-} ]]; then
        echo "$DISPLAY"
        return
    fi
    if [[ -z $xvfb_pid ]] && command -v Xvfb >/dev/null; then
        local fd_file=$run_dir/xvfb-display i
        Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fd_file" >"$run_dir/xvfb.log" 2>&1 &
        xvfb_pid=$!
        for (( i = 0; i < 100; i++ )); do
            [[ -s $fd_file ]] && break
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        [[ -s $fd_file ]] && xvfb_display=:$(tr -d '[:space:]' <"$fd_file")
    fi
    echo "${xvfb_display:-}"
}
[[ -z ${XDG_RUNTIME_DIR:-} ]] && { mkdir -p -m 700 "$run_dir/runtime"; export XDG_RUNTIME_DIR=$run_dir/runtime; }

failed=()
for bench in "${benches[@]}"; do
    name=$(basename "$bench")
    printf '\n==== %s ====\n' "$name"
    start=$(date +%s.%N)
    platform=${QT_QPA_PLATFORM:-offscreen}
    display=${DISPLAY:-}
    if [[ $name == held_keys_bench || $name == *_window_bench ]]; then
        window_display >/dev/null
        display=${DISPLAY:-${xvfb_display:-}}
        if [[ -n $display ]]; then platform=xcb; fi
    fi
    if DISPLAY=$display QT_QPA_PLATFORM=$platform "$bench" "$@"; then
        awk -v n="$name" -v a="$start" -v b="$(date +%s.%N)" \
            'BEGIN { printf "==== %s: done in %.1f s ====\n", n, b - a }'
    else
        echo "==== $name: FAILED (status $?) ===="
        failed+=("$name")
    fi
done

if [[ -z ${ORVEL_BENCHES:-} || ,$ORVEL_BENCHES, == *,loudness,* ]]; then
    printf '\n==== loudness: orvel-cli vs ffmpeg ====\n'
    bash "$root/scripts/bench_loudness.sh" "$build" || failed+=("loudness")
fi

if [[ -z ${ORVEL_BENCHES:-} || ,$ORVEL_BENCHES, == *,qc,* ]]; then
    printf '\n==== qc: orvel-cli qc vs decoding alone and ffmpeg filters ====\n'
    bash "$root/bench/qc_bench.sh" "$build" || failed+=("qc")
fi

if [[ -z ${ORVEL_BENCHES:-} || ,$ORVEL_BENCHES, == *,compare,* ]]; then
    printf '\n==== compare: orvel-cli compare vs decoding both and ffmpeg psnr / ssim ====\n'
    bash "$root/bench/compare_bench.sh" "$build" || failed+=("compare")
fi

if [[ -z ${ORVEL_BENCHES:-} || ,$ORVEL_BENCHES, == *,sequence,* ]]; then
    printf '\n==== image sequences: orvel-cli vs ffmpeg image2 ====\n'
    bash "$root/bench/sequence_bench.sh" "$build" || failed+=("sequence")
fi

if (( ${#failed[@]} > 0 )); then
    echo "bench.sh: failed: ${failed[*]}" >&2
    exit 1
fi
