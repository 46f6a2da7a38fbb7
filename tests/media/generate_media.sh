#!/usr/bin/env bash
# Generates the test clips into OUTDIR with the ffmpeg CLI and checks each one with
# tests/media/check_media.sh. Run as the "generate_media" test fixture.
#
# Work is cached: OUTDIR/.generator.sha256 holds the hash of this script and of
# scripts/make_demo.sh. When it matches, only missing clips are made again; when it does
# not, every clip is made again. A failed clip makes the script exit non-zero.
#
# Usage: generate_media.sh OUTDIR [CLIP...]    (CLIP names restrict the run, for debugging)
#
# Every video has its frame number (0-based) burnt in at the bottom centre.
# Unless a clip says otherwise, audio channel g (numbered from 0 across all audio streams
# of the file, in stream order) is a sine of (g + 1) x 250 Hz with a peak of -(12 + 2g)
# dBFS: ch1 250 Hz -12 dBFS, ch2 500 Hz -14 dBFS, ch3 750 Hz -16 dBFS, ... so both the
# routing and the meters can tell the channels apart.
set -euo pipefail

out=${1:?usage: generate_media.sh OUTDIR [CLIP...]}
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
make_demo=$root/scripts/make_demo.sh
checker=$here/check_media.sh
font=/usr/share/fonts/truetype/liberation/LiberationMono-Bold.ttf

for tool in ffmpeg ffprobe sha256sum flock; do
    command -v "$tool" >/dev/null || { echo "generate_media: '$tool' not found (run scripts/deps.sh)" >&2; exit 1; }
done
[[ -r $font ]] || { echo "generate_media: missing font $font (install fonts-liberation)" >&2; exit 1; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
# Two builds or a test run and scripts/run.sh may generate into the same folder.
exec 9>"$out/.generate.lock"
flock 9

mapfile -t ALL_CLIPS < <(bash "$checker" --list)

# ---- building blocks ---------------------------------------------------------------

ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }

# counter HEIGHT: drawtext filter for a frame counter sized for a picture HEIGHT tall.
counter() {
    local fs=$(( $1 / 6 ))
    (( fs < 24 )) && fs=24
    printf "drawtext=fontfile=%s:text='%%{frame_num}':fontsize=%d:fontcolor=white" "$font" "$fs"
    printf ":box=1:boxcolor=black:boxborderw=%d:x=(w-text_w)/2:y=h-text_h-%d" $(( fs / 10 + 2 )) $(( $1 / 27 ))
}

# tag_colour PRIMARIES TRANSFER MATRIX RANGE: colour tags set on the frames themselves.
tag_colour() { echo "setparams=color_primaries=$1:color_trc=$2:colorspace=$3:range=$4"; }

# bars W H RATE SECONDS / pattern W H RATE SECONDS: video source with the counter.
# FFmpeg 7 tags the bars' frames (bt470bg, tv) and its encoders keep that; 5.1 left them
# untagged, which is what every clip not about colour tags is meant to be.
bars()    { echo "smptehdbars=s=$1x$2:r=$3:d=$4,$(tag_colour unknown unknown unknown unknown),$(counter "$2")"; }
pattern() { echo "testsrc2=s=$1x$2:r=$3:d=$4,$(counter "$2")"; }

# tones FIRST COUNT SECONDS: aevalsrc with COUNT channels following the channel rule
# above, starting at global channel FIRST.
tones() {
    local first=$1 count=$2 secs=$3 expr="" g amp
    for (( g = first; g < first + count; g++ )); do
        amp=$(awk -v db=$(( -(12 + 2 * g) )) 'BEGIN { printf "%.9f", 10 ^ (db / 20) }')
        expr+="${expr:+|}${amp}*sin(2*PI*$(( (g + 1) * 250 ))*t)"
    done
    echo "aevalsrc=${expr}:s=48000:d=${secs}"
}

# sine_stereo FREQ DBFS SECONDS: the same sine on both channels at a peak of DBFS.
sine_stereo() {
    local amp
    amp=$(awk -v db="$2" 'BEGIN { printf "%.9f", 10 ^ (db / 20) }')
    echo "aevalsrc=${amp}*sin(2*PI*$1*t)|${amp}*sin(2*PI*$1*t):s=48000:c=stereo:d=$3"
}

