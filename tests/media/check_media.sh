#!/usr/bin/env bash
# Checks generated test clips against what their names promise (codec, tag, size, rate,
# stream layout, timecode, colour tags, frame counts, tone frequencies and levels), so a
# generator fault shows up here and not as a puzzling failure in some player test.
#
# Usage: check_media.sh DIR [CLIP...]   checks the named clips, or every clip
#        check_media.sh --list          prints the clip names, one per line
set -uo pipefail

CLIPS=(
    demo_bars_25p.mov h264_1080p25.mov prores_hq_pcm24.mov prores4444_alpha.mov prores.mxf
    dnxhr_hq.mov dnxhr_444.mov uhd_h264.mp4 uhd_prores.mov uhd_hevc.mp4
    h264.mkv bgra.avi still.png raw.h264 vp9.webm av1.mkv
    bwf_tc.wav audio.flac audio.m4a audio.opus
    mono.mov five_stereo.mov video_6ch.mov twelve_ch.mov
    bt709.mp4 untagged.mp4 interlaced.mov abnormal_fps.mkv abnormal_fps_500.mkv
    h264_2997df.mov tone_1k_-18dbfs.wav
    scope_bands_limited.mp4 scope_bands_full.mkv
    # pixel inspector
    rgb48be_png.mov yuv422p10_pattern.mov
    # colour: known bars
    colour_bt601_sd420.mp4 colour_bt709_hd420.mp4 colour_bt709_hd444.mp4 colour_bt2020_10bit422.mkv
    colour_bt709_full420.mkv colour_untagged_hd420.mp4 colour_untagged_sd420.mp4 colour_gbrp10.mkv
    colour_rgb48.mov colour_bt601_full422.mkv colour_bt709_10bit444.mkv
    mpeg2_2997df_gop_tc.ts h264_opengop.ts mpeg2_opengop.mpg two_rates_48k_44k1.mov
    # Containers the desktop entry offers to open that no clip above uses.
    container.ts container.mpg audio.mp3 audio.aac audio.ogg
    # loudness measurement
    loudness_1k_-23dbfs.wav loudness_1k_-33dbfs.wav loudness_gate_36_23_36.wav
    loudness_gate_72_36_23_36_72.wav loudness_isp_12k.wav loudness_stereo_51.mov
    loudness_two_rates.mkv
    # QC analysis
    qc_faults.mkv qc_clean.mov qc_edges.mkv qc_freeze_end.mkv qc_full_range.mkv qc_10bit.mkv
    qc_audio_only.wav qc_streams.mov qc_tc_break.mkv qc_graphs.mkv
    # image sequences (folders; their first file is probed)
    seq_dpx10 seq_tiff16 seq_png seq_exr_half
    # comparing two files
    cmp_a.mkv cmp_b_box.mkv cmp_lossy.mkv cmp_30fps.mkv cmp_half.mkv cmp_audio_a.mkv cmp_audio_b.mkv
)

if [[ ${1:-} == --list ]]; then
    printf '%s\n' "${CLIPS[@]}"
    exit 0
