#!/usr/bin/env bash
# Builds Orvel and runs every benchmark executable in build/bench, one after the other,
# on the generated test media. Extra arguments are passed to each benchmark.
# Exits non-zero when any benchmark failed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build}

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_BUILD_BENCH=ON >/dev/null
ninja -C "$build" -j2

export ORVEL_TEST_MEDIA_DIR=$build/media
bash "$root/tests/media/generate_media.sh" "$ORVEL_TEST_MEDIA_DIR" | tail -n 1

mapfile -t benches < <(find "$build/bench" -maxdepth 1 -type f -executable -name '*_bench' | sort)
if (( ${#benches[@]} == 0 )); then
    echo "bench.sh: no benchmarks built yet (bench/*_bench.cpp)"
    exit 0
fi

failed=()
for bench in "${benches[@]}"; do
    name=$(basename "$bench")
    printf '\n==== %s ====\n' "$name"
    start=$(date +%s.%N)
    if QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$bench" "$@"; then
        awk -v n="$name" -v a="$start" -v b="$(date +%s.%N)" \
            'BEGIN { printf "==== %s: done in %.1f s ====\n", n, b - a }'
    else
        echo "==== $name: FAILED (status $?) ===="
        failed+=("$name")
    fi
done

printf '\n==== loudness: orvel-cli vs ffmpeg ====\n'
bash "$root/scripts/bench_loudness.sh" "$build" || failed+=("loudness")

if (( ${#failed[@]} > 0 )); then
    echo "bench.sh: failed: ${failed[*]}" >&2
    exit 1
fi