# stepped_sine FREQ DB:SECONDS...: a stereo sine whose peak level steps through the list.
stepped_sine() {
    local freq=$1 expr=0 end total=0 duration part db secs amp
    shift
    for part in "$@"; do
        total=$(( total + ${part#*:} ))
    done
    duration=$total
    for part in $(printf '%s\n' "$@" | tac); do
        db=${part%%:*}
        secs=${part#*:}
        amp=$(awk -v db="$db" 'BEGIN { printf "%.9f", 10 ^ (db / 20) }')
        end=$(( total ))
        total=$(( total - secs ))
        expr="if(lt(t\\,${end})\\,${amp}\\,${expr})"
    done
    echo "aevalsrc=${expr}*sin(2*PI*${freq}*t)|${expr}*sin(2*PI*${freq}*t):s=48000:c=stereo:d=${duration}"
}

# level_sines FREQ SECONDS DB...: one channel per DB, each the same sine at that peak level.
level_sines() {
    local freq=$1 secs=$2 expr="" db amp
    shift 2
    for db in "$@"; do
        amp=$(awk -v db="$db" 'BEGIN { printf "%.9f", 10 ^ (db / 20) }')
        expr+="${expr:+|}${amp}*sin(2*PI*${freq}*t)"
    done
    echo "aevalsrc=${expr}:s=48000:d=${secs}"
}

# ---- colour: bars of known R'G'B' ----
# Eight vertical bars, left to right (8-bit R,G,B): red 191,0,0; green 0,191,0; blue
# 0,0,191; yellow 191,191,0; cyan 0,191,191; magenta 191,0,191; grey 128,128,128; orange
# 230,120,40. tests/ui/tst_colour_pipeline.cpp holds the same table.
BAR_R=(191 0 0 191 0 191 128 230)
BAR_G=(0 191 0 191 191 0 128 120)
BAR_B=(0 0 191 0 191 191 128 40)

# bar_expr SCALE V0..V7: geq expression of the eight bars, each value times SCALE / 255
# rounded (SCALE: the maximum code value of the depth).
bar_expr() {
    local scale=$1 e="" i v
    shift
    local -a values=("$@")
    for (( i = 7; i >= 0; i-- )); do
        v=$(( (values[i] * scale * 2 + 255) / 510 ))
        if (( i == 7 )); then e=$v; else e="if(lt(X\,$(( i + 1 ))*W/8)\,$v\,$e)"; fi
    done
    echo "$e"
}

# colour_bars W H PLANAR_RGB_FORMAT: five frames at 25 fps of the bars (drawn once, repeated).
colour_bars() {
    local scale=255
    case $3 in gbrp10le) scale=1023 ;; gbrp16le) scale=65535 ;; esac
    echo "nullsrc=s=$1x$2:r=25:d=0.04,format=$3,geq=r=$(bar_expr $scale "${BAR_R[@]}"):g=$(bar_expr $scale "${BAR_G[@]}"):b=$(bar_expr $scale "${BAR_B[@]}"),loop=loop=4:size=1"
}

# to_yuv MATRIX RANGE FORMAT: the bars to Y'CbCr with an explicit matrix and range.
to_yuv() { echo "scale=out_color_matrix=$1:out_range=$2:flags=accurate_rnd+full_chroma_int,format=$3"; }

# lossless_h264 PIXFMT: H.264 that decodes to exactly what was encoded.
lossless_h264() { echo "-c:v libx264 -preset ultrafast -qp 0 -pix_fmt $1"; }

X264=(-c:v libx264 -preset ultrafast -pix_fmt yuv420p)
LOSSLESS=(-c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv)
tags_709() { echo "-colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv"; }

# legal_pattern W H RATE SECONDS: the moving test pattern converted to Y'CbCr with the
# BT.709 matrix it is tagged with, so every colour decodes back inside the legal range.
legal_pattern() {
    echo "testsrc2=s=$1x$2:r=$3:d=$4,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p,$(tag_colour bt709 bt709 bt709 tv)"
}
# prores_aw rather than prores_ks: several times faster, and the MXF muxer of FFmpeg 5.1
# refuses prores_ks output ("could not get prores profile").

# make_clip NAME TMPFILE: writes clip NAME to TMPFILE (same extension as NAME).
make_clip() {
    local name=$1 f=$2
    case $name in
    demo_bars_25p.mov)
        bash "$make_demo" "$f" ;;
    h264_1080p25.mov)
        # B-frames on purpose: decode order differs from display order, as in camera files.
        ff -f lavfi -i "$(bars 1920 1080 25 4)" -f lavfi -i "$(tones 0 2 4)" -f lavfi -i "$(tones 2 2 4)" \
           -map 0:v -map 1:a -map 2:a "${X264[@]}" -bf 2 -g 50 -keyint_min 50 -sc_threshold 0 \
           -c:a aac -b:a 256k -timecode 01:00:00:00 "$f" ;;
    prores_hq_pcm24.mov)
        ff -f lavfi -i "$(bars 1920 1080 25 2)" -f lavfi -i "$(tones 0 2 2)" -map 0:v -map 1:a \
           -c:v prores_aw -profile:v 3 -pix_fmt yuv422p10le -c:a pcm_s24le "$f" ;;
    prores4444_alpha.mov)
        # Alpha is a horizontal ramp: fully transparent at the left edge, opaque at the right.
        ff -f lavfi -i "$(bars 1920 1080 25 1),format=yuva444p10le" \
           -f lavfi -i "color=c=black:s=256x16:r=25:d=1,format=gray,geq=lum='X',scale=1920:1080,format=gray" \
           -filter_complex "[0:v][1:v]alphamerge,format=yuva444p10le[v]" -map "[v]" \
           -c:v prores_aw -profile:v 4 -pix_fmt yuva444p10le "$f" ;;
    prores.mxf)
        ff -f lavfi -i "$(bars 1920 1080 25 1)" -c:v prores_aw -profile:v 3 -pix_fmt yuv422p10le \
           -timecode 01:00:00:00 -f mxf "$f" ;;
    dnxhr_hq.mov)
        ff -f lavfi -i "$(bars 1920 1080 25 1)" -c:v dnxhd -profile:v dnxhr_hq -pix_fmt yuv422p "$f" ;;
    dnxhr_444.mov)
        ff -f lavfi -i "$(bars 1920 1080 25 1)" -c:v dnxhd -profile:v dnxhr_444 -pix_fmt yuv444p10le "$f" ;;
    uhd_h264.mp4)
        ff -f lavfi -i "$(pattern 3840 2160 25 0.4)" "${X264[@]}" -frames:v 10 "$f" ;;
    uhd_prores.mov)
        ff -f lavfi -i "$(pattern 3840 2160 25 0.4)" -c:v prores_aw -profile:v 3 \
           -pix_fmt yuv422p10le -frames:v 10 "$f" ;;
    uhd_hevc.mp4)
        ff -f lavfi -i "$(pattern 3840 2160 25 0.4)" -c:v libx265 -preset ultrafast -pix_fmt yuv420p \
           -x265-params log-level=error -tag:v hvc1 -frames:v 10 "$f" ;;
    h264.mkv)
        ff -f lavfi -i "$(pattern 1280 720 25 2)" -f lavfi -i "$(tones 0 2 2)" -map 0:v -map 1:a \
           "${X264[@]}" -c:a aac -b:a 256k "$f" ;;
    bgra.avi)
        ff -f lavfi -i "$(pattern 320 240 25 1),format=bgra" -c:v rawvideo -pix_fmt bgra "$f" ;;
    # Image sequences are folders of numbered files.
    seq_dpx10)
        # 10-bit DPX from 86400; 86405 is left out (a gap).
        mkdir -p "$f"
        ff -f lavfi -i "$(pattern 320 180 24 0.5)" -pix_fmt gbrp10le -start_number 86400 "$f/shot.%06d.dpx"
        rm "$f/shot.086405.dpx" ;;
    seq_tiff16)
        mkdir -p "$f"
        ff -f lavfi -i "$(pattern 320 180 24 0.5)" -pix_fmt rgb48le -start_number 1001 "$f/plate_%04d.tif" ;;
    seq_png)
        # Unpadded numbers: img1.png ... img12.png.
        mkdir -p "$f"
        ff -f lavfi -i "$(pattern 320 180 24 0.5)" -pix_fmt rgb24 -start_number 1 "$f/img%d.png" ;;
    seq_exr_half)
        # Half-float linear ramp, the same in every channel, rising from 0 at the left to 1
        # at the right (through rgb24: FFmpeg 5.1 turns gray straight into float wrongly).
        mkdir -p "$f"
        ff -f lavfi -i "color=c=black:s=256x16:r=24:d=0.25,format=gray,geq=lum='X',format=rgb24" \
           -vf format=gbrpf32le -c:v exr -format half -compression none -start_number 1 "$f/ramp.%04d.exr" ;;
    still.png)
        ff -f lavfi -i "$(pattern 640 360 25 1)" -frames:v 1 -update 1 "$f" ;;
    raw.h264)
        ff -f lavfi -i "$(pattern 640 360 25 2)" "${X264[@]}" -f h264 "$f" ;;
    vp9.webm)
        ff -f lavfi -i "$(pattern 640 360 25 2)" -f lavfi -i "$(tones 0 2 2)" -map 0:v -map 1:a \
           -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 800k -pix_fmt yuv420p \
           -c:a libopus -b:a 128k "$f" ;;
    av1.mkv)
        ff -f lavfi -i "$(pattern 320 240 25 1)" -c:v libaom-av1 -cpu-used 8 -usage realtime \
           -row-mt 1 -b:v 300k -pix_fmt yuv420p "$f" ;;
    bwf_tc.wav)
        # time_reference 172800000 samples at 48 kHz = 3600 s = 01:00:00:00.
        ff -f lavfi -i "$(tones 0 2 10)" -c:a pcm_s24le -write_bext 1 \
           -metadata time_reference=172800000 "$f" ;;
    audio.flac)
        ff -f lavfi -i "$(sine_stereo 440 -20 10)" -c:a flac "$f" ;;
    audio.m4a)
        ff -f lavfi -i "$(sine_stereo 440 -20 10)" -c:a aac -b:a 192k "$f" ;;
    audio.opus)
        ff -f lavfi -i "$(sine_stereo 440 -20 10)" -c:a libopus -b:a 256k "$f" ;;
    mono.mov)
        ff -f lavfi -i "$(bars 640 360 25 2)" -f lavfi -i "$(tones 0 1 2)" -map 0:v -map 1:a \
           "${X264[@]}" -c:a pcm_s16le "$f" ;;
    five_stereo.mov)
        local -a ins=() maps=()
        local s
        for s in 0 1 2 3 4; do
            ins+=(-f lavfi -i "$(tones $(( 2 * s )) 2 2)")
            maps+=(-map "$(( s + 1 )):a")
        done
        ff -f lavfi -i "$(bars 640 360 25 2)" "${ins[@]}" -map 0:v "${maps[@]}" \
           "${X264[@]}" -c:a pcm_s16le "$f" ;;
    video_6ch.mov)
        ff -f lavfi -i "$(bars 640 360 25 2)" -f lavfi -i "$(tones 0 6 2)" -map 0:v -map 1:a \
           "${X264[@]}" -c:a pcm_s16le "$f" ;;
    twelve_ch.mov)
        ff -f lavfi -i "$(bars 640 360 25 2)" -f lavfi -i "$(tones 0 6 2)" -f lavfi -i "$(tones 6 6 2)" \
           -map 0:v -map 1:a -map 2:a "${X264[@]}" -c:a pcm_s16le "$f" ;;
    bt709.mp4)
        # Tagged twice: FFmpeg 5.1's CLI takes the encoder options, 7's prefers the frames'
        # own (otherwise unset) primaries and transfer.
        ff -f lavfi -i "$(bars 1280 720 25 1),format=yuv420p,$(tag_colour bt709 bt709 bt709 tv)" \
           "${X264[@]}" -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv "$f" ;;
    untagged.mp4)
        ff -f lavfi -i "$(bars 1280 720 25 1)" "${X264[@]}" "$f" ;;
    interlaced.mov)
        ff -f lavfi -i "$(pattern 1920 1080 25 1)" "${X264[@]}" -flags +ildct+ilme -x264-params tff=1 "$f" ;;
    abnormal_fps.mkv)
        # Frames are 40 ms apart (r_frame_rate 25) but the track's DefaultDuration claims
        # 1 ms (avg_frame_rate 1000). No muxer option writes that on every FFmpeg (5.1 took
        # -r 500 with passthrough timing, 7 refuses the pair), so the 40 ms it writes is
        # patched in place; CRC elements are off so the patch leaves the file consistent.
        ff -f lavfi -i "$(pattern 320 240 25 2)" "${X264[@]}" -write_crc32 0 "$f"
        patch_default_duration "$f" 1000000 ;;
    abnormal_fps_500.mkv)
        # DefaultDuration 2 ms: avg_frame_rate and r_frame_rate both read back as 500.
        ff -f lavfi -i "$(pattern 320 240 25 2)" "${X264[@]}" -write_crc32 0 "$f"
        patch_default_duration "$f" 2000000 ;;
    h264_2997df.mov)
        ff -f lavfi -i "$(pattern 1280 720 30000/1001 2)" "${X264[@]}" -timecode '01:00:00;00' "$f" ;;
    tone_1k_-18dbfs.wav)
        ff -f lavfi -i "$(sine_stereo 1000 -18 2)" -c:a pcm_s24le "$f" ;;
    # pixel inspector
    rgb48be_png.mov)
        # 16-bit PNG decodes to big-endian RGB48.
        ff -f lavfi -i "$(pattern 320 180 25 1),format=rgb48be" -c:v png -pix_fmt rgb48be "$f" ;;
    yuv422p10_pattern.mov)
        # Colour changes every few pixels, so chroma read at the wrong sample shows.
        ff -f lavfi -i "$(pattern 640 360 25 1)" -c:v prores_aw -profile:v 3 -pix_fmt yuv422p10le "$f" ;;
    # -- stream containers: seeks by decode time, open GOPs, a picture-stream timecode --
    mpeg2_2997df_gop_tc.ts)
        # Broadcast-style MPEG-2: open GOPs of 15 with two B-frames; the timecode lives only
        # in the GOP headers (the TS muxer writes no timecode tag).
        ff -f lavfi -i "$(pattern 720 480 30000/1001 8)" -f lavfi -i "$(sine_stereo 1000 -18 8)" \
           -c:v mpeg2video -g 15 -bf 2 -b:v 4M -flags -cgop -c:a mp2 -timecode '00:59:59;20' "$f" ;;
    h264_opengop.ts)
        ff -f lavfi -i "$(pattern 640 360 25 4)" -f lavfi -i "$(tones 0 2 4)" \
           "${X264[@]}" -bf 2 -g 25 -sc_threshold 0 -x264-params open-gop=1 -c:a aac -b:a 192k "$f" ;;
    mpeg2_opengop.mpg)
        # MPEG-PS (DVD-style program stream).
        ff -f lavfi -i "$(pattern 720 576 25 4)" -f lavfi -i "$(tones 0 2 4)" \
           -c:v mpeg2video -g 12 -bf 2 -b:v 4M -flags -cgop -c:a mp2 -f vob "$f" ;;
    two_rates_48k_44k1.mov)
        # A second audio stream at another rate than the first: 600 Hz at 48 kHz, then
        # 1 kHz at 44.1 kHz.
        ff -f lavfi -i "$(pattern 640 360 25 4)" -f lavfi -i "$(sine_stereo 600 -12 4)" \
           -f lavfi -i "$(sine_stereo 1000 -12 4 | sed 's/:s=48000:/:s=44100:/')" \
           -map 0:v -map 1:a -map 2:a "${X264[@]}" -c:a pcm_s16le "$f" ;;
    # Containers for the desktop entry's file types.
    container.ts)
        ff -f lavfi -i "$(pattern 320 240 25 1)" -f lavfi -i "$(sine_stereo 440 -20 1)" \
           "${X264[@]}" -c:a mp2 "$f" ;;
    container.mpg)
        ff -f lavfi -i "$(pattern 320 240 25 1)" -f lavfi -i "$(sine_stereo 440 -20 1)" \
           -c:v mpeg2video -c:a mp2 "$f" ;;
    audio.mp3)
        ff -f lavfi -i "$(sine_stereo 440 -20 1)" -c:a libmp3lame "$f" ;;
    audio.aac)
        ff -f lavfi -i "$(sine_stereo 440 -20 1)" -c:a aac -f adts "$f" ;;
    audio.ogg)
        ff -f lavfi -i "$(sine_stereo 440 -20 1)" -c:a libvorbis "$f" ;;
    # ---- loudness measurement: EBU-style 1 kHz signals at known levels ----
    loudness_1k_-23dbfs.wav)
        ff -f lavfi -i "$(sine_stereo 1000 -23 20)" -c:a pcm_s24le "$f" ;;
    loudness_1k_-33dbfs.wav)
        ff -f lavfi -i "$(sine_stereo 1000 -33 20)" -c:a pcm_s24le "$f" ;;
    loudness_gate_36_23_36.wav)
        ff -f lavfi -i "$(stepped_sine 1000 -36:10 -23:60 -36:10)" -c:a pcm_s24le "$f" ;;
    loudness_gate_72_36_23_36_72.wav)
        ff -f lavfi -i "$(stepped_sine 1000 -72:10 -36:10 -23:60 -36:10 -72:10)" -c:a pcm_s24le "$f" ;;
    loudness_isp_12k.wav)
        local amp=0.5
        ff -f lavfi -i "aevalsrc=${amp}*sin(2*PI*12000*t+PI/4)|${amp}*sin(2*PI*12000*t+PI/4):s=48000:c=stereo:d=5" \
           -c:a pcm_s24le "$f" ;;
    loudness_stereo_51.mov)
        # Global channel g is a 1 kHz sine at -(20 + g) dBFS: stereo (0, 1), 5.1 (2..7), and a
        # mono third stream (8) that the eight-channel limit leaves out.
        ff -f lavfi -i "$(bars 320 180 25 10)" \
           -f lavfi -i "$(level_sines 1000 10 -20 -21)" \
           -f lavfi -i "$(level_sines 1000 10 -22 -23 -24 -25 -26 -27)" \
           -f lavfi -i "$(level_sines 1000 10 -28)" \
           -map 0:v -map 1:a -map 2:a -map 3:a "${X264[@]}" -c:a pcm_s16le "$f" ;;
    loudness_two_rates.mkv)
        ff -f lavfi -i "$(level_sines 1000 10 -20 -20)" -f lavfi -i "$(level_sines 1000 10 -26 -30),aresample=44100" \
           -map 0:a -map 1:a -c:a pcm_s16le "$f" ;;
    # ---- waveform scope: flat bands of known levels, lossless, no counter burnt in ----
    scope_bands_limited.mp4)
        # Thirds: black 16, grey 126, white 235 (8-bit limited range). The frames carry the
        # output's tags: FFmpeg 7 would otherwise convert untagged frames (taken as BT.601)
        # to the BT.709 asked for below, through RGB, and grey would come out as 125.
        ff -f lavfi -i "nullsrc=s=640x360:r=25:d=0.2,format=yuv420p,geq=lum='if(lt(X,W/3),16,if(lt(X,2*W/3),126,235))':cb=128:cr=128,$(tag_colour bt709 bt709 bt709 tv)" \
           -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p \
           -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv "$f" ;;
    scope_bands_full.mkv)
        # The same nominal levels in full range: 0, 128, 255. Matroska: no FourCC, whose
        # table would force H.264 to video range.
        ff -f lavfi -i "nullsrc=s=640x360:r=25:d=0.2,format=yuv420p,geq=lum='if(lt(X,W/3),0,if(lt(X,2*W/3),128,255))':cb=128:cr=128,setparams=range=pc" \
           -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -color_range pc "$f" ;;
    # ---- colour: known bars through every matrix, range and depth the table test reads ----
    colour_bt601_sd420.mp4)
        # shellcheck disable=SC2046
        ff -f lavfi -i "$(colour_bars 720 576 gbrp),$(to_yuv smpte170m tv yuv420p),$(tag_colour smpte170m smpte170m smpte170m tv)" \
           $(lossless_h264 yuv420p) -color_primaries smpte170m -color_trc smpte170m -colorspace smpte170m -color_range tv "$f" ;;
    colour_bt709_hd420.mp4 | colour_bt709_hd444.mp4)
        local sub=yuv420p
        [[ $name == *444* ]] && sub=yuv444p
        # shellcheck disable=SC2046
        ff -f lavfi -i "$(colour_bars 1920 1080 gbrp),$(to_yuv bt709 tv $sub),$(tag_colour bt709 bt709 bt709 tv)" \
           $(lossless_h264 $sub) -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range tv "$f" ;;
    colour_bt2020_10bit422.mkv)
        # FFV1: lossless at 10 bits, and Matroska keeps the tags (ProRes from this CLI has none).
        ff -f lavfi -i "$(colour_bars 1920 1080 gbrp),$(to_yuv bt2020 tv yuv422p10le),$(tag_colour bt2020 bt2020-10 bt2020nc tv)" \
           -c:v ffv1 -pix_fmt yuv422p10le \
           -color_primaries bt2020 -color_trc bt2020-10 -colorspace bt2020nc -color_range tv "$f" ;;
    colour_bt601_full422.mkv | colour_bt709_10bit444.mkv)
        # FFV1 again: lossless, and the tags kept for 4:2:2 full range and 10-bit 4:4:4.
        local matrix=smpte170m range=pc fmt=yuv422p
        [[ $name == *709* ]] && matrix=bt709 range=tv fmt=yuv444p10le
        ff -f lavfi -i "$(colour_bars 1920 1080 gbrp),$(to_yuv $matrix $range $fmt),$(tag_colour $matrix $matrix $matrix $range)" \
           -c:v ffv1 -pix_fmt $fmt -color_primaries $matrix -color_trc $matrix -colorspace $matrix -color_range $range "$f" ;;
    colour_bt709_full420.mkv)
        # Matroska: no FourCC, whose table would force H.264 to video range.
        # shellcheck disable=SC2046
        ff -f lavfi -i "$(colour_bars 1920 1080 gbrp),$(to_yuv bt709 pc yuv420p),$(tag_colour bt709 bt709 bt709 pc)" \
           $(lossless_h264 yuv420p) -color_primaries bt709 -color_trc bt709 -colorspace bt709 -color_range pc "$f" ;;
    colour_untagged_hd420.mp4 | colour_untagged_sd420.mp4)
        # Made with the BT.709 matrix and left untagged: the untagged rule reads BT.709 at
        # every size.
        local size="1920 1080"
        [[ $name == *sd* ]] && size="720 576"
        # shellcheck disable=SC2046,SC2086
        ff -f lavfi -i "$(colour_bars $size gbrp),$(to_yuv bt709 tv yuv420p),$(tag_colour unknown unknown unknown unknown)" \
           $(lossless_h264 yuv420p) "$f" ;;
    colour_gbrp10.mkv)
        ff -f lavfi -i "$(colour_bars 1920 1080 gbrp10le)" -c:v ffv1 -pix_fmt gbrp10le "$f" ;;
    colour_rgb48.mov)
        # 16-bit PNG decodes to big-endian RGB48.
        ff -f lavfi -i "$(colour_bars 1920 1080 gbrp16le),format=rgb48be" -c:v png -pix_fmt rgb48be "$f" ;;
    # ---- QC analysis: faults planted at known frames and times (no frame counter burnt
    # in: it would make frozen pictures move) ----
    qc_faults.mkv)
        # 12 s at 25 fps, lossless, timecode 10:00:00:00: black frames 100-124, frames
        # 151-199 repeat frame 150 (a 2 s freeze from 150), Y at 250 on frames 220-229,
        # frame 260 dropped with the other timestamps kept. Sound: a 1 kHz tone at -23 dBFS,
        # the left channel silent from 2.0 to 4.5 s, the right at +0.5 dBFS (float samples
        # may pass full scale) from 7.0 to 7.1 s.
        local a=0.0707946 b=1.0592537
        ff -f lavfi -i "$(legal_pattern 640 360 25 12)" \
           -f lavfi -i "aevalsrc=if(gte(t\,2)*lt(t\,4.5)\,0\,$a*cos(2*PI*1000*t))|if(gte(t\,7)*lt(t\,7.1)\,$b\,$a)*sin(2*PI*1000*t):s=48000:c=stereo:d=12" \
           -filter_complex "[0:v]drawbox=c=black:t=fill:enable='between(n,100,124)',split[a][b];[a][b]freezeframes=first=151:last=199:replace=150,lutyuv=y=250:enable='between(n,220,229)',select='not(eq(n,260))'[v]" \
           -map "[v]" -map 1:a -fps_mode passthrough "${LOSSLESS[@]}" -c:a pcm_f32le -timecode 10:00:00:00 "$f" ;;
    qc_clean.mov)
        # Moving pattern within legal levels and a steady 1 kHz tone at -23 LUFS.
        ff -f lavfi -i "$(legal_pattern 640 360 25 12)" -f lavfi -i "$(sine_stereo 1000 -23 12)" \
           -map 0:v -map 1:a "${X264[@]}" $(tags_709) -c:a pcm_s24le "$f" ;;
    qc_edges.mkv)
        # 4 s, no sound: black frames 0-9, 50 (a one-frame flash) and 90-99.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4),drawbox=c=black:t=fill:enable='between(n,0,9)+eq(n,50)+between(n,90,99)'" \
           "${LOSSLESS[@]}" "$f" ;;
    qc_freeze_end.mkv)
        # 4 s, no sound: frames 41-99 repeat frame 40, a freeze that runs to the last frame.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4)" \
           -filter_complex "[0:v]split[a][b];[a][b]freezeframes=first=41:last=99:replace=40[v]" -map "[v]" \
           "${LOSSLESS[@]}" "$f" ;;
    qc_full_range.mkv)
        # Full range, 8 bits: luma 30-37 on frames 0-49 (black only if read as limited range),
        # 0-7 on frames 50-99; the pattern moves by a sample per frame.
        ff -f lavfi -i "nullsrc=s=320x240:r=25:d=4,format=yuv420p,geq=lum='if(lt(N\,50)\,30\,0)+mod(X+N\,8)':cb=128:cr=128,setparams=range=pc" \
           -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv420p -color_range pc "$f" ;;
    qc_10bit.mkv)
        # Limited range, 10 bits: luma 160-167 on frames 0-49 (not black), 140-147 on frames
        # 50-99 (black: below 64 + 10 % of 876).
        ff -f lavfi -i "nullsrc=s=320x240:r=25:d=4,format=yuv422p10le,geq=lum='if(lt(N\,50)\,160\,140)+mod(X+N\,8)':cb=512:cr=512,setparams=range=tv" \
           -c:v ffv1 -pix_fmt yuv422p10le -color_range tv "$f" ;;
    qc_audio_only.wav)
        # 6 s stereo, 1 kHz at -23 dBFS (cosine: no zero sample at the edges); the right
        # channel silent from 1.0 to 3.5 s.
        ff -f lavfi -i "aevalsrc=0.0707946*cos(2*PI*1000*t)|if(gte(t\,1)*lt(t\,3.5)\,0\,0.0707946*cos(2*PI*1000*t)):s=48000:c=stereo:d=6" \
           -c:a pcm_s24le "$f" ;;
    qc_streams.mov)
        # Two stereo streams (global channels 0-1 and 2-3); channel 3 silent throughout.
        ff -f lavfi -i "$(legal_pattern 320 240 25 3)" -f lavfi -i "$(sine_stereo 1000 -23 3)" \
           -f lavfi -i "aevalsrc=0.0707946*sin(2*PI*1000*t)|0:s=48000:c=stereo:d=3" \
           -map 0:v -map 1:a -map 2:a "${X264[@]}" $(tags_709) -c:a pcm_s16le "$f" ;;
    qc_graphs.mkv)
        # 8 s at 25 fps, lossless limited-range luma: black (16) on frames 0-49, white (235)
        # on 50-99, the left half black and the right half white on 100-199. Sound: four
        # channels of a 1 kHz tone, 0 and 1 at -23 dBFS (-23 LUFS as a pair), 2 and 3 at -33.
        ff -f lavfi -i "nullsrc=s=320x240:r=25:d=8,format=yuv420p,geq=lum='if(lt(N\,50)\,16\,if(lt(N\,100)\,235\,if(lt(X\,W/2)\,16\,235)))':cb=128:cr=128,setparams=range=tv" \
           -f lavfi -i "$(level_sines 1000 8 -23 -23 -33 -33)" \
           -map 0:v -map 1:a -c:v ffv1 -pix_fmt yuv420p -color_range tv -c:a pcm_s24le "$f" ;;
    qc_tc_break.mkv)
        # MPEG-2 whose GOP headers count from 01:00:00:00 for 25 frames, then from
        # 05:00:00:00 (two streams joined): a timecode break at frame 25.
        local part
        for part in 01:00:00:00 05:00:00:00; do
            ff -f lavfi -i "$(legal_pattern 320 240 25 1)" -c:v mpeg2video -g 5 -bf 0 -b:v 2M \
               -timecode "$part" -f mpeg2video "$f.$part.m2v"
        done
        cat "$f.01:00:00:00.m2v" "$f.05:00:00:00.m2v" >"$f.joined.m2v"
        ff -fflags +genpts -r 25 -i "$f.joined.m2v" -c copy -f matroska "$f"
        rm -f "$f".*.m2v ;;
    # ---- comparing two files: one clip and its re-deliveries (a box at A's frame 37) ----
    cmp_a.mkv)
        # 4 s at 25 fps, lossless, timecode 10:00:00:00.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4)" "${LOSSLESS[@]}" -timecode 10:00:00:00 "$f" ;;
    cmp_b_box.mkv)
        # The same pictures, lossless, a filled box on A's frame 37 only, starting with A's
        # frame 3 (timecode 10:00:00:03): 97 frames.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4),drawbox=x=40:y=40:w=32:h=24:c=red:t=fill:enable='eq(n,37)',trim=start_frame=3,setpts=PTS-STARTPTS" \
           "${LOSSLESS[@]}" -timecode 10:00:00:03 "$f" ;;
    cmp_lossy.mkv)
        # A's pictures through a lossy encode: every frame differs a little.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4)" -c:v libx264 -preset ultrafast -crf 32 -pix_fmt yuv420p \
           $(tags_709) -timecode 10:00:00:00 "$f" ;;
    cmp_30fps.mkv)
        # The same pattern at another rate.
        ff -f lavfi -i "$(legal_pattern 320 240 30 4)" "${LOSSLESS[@]}" -timecode 10:00:00:00 "$f" ;;
    cmp_audio_a.mkv)
        # A's pictures with a 997 Hz tone (PCM, 48 kHz stereo).
        ff -f lavfi -i "$(legal_pattern 320 240 25 4)" \
           -f lavfi -i "aevalsrc=exprs='0.5*sin(2*PI*997*t+1)':s=48000:c=stereo:d=4" \
           -map 0:v -map 1:a "${LOSSLESS[@]}" -c:a pcm_s16le -timecode 10:00:00:00 "$f" ;;
    cmp_audio_b.mkv)
        # The same from A's frame 3 (0.12 s) on, the tone halved from A's 2.0 s on.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4),trim=start_frame=3,setpts=PTS-STARTPTS" \
           -f lavfi -i "aevalsrc=exprs='0.5*sin(2*PI*997*(t+0.12)+1)*if(gte(t+0.12,2),0.5,1)':s=48000:c=stereo:d=3.88" \
           -map 0:v -map 1:a "${LOSSLESS[@]}" -c:a pcm_s16le -timecode 10:00:00:03 "$f" ;;
    cmp_half.mkv)
        # A's pictures at half the size, no timecode.
        ff -f lavfi -i "$(legal_pattern 320 240 25 4),scale=160:120" "${LOSSLESS[@]}" "$f" ;;
    *)
        echo "generate_media: unknown clip '$name'" >&2
        return 1 ;;
    esac
}