fi
dir=${1:?usage: check_media.sh DIR [CLIP...] | --list}
shift
(( $# > 0 )) && names=("$@") || names=("${CLIPS[@]}")

errors=()
fail() { errors+=("$*"); }

# ---- probes ------------------------------------------------------------------------------

P=""      # ffprobe -of flat output of the clip under test
FILE=""

probe() {
    FILE=$1
    P=$(ffprobe -v error -count_packets -show_format -show_streams -of flat "$FILE" 2>&1) ||
        { fail "ffprobe cannot read it: $P"; P=""; return 1; }
}

# files N FIRST: the sequence folder of the file under test holds N files, FIRST among them.
files() {
    local dir got
    dir=$(dirname "$FILE")
    got=$(find "$dir" -maxdepth 1 -type f | wc -l)
    [[ $got == "$1" ]] || fail "holds $got files, expected $1"
    [[ -s $dir/$2 ]] || fail "has no $2"
}

# value KEY: the flat value of KEY without quotes ("" when absent).
value() {
    local line
    line=$(awk -v k="$1=" 'index($0, k) == 1 { print substr($0, length(k) + 1); exit }' <<<"$P")
    line=${line#\"}
    echo "${line%\"}"
}

# is KEY VALUE: format-level or stream key equals VALUE. KEY "s0.codec_name" is shorthand
# for streams.stream.0.codec_name, "f.format_name" for format.format_name.
is() {
    local key=$1 want=$2 got
    if [[ $key =~ ^s([0-9]+)\.(.*)$ ]]; then
        key=streams.stream.${BASH_REMATCH[1]}.${BASH_REMATCH[2]}
    elif [[ $key == f.* ]]; then
        key=format.${key#f.}
    fi
    got=$(value "$key")
    [[ $got == "$want" ]] || fail "$key is '${got}', expected '$want'"
}

# count TYPE N: number of streams of codec_type TYPE.
count() {
    local got
    got=$(grep -c "^streams\.stream\.[0-9]*\.codec_type=\"$1\"$" <<<"$P")
    [[ $got == "$2" ]] || fail "has $got $1 stream(s), expected $2"
}

# audio STREAM TOL_DB F1:DB1 F2:DB2 ...: per channel of audio stream STREAM (e.g. 0:a:1) the
# sine frequency (from the zero-crossing rate, within 2 %) and the peak level, measured
# over 1 s from 0.25 s on: lossy codecs overshoot on the first packets (and Matroska keeps
# the AAC priming samples), which says nothing about the steady tone.
audio() {
    local stream=$1 tol=$2
    shift 2
    local stats rate
    stats=$(ffmpeg -nostdin -hide_banner -v info -ss 0.25 -t 1 -i "$FILE" -map "$stream" -af astats -f null - 2>&1 |
        awk '/Channel: [0-9]+/ { ch = $NF }
             /Overall/ { ch = "" }
             ch != "" && /Zero crossings rate:/ { zcr[ch] = $NF }
             ch != "" && /Peak level dB:/ { peak[ch] = $NF }
             END { for (c = 1; c in peak; c++) print c, zcr[c], peak[c] }')
    rate=$(ffprobe -v error -select_streams "${stream#*:}" -show_entries stream=sample_rate -of csv=p=0 "$FILE")
    local n=0 expected
    for expected in "$@"; do
        n=$(( n + 1 ))
        local line f db
        line=$(awk -v c="$n" '$1 == c' <<<"$stats")
        if [[ -z $line ]]; then
            fail "audio $stream has no channel $n"
            continue
        fi
        f=${expected%%:*}
        db=${expected#*:}
        read -r _ zcr peak <<<"$line"
        awk -v z="$zcr" -v r="$rate" -v f="$f" 'BEGIN { g = z * r / 2; exit !(g > f * 0.98 && g < f * 1.02) }' ||
            fail "audio $stream channel $n: frequency $(awk -v z="$zcr" -v r="$rate" 'BEGIN { printf "%.1f", z * r / 2 }') Hz, expected $f Hz"
        awk -v p="$peak" -v d="$db" -v t="$tol" 'BEGIN { e = p - d; if (e < 0) e = -e; exit !(e <= t) }' ||
            fail "audio $stream channel $n: peak $peak dBFS, expected $db ± $tol"
    done
    local extra
    extra=$(awk -v n="$n" '$1 > n' <<<"$stats" | wc -l)
    (( extra == 0 )) || fail "audio $stream has $extra more channel(s) than the $n expected"
}

# rule FIRST COUNT: expected "freq:dB" list of the generator's channel rule.
rule() {
    local g
    for (( g = $1; g < $1 + $2; g++ )); do
        printf '%d:%d ' $(( (g + 1) * 250 )) $(( -(12 + 2 * g) ))
    done
}

# video IDX CODEC W H RATE [PACKETS]: the basic facts of video stream IDX.
video() {
    is "s$1.codec_type" video
    is "s$1.codec_name" "$2"
    is "s$1.width" "$3"
    is "s$1.height" "$4"
    is "s$1.r_frame_rate" "$5"
    [[ -n ${6:-} ]] && is "s$1.nb_read_packets" "$6"
    counter_ticks "$1"
    return 0
}

# counter_ticks IDX: the bottom-centre area, where the frame counter is burnt in, differs
# between the first two frames of video stream IDX (on the bars nothing else moves).
counter_ticks() {
    local sums
    sums=$(ffmpeg -nostdin -v error -i "$FILE" -map "0:$1" -frames:v 2 \
        -vf "crop=iw/3:ih/4:iw/3:ih*3/4" -f framemd5 - 2>&1 | awk -F', *' '!/^#/ { print $NF }')
    [[ $(wc -l <<<"$sums") == 2 && $(sort -u <<<"$sums" | wc -l) == 2 ]] ||
        fail "stream $1: no frame counter ticking at the bottom centre"
}

# frames IDX N: ffmpeg decodes N frames from video stream IDX.
frames() {
    local got
    # Transport and program streams list the stream again under their program: first line.
    got=$(ffprobe -v error -count_frames -select_streams "$1" -show_entries stream=nb_read_frames \
        -of default=nw=1:nk=1 "$FILE" | head -n1)
    [[ $got == "$2" ]] || fail "stream $1 decodes to $got frames, expected $2"
}

# luma_thirds A B C: the first picture's luma code values at the middle row, in the middle
# of the left, centre and right thirds (read from the plane itself, no range conversion).
luma_thirds() {
    local got
    got=$(ffmpeg -nostdin -v error -i "$FILE" -frames:v 1 -vf "extractplanes=y,crop=iw:1:0:ih/2" -f rawvideo - |
        od -An -v -tu1 -w65536 | awk '{ n = NF; print $(int(n / 6) + 1), $(int(n / 2) + 1), $(int(5 * n / 6) + 1) }')
    [[ $got == "$1 $2 $3" ]] || fail "luma of the thirds is '$got', expected '$1 $2 $3'"
}

# first_frame_timecode TC: the first decoded picture carries the timecode TC.
first_frame_timecode() {
    local got
    # A few packets: the decoder attaches the GOP header's timecode only when it is not
    # flushed right after the first one.
    got=$(ffprobe -v error -select_streams v:0 -read_intervals %+#3 -show_entries frame_tags=timecode \
        -of default=nw=1:nk=1 "$FILE" | grep -m1 . || true)
    [[ $got == "$1" ]] || fail "first picture timecode is '$got', expected '$1'"
}

# known_bars MATRIX RANGE: the first picture, read by ffmpeg with the matrix and range named
# here (none for RGB clips), holds the eight bars of generate_media.sh at their centres
# (middle row), within 3 code values.
known_bars() {
    local filter="format=rgb24"
    [[ $1 != rgb ]] && filter="scale=in_color_matrix=$1:in_range=$2:flags=accurate_rnd+full_chroma_int,format=rgb24"
    local got want
    got=$(ffmpeg -nostdin -v error -i "$FILE" -frames:v 1 -vf "$filter,crop=iw:1:0:ih/2" -f rawvideo - |
        od -An -v -tu1 -w65536 | awk '{ w = NF / 3; for (i = 0; i < 8; i++) { x = int(w * (2 * i + 1) / 16); printf "%d,%d,%d ", $(3 * x + 1), $(3 * x + 2), $(3 * x + 3) } }')
    want="191,0,0 0,191,0 0,0,191 191,191,0 0,191,191 191,0,191 128,128,128 230,120,40 "
    awk -v got="$got" -v want="$want" 'BEGIN {
        n = split(got, g, /[ ,]+/); split(want, w, /[ ,]+/)
        if (n < 24) exit 1
        for (i = 1; i <= 24; i++) { d = g[i] - w[i]; if (d < -3 || d > 3) exit 1 }
    }' || fail "bar centres read '$got', expected '$want' (within 3)"
}

# ---- the clips ---------------------------------------------------------------------------

check_clip() {
    case $1 in
    demo_bars_25p.mov)
        video 0 h264 1920 1080 25/1 500
        is s0.avg_frame_rate 25/1
        is s0.tags.timecode 01:00:00:00
        is s0.color_primaries bt709
        count audio 1
        is s1.codec_name pcm_s16le
        is s1.channels 2
        is s1.sample_rate 48000
        audio 0:a:0 0.05 1000:-20 400:-20 ;;
    h264_1080p25.mov)
        video 0 h264 1920 1080 25/1 100
        is s0.has_b_frames 2
        is s0.tags.timecode 01:00:00:00
        count audio 2
        is s1.codec_name aac
        is s1.channels 2
        is s2.codec_name aac
        is s2.channels 2
        # shellcheck disable=SC2046
        audio 0:a:0 0.6 $(rule 0 2)
        # shellcheck disable=SC2046
        audio 0:a:1 0.6 $(rule 2 2) ;;
    prores_hq_pcm24.mov)
        video 0 prores 1920 1080 25/1 50
        is s0.codec_tag_string apch
        is s0.profile HQ
        count audio 1
        is s1.codec_name pcm_s24le
        is s1.channels 2
        # shellcheck disable=SC2046
        audio 0:a:0 0.05 $(rule 0 2) ;;
    prores4444_alpha.mov)
        video 0 prores 1920 1080 25/1 25
        is s0.codec_tag_string ap4h
        is s0.profile 4444
        # Encoded from yuva444p10le; FFmpeg's decoder reports 4444 as 12-bit.
        [[ $(value streams.stream.0.pix_fmt) == yuva444p1[02]le ]] ||
            fail "pix_fmt $(value streams.stream.0.pix_fmt) has no alpha plane"
        # The alpha ramp, averaged into four columns, rises from left to right.
        local -a a
        read -r -a a <<<"$(ffmpeg -nostdin -v error -i "$FILE" -frames:v 1 \
            -vf "alphaextract,scale=4:1:flags=area" -f rawvideo -pix_fmt gray - | od -An -tu1)"
        (( ${#a[@]} == 4 && a[0] < 64 && a[0] < a[1] && a[1] < a[2] && a[2] < a[3] && a[3] > 192 )) ||
            fail "alpha is not a left-to-right ramp (column means: ${a[*]})"
        count audio 0 ;;
    prores.mxf)
        video 0 prores 1920 1080 25/1 25
        is f.format_name mxf
        is s0.codec_tag_string apch
        is format.tags.timecode 01:00:00:00 ;;
    dnxhr_hq.mov)
        video 0 dnxhd 1920 1080 25/1 25
        is s0.profile "DNXHR HQ"
        is s0.pix_fmt yuv422p ;;
    dnxhr_444.mov)
        video 0 dnxhd 1920 1080 25/1 25
        is s0.profile "DNXHR 444"
        is s0.pix_fmt yuv444p10le ;;
    uhd_h264.mp4)
        video 0 h264 3840 2160 25/1 10 ;;
    uhd_prores.mov)
        video 0 prores 3840 2160 25/1 10
        is s0.codec_tag_string apch ;;
    uhd_hevc.mp4)
        video 0 hevc 3840 2160 25/1 10
        is s0.codec_tag_string hvc1 ;;
    h264.mkv)
        is f.format_name "matroska,webm"
        video 0 h264 1280 720 25/1 50
        count audio 1
        # shellcheck disable=SC2046
        audio 0:a:0 0.6 $(rule 0 2) ;;
    bgra.avi)
        is f.format_name avi
        video 0 rawvideo 320 240 25/1 25
        is s0.pix_fmt bgra ;;
    still.png)
        is s0.codec_name png
        is s0.width 640
        is s0.height 360
        is s0.nb_read_packets 1 ;;
    raw.h264)
        is f.format_name h264
        is s0.codec_name h264
        is s0.width 640
        is s0.height 360
        is s0.nb_read_packets 50 ;;
    vp9.webm)
        is f.format_name "matroska,webm"
        video 0 vp9 640 360 25/1 50
        is s1.codec_name opus
        # shellcheck disable=SC2046
        audio 0:a:0 0.6 $(rule 0 2) ;;
    av1.mkv)
        video 0 av1 320 240 25/1 25 ;;
    bwf_tc.wav)
        is s0.codec_name pcm_s24le
        is s0.sample_rate 48000
        is s0.channels 2
        is format.tags.time_reference 172800000
        is format.duration 10.000000
        # shellcheck disable=SC2046
        audio 0:a:0 0.05 $(rule 0 2) ;;
    audio.flac | audio.m4a | audio.opus)
        local codec=${1#audio.} tol=0.6
        [[ $codec == m4a ]] && codec=aac
        [[ $codec == flac ]] && tol=0.05
        count video 0
        is s0.codec_name "$codec"
        is s0.sample_rate 48000
        is s0.channels 2
        audio 0:a:0 "$tol" 440:-20 440:-20 ;;
    mono.mov)
        video 0 h264 640 360 25/1 50
        count audio 1
        is s1.channels 1
        # shellcheck disable=SC2046
        audio 0:a:0 0.05 $(rule 0 1) ;;
    five_stereo.mov)
        video 0 h264 640 360 25/1 50
        count audio 5
        local s
        for s in 0 1 2 3 4; do
            is "s$(( s + 1 )).channels" 2
            # shellcheck disable=SC2046
            audio "0:a:$s" 0.05 $(rule $(( 2 * s )) 2)
        done ;;
    video_6ch.mov)
        video 0 h264 640 360 25/1 50
        count audio 1
        is s1.channels 6
        # shellcheck disable=SC2046
        audio 0:a:0 0.05 $(rule 0 6) ;;
    twelve_ch.mov)
        video 0 h264 640 360 25/1 50
        count audio 2
        is s1.channels 6
        is s2.channels 6
        # shellcheck disable=SC2046
        audio 0:a:0 0.05 $(rule 0 6)
        # shellcheck disable=SC2046
        audio 0:a:1 0.05 $(rule 6 6) ;;
    bt709.mp4)
        video 0 h264 1280 720 25/1 25
        is s0.color_primaries bt709
        is s0.color_transfer bt709
        is s0.color_space bt709
        is s0.color_range tv ;;
    untagged.mp4)
        video 0 h264 1280 720 25/1 25
        is s0.color_primaries unknown
        is s0.color_transfer unknown
        is s0.color_space unknown
        is s0.color_range unknown ;;
    interlaced.mov)
        video 0 h264 1920 1080 25/1 25
        is s0.field_order tt ;;
    abnormal_fps.mkv)
        video 0 h264 320 240 25/1 50
        is s0.avg_frame_rate 1000/1 ;;
    abnormal_fps_500.mkv)
        video 0 h264 320 240 500/1 50
        is s0.avg_frame_rate 500/1 ;;
    h264_2997df.mov)
        video 0 h264 1280 720 30000/1001 60
        is s0.avg_frame_rate 30000/1001
        is s0.tags.timecode "01:00:00;00" ;;
    tone_1k_-18dbfs.wav)
        is s0.codec_name pcm_s24le
        is s0.channels 2
        audio 0:a:0 0.05 1000:-18 1000:-18 ;;
    scope_bands_limited.mp4)
        is s0.codec_name h264
        is s0.width 640
        is s0.nb_read_packets 5
        is s0.color_range tv
        luma_thirds 16 126 235 ;;
    scope_bands_full.mkv)
        is s0.codec_name h264
        is s0.width 640
        is s0.nb_read_packets 5
        is s0.color_range pc
        luma_thirds 0 128 255 ;;
    # pixel inspector
    rgb48be_png.mov)
        video 0 png 320 180 25/1 25
        is s0.pix_fmt rgb48be ;;
    yuv422p10_pattern.mov)
        video 0 prores 640 360 25/1 25
        is s0.pix_fmt yuv422p10le ;;
    mpeg2_2997df_gop_tc.ts)
        is f.format_name mpegts
        video 0 mpeg2video 720 480 30000/1001
        frames 0 240
        first_frame_timecode "00:59:59;20"
        [[ -z $(value format.tags.timecode)$(value streams.stream.0.tags.timecode) ]] ||
            fail "the container carries a timecode tag; the clip is meant to have it only in the GOP headers"
        audio 0:a:0 0.6 1000:-18 1000:-18 ;;
    h264_opengop.ts)
        is f.format_name mpegts
        video 0 h264 640 360 25/1
        is s0.has_b_frames 2
        frames 0 100
        # shellcheck disable=SC2046
        audio 0:a:0 0.6 $(rule 0 2) ;;
    mpeg2_opengop.mpg)
        is f.format_name mpeg
        video 0 mpeg2video 720 576 25/1
        frames 0 100
        # shellcheck disable=SC2046
        audio 0:a:0 0.6 $(rule 0 2) ;;
    two_rates_48k_44k1.mov)
        video 0 h264 640 360 25/1 100
        count audio 2
        is s1.sample_rate 48000
        is s2.sample_rate 44100
        audio 0:a:0 0.05 600:-12 600:-12
        audio 0:a:1 0.05 1000:-12 1000:-12 ;;
    container.ts)
        is f.format_name mpegts
        video 0 h264 320 240 25/1 25
        is s1.codec_name mp2 ;;
    container.mpg)
        is f.format_name mpeg
        is s0.codec_name mpeg2video
        is s1.codec_name mp2 ;;
    audio.mp3 | audio.aac | audio.ogg)
        local format=${1#audio.} codec=${1#audio.}
        [[ $format == ogg ]] && codec=vorbis
        is f.format_name "$format"
        count video 0
        is s0.codec_name "$codec"
        is s0.channels 2 ;;
    loudness_1k_-23dbfs.wav | loudness_1k_-33dbfs.wav)
        local db=${1#loudness_1k_}
        db=${db%dbfs.wav}
        is s0.codec_name pcm_s24le
        is s0.sample_rate 48000
        is format.duration 20.000000
        audio 0:a:0 0.05 "1000:$db" "1000:$db" ;;
    loudness_gate_36_23_36.wav)
        is s0.codec_name pcm_s24le
        is format.duration 80.000000
        audio 0:a:0 0.05 1000:-36 1000:-36 ;;
    loudness_gate_72_36_23_36_72.wav)
        is s0.codec_name pcm_s24le
        is format.duration 100.000000
        audio 0:a:0 0.1 1000:-72 1000:-72 ;;
    loudness_isp_12k.wav)
        # A quarter of the sample rate at 45 degrees: every sample sits 3 dB under the crest.
        is s0.codec_name pcm_s24le
        audio 0:a:0 0.05 12000:-9 12000:-9 ;;
    loudness_stereo_51.mov)
        video 0 h264 320 180 25/1 250
        count audio 3
        is s1.channels 2
        is s2.channels 6
        is s3.channels 1
        audio 0:a:0 0.05 1000:-20 1000:-21
        audio 0:a:1 0.05 1000:-22 1000:-23 1000:-24 1000:-25 1000:-26 1000:-27
        audio 0:a:2 0.05 1000:-28 ;;
    loudness_two_rates.mkv)
        count audio 2
        is s0.sample_rate 48000
        is s1.sample_rate 44100
        audio 0:a:0 0.05 1000:-20 1000:-20
        audio 0:a:1 0.05 1000:-26 1000:-30 ;;
    # colour: known bars
    colour_bt601_sd420.mp4 | colour_untagged_sd420.mp4)
        is s0.codec_name h264
        is s0.width 720
        is s0.height 576
        is s0.pix_fmt yuv420p
        if [[ $1 == *untagged* ]]; then
            is s0.color_space unknown
            is s0.color_range unknown
            known_bars bt709 tv
        else
            is s0.color_space smpte170m
            is s0.color_range tv
            known_bars smpte170m tv
        fi ;;
    colour_bt709_hd420.mp4 | colour_bt709_hd444.mp4 | colour_untagged_hd420.mp4 | colour_bt709_full420.mkv)
        local sub=yuv420p range=tv space=bt709
        [[ $1 == *444* ]] && sub=yuv444p
        [[ $1 == *full* ]] && range=pc
        [[ $1 == *untagged* ]] && space=unknown
        is s0.codec_name h264
        is s0.width 1920
        is s0.height 1080
        # Full-range H.264 decodes to the "J" twin on FFmpeg 5.1.
        [[ $(value streams.stream.0.pix_fmt) == "$sub" || $(value streams.stream.0.pix_fmt) == "${sub/yuv/yuvj}" ]] ||
            fail "pix_fmt $(value streams.stream.0.pix_fmt), expected $sub"
        is s0.color_space $space
        [[ $1 == *untagged* ]] && is s0.color_range unknown || is s0.color_range $range
        known_bars bt709 $range ;;
    colour_bt2020_10bit422.mkv)
        is s0.codec_name ffv1
        is s0.width 1920
        is s0.pix_fmt yuv422p10le
        is s0.color_space bt2020nc
        is s0.color_range tv
        known_bars bt2020 tv ;;
    colour_bt601_full422.mkv)
        is s0.codec_name ffv1
        is s0.width 1920
        is s0.pix_fmt yuv422p
        is s0.color_space smpte170m
        is s0.color_range pc
        known_bars smpte170m pc ;;
    colour_bt709_10bit444.mkv)
        is s0.codec_name ffv1
        is s0.width 1920
        is s0.pix_fmt yuv444p10le
        is s0.color_space bt709
        is s0.color_range tv
        known_bars bt709 tv ;;
    colour_gbrp10.mkv)
        is s0.codec_name ffv1
        is s0.width 1920
        is s0.pix_fmt gbrp10le
        known_bars rgb ;;
    colour_rgb48.mov)
        is s0.codec_name png
        is s0.width 1920
        is s0.pix_fmt rgb48be
        known_bars rgb ;;
    qc_faults.mkv)
        is s0.codec_name h264
        is s0.width 640
        frames 0 299
        is format.tags.TIMECODE 10:00:00:00
        is s1.codec_name pcm_f32le
        is s1.channels 2 ;;
    qc_clean.mov)
        is s0.codec_name h264
        frames 0 300
        is s0.color_space bt709
        # shellcheck disable=SC2046
        audio 0:a:0 0.05 1000:-23 1000:-23 ;;
    qc_edges.mkv | qc_freeze_end.mkv)
        is s0.codec_name h264
        frames 0 100
        count audio 0 ;;
    qc_full_range.mkv)
        is s0.color_range pc
        frames 0 100 ;;
    qc_10bit.mkv)
        is s0.codec_name ffv1
        is s0.pix_fmt yuv422p10le
        frames 0 100 ;;
    qc_audio_only.wav)
        count video 0
        is s0.channels 2
        is format.duration 6.000000 ;;
    qc_streams.mov)
        count audio 2
        is s1.channels 2
        is s2.channels 2 ;;
    qc_graphs.mkv)
        is s0.codec_name ffv1
        is s0.color_range tv
        frames 0 200
        is s1.channels 4
        audio 0:a:0 0.05 1000:-23 1000:-23 1000:-33 1000:-33 ;;
    qc_tc_break.mkv)
        is s0.codec_name mpeg2video
        frames 0 50 ;;
    seq_dpx10)
        is s0.codec_name dpx
        is s0.pix_fmt gbrp10le
        files 11 shot.086400.dpx ;;
    seq_tiff16)
        is s0.codec_name tiff
        is s0.pix_fmt rgb48le
        files 12 plate_1001.tif ;;
    seq_png)
        is s0.codec_name png
        is s0.pix_fmt rgb24
        files 12 img1.png ;;
    seq_exr_half)
        is s0.codec_name exr
        is s0.width 256
        files 6 ramp.0001.exr ;;
    cmp_a.mkv | cmp_lossy.mkv)
        is s0.width 320
        frames 0 100
        is format.tags.TIMECODE 10:00:00:00 ;;
    cmp_b_box.mkv)
        frames 0 97
        is format.tags.TIMECODE 10:00:00:03 ;;
    cmp_30fps.mkv)
        is s0.r_frame_rate 30/1
        frames 0 120 ;;
    cmp_half.mkv)
        is s0.width 160
        frames 0 100 ;;
    cmp_audio_a.mkv | cmp_audio_b.mkv)
        is s1.codec_name pcm_s16le
        is s1.channels 2
        is s1.sample_rate 48000 ;;
    *)
        fail "no check is known for this clip" ;;
    esac
}

status=0
for name in "${names[@]}"; do
    errors=()
    path=$dir/$name
    if [[ -d $path ]]; then
        # A sequence: its first file (by name) stands for it.
        path=$(find "$path" -maxdepth 1 -type f | sort | head -n1)
    fi
    if [[ ! -s $path ]]; then
        fail "missing or empty: $path"
    elif probe "$path"; then
        check_clip "$name"
    fi
    if (( ${#errors[@]} > 0 )); then
        status=1
        for e in "${errors[@]}"; do
            echo "FAIL $name: $e" >&2
        done
    else
        echo "ok   $name"
    fi
done
exit $status
