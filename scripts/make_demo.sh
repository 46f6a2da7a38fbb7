#!/usr/bin/env bash
# Makes the demo clip: 20 s of SMPTE HD bars with a burnt-in frame counter, 1920x1080 at
# 25 fps, "timecode" 01:00:00:00, 1 kHz on the left and 400 Hz on the right, both sine
# peaks at -20 dBFS (amplitude 0.1), 16-bit PCM.
# Usage: scripts/make_demo.sh OUT.mov
set -euo pipefail

out=${1:?usage: make_demo.sh OUT.mov}
font=/usr/share/fonts/truetype/liberation/LiberationMono-Bold.ttf
[[ -r $font ]] || { echo "make_demo.sh: missing font $font (install fonts-liberation)" >&2; exit 1; }

# The counter sits in the bottom band of the bars so every colour bar stays measurable.
counter="drawtext=fontfile=${font}:text='%{frame_num}':fontsize=180:fontcolor=white"
counter+=":box=1:boxcolor=black:boxborderw=16:x=(w-text_w)/2:y=h-text_h-40"

# The colour tags go on the frames as well as to the encoder: FFmpeg 5.1's CLI takes the
# encoder options, 7's lets the frames' own (otherwise unset) primaries and transfer win.
bt709="setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709:range=tv"

mkdir -p "$(dirname "$out")"
ffmpeg -nostdin -hide_banner -v error -y \
    -f lavfi -i "smptehdbars=s=1920x1080:r=25:d=20,${counter},format=yuv420p,${bt709}" \
    -f lavfi -i "aevalsrc=0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*400*t):s=48000:c=stereo:d=20" \
    -map 0:v -map 1:a \
    -c:v libx264 -preset ultrafast -g 25 -crf 18 \
    -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv \
    -c:a pcm_s16le -timecode 01:00:00:00 \
    "$out"
