#!/usr/bin/env bash
# Builds Orvel and opens FILE, or the demo clip (SMPTE bars, counter, tones) without one.
# Usage: scripts/run.sh [FILE]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build}

bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 orvel orvel-cli

if (( $# > 0 )); then
    file=$(realpath -- "$1")
    [[ -r $file ]] || { echo "run.sh: cannot read $1" >&2; exit 1; }
else
    media=$build/media
    file=$media/demo_bars_25p.mov
    mkdir -p "$media"
    if [[ ! -s $file ]]; then
        echo "run.sh: making the demo clip $file"
        # Same lock as the test media generator, which writes the same folder.
        flock "$media/.generate.lock" bash "$root/scripts/make_demo.sh" "$media/.partial.run.demo.mov"
        mv -f "$media/.partial.run.demo.mov" "$file"
    fi
fi

# The player opens the file.
viewer=("$build/src/orvel")
# viewer=("$build/tools/orvel-cli" probe)    # the probe, without a window
exec "${viewer[@]}" "$file"