# Rewrites the Matroska DefaultDuration element (ID 23 E3 83, 3-byte value) from
# 2000000 ns to 1000000 ns.
# patch_default_duration FILE NANOSECONDS: rewrites the 40 ms (25 fps) DefaultDuration
# element of a Matroska file in place, keeping its 4-byte size (EBML allows leading zeros).
patch_default_duration() {
    local f=$1 ns=$2 offset
    offset=$(LC_ALL=C grep -obUaP '\x23\xe3\x83\x84\x02\x62\x5a\x00' "$f" | head -n1 | cut -d: -f1)
    if [[ -z $offset ]]; then
        echo "generate_media: no 40 ms DefaultDuration element found in $f" >&2
        return 1
    fi
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(( ns >> 24 & 255 )) $(( ns >> 16 & 255 )) \
        $(( ns >> 8 & 255 )) $(( ns & 255 )))" | dd of="$f" bs=1 seek=$(( offset + 4 )) conv=notrunc status=none
}

# ---- driver ----------------------------------------------------------------------------

stamp_file=$out/.generator.sha256
want_stamp=$(cat "${BASH_SOURCE[0]}" "$make_demo" | sha256sum | cut -d' ' -f1)
have_stamp=$(cat "$stamp_file" 2>/dev/null || true)

if (( $# > 0 )); then
    clips=("$@")
    force=1
elif [[ $have_stamp == "$want_stamp" ]]; then
    clips=("${ALL_CLIPS[@]}")
    force=0
else
    clips=("${ALL_CLIPS[@]}")
    force=1
    rm -f "$stamp_file"
fi

# build_one NAME: makes and checks one clip; the clip only appears under its own name
# once it is complete and has passed its checks.
build_one() {
    local name=$1 target=$out/$1 tmp=$out/.partial.$1 t0=$SECONDS
    rm -rf "$tmp"
    if ! make_clip "$name" "$tmp" || [[ ! -s $tmp ]]; then
        echo "generate_media: FAILED to make $name"
        rm -rf "$tmp"
        return 1
    fi
    # A sequence is a folder: mv would move it into an old one of the same name.
    rm -rf "$target"
    mv -f "$tmp" "$target"
    if ! bash "$checker" "$out" "$name" >/dev/null 2>"$tmp.check"; then
        cat "$tmp.check"
        rm -rf "$tmp.check" "$target"
        echo "generate_media: $name does not have what its name promises"
        return 1
    fi
    rm -f "$tmp.check"
    echo "generate_media: made $name in $(( SECONDS - t0 )) s"
}

todo=()
for name in "${clips[@]}"; do
    if (( force )) || [[ ! -s $out/$name ]]; then
        todo+=("$name")
    fi
done

# The lavfi sources and drawtext run on one thread, so two clips at a time keep two
# cores busy. Each job's output is shown when it ends.
jobs=${ORVEL_MEDIA_JOBS:-2}
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
declare -A job_name=()
failed=()
made=0
start=$SECONDS

reap_one() {
    local pid status=0
    wait -n -p pid || status=$?
    cat "$logs/${job_name[$pid]}.log"
    if (( status == 0 )); then
        made=$(( made + 1 ))
    else
        failed+=("${job_name[$pid]}")
    fi
    unset "job_name[$pid]"
}

for name in "${todo[@]}"; do
    while (( ${#job_name[@]} >= jobs )); do
        reap_one
    done
    build_one "$name" >"$logs/$name.log" 2>&1 &
    job_name[$!]=$name
done
while (( ${#job_name[@]} > 0 )); do
    reap_one
done

if (( ${#failed[@]} > 0 )); then
    echo "generate_media: ${#failed[@]} clip(s) failed: ${failed[*]}" >&2
    exit 1
fi
if (( $# == 0 )); then
    echo "$want_stamp" >"$stamp_file"
fi
echo "generate_media: $made clip(s) made, ${#clips[@]} present in $out ($(( SECONDS - start )) s)"
