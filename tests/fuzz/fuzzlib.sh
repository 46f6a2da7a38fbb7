# Shared by tests/fuzz/fuzz_regression.sh and scripts/fuzz_long.sh (sourced, not run):
# seeded mutations of media files, header patches that reproduce known damage, and the
# judgement of one orvel-cli run (crash, hang, clean error, or plausible facts).
#
# Only bash, coreutils and the ffmpeg CLI; the random numbers come from a fixed LCG so a
# seed makes the same files on every machine.

# ---- random numbers ------------------------------------------------------------------------

FUZZ_STATE=1
FUZZ_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
fuzz_seed() { FUZZ_STATE=$(( ($1 & 0x7fffffff) | 1 )); }
# fuzz_rand N: sets R to a number in 0 .. N-1 (N >= 1).
fuzz_rand() {
    FUZZ_STATE=$(( (FUZZ_STATE * 1103515245 + 12345) & 0x7fffffff ))
    R=$(( (FUZZ_STATE >> 4) % $1 ))
}

# ---- byte edits ------------------------------------------------------------------------------

file_size() { stat -c %s "$1"; }

# put_bytes FILE OFFSET HEX: writes the bytes (e.g. "ffffffff") at OFFSET.
put_bytes() {
    local hex=$3 escaped="" i
    for (( i = 0; i < ${#hex}; i += 2 )); do escaped+="\\x${hex:i:2}"; done
    printf "$escaped" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# byte_at FILE OFFSET: the byte's value in decimal.
byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

# find_tag FILE TAG: offset of the first occurrence of the ASCII TAG, empty when absent.
find_tag() { LC_ALL=C grep -obUa -m1 -- "$2" "$1" | head -n1 | cut -d: -f1; }

# truncate_to SRC DST PERMILLE: the first PERMILLE/1000 of SRC.
truncate_to() { head -c $(( $(file_size "$1") * $3 / 1000 )) "$1" >"$2"; }

# flip_bits SRC DST COUNT [LIMIT]: COUNT random single-bit flips within the first LIMIT
# bytes (default: the whole file), where headers and indexes live.
flip_bits() {
    local src=$1 dst=$2 count=$3 size limit k at bit value
    cp "$src" "$dst"
    size=$(file_size "$dst")
    limit=${4:-$size}
    (( limit > size )) && limit=$size
    for (( k = 0; k < count; k++ )); do
        fuzz_rand "$limit"; at=$R
        fuzz_rand 8; bit=$R
        value=$(( $(byte_at "$dst" "$at") ^ (1 << bit) ))
        put_bytes "$dst" "$at" "$(printf %02x "$value")"
    done
}

# zero_block SRC DST: 4 KiB of zeros at a random offset.
zero_block() {
    local size
    cp "$1" "$2"
    size=$(file_size "$2")
    fuzz_rand $(( size > 4096 ? size - 4096 : 1 ))
    head -c 4096 /dev/zero | dd of="$2" bs=1 seek="$R" conv=notrunc status=none
}

# random_bytes SRC DST COUNT: COUNT random bytes at random offsets.
random_bytes() {
    local size k
    cp "$1" "$2"
    size=$(file_size "$2")
    for (( k = 0; k < $3; k++ )); do
        fuzz_rand "$size"; local at=$R
        fuzz_rand 256
        put_bytes "$2" "$at" "$(printf %02x "$R")"
    done
}

# tail_half SRC DST: the second half (a WAV's becomes header-less PCM).
tail_half() { tail -c $(( $(file_size "$1") / 2 )) "$1" >"$2"; }

# ---- known damage ----------------------------------------------------------------------------

# AVI: stream header length and main header frame count 2^32 - 1.
patch_avi_length() {
    cp "$1" "$2"
    local strh avih
    strh=$(find_tag "$2" strh); avih=$(find_tag "$2" avih)
    [[ -n $strh && -n $avih ]] || return 1
    put_bytes "$2" $(( strh + 40 )) ffffffff
    put_bytes "$2" $(( avih + 24 )) ffffffff
}

# MOV/MP4: the first time-to-sample entry claims 2^31 - 1 samples.
patch_mov_sample_count() {
    cp "$1" "$2"
    local at; at=$(find_tag "$2" stts)
    [[ -n $at ]] || return 1
    put_bytes "$2" $(( at + 12 )) 7fffffff
}

# MOV/MP4: the first media header's time scale 0.
patch_mov_timescale() {
    cp "$1" "$2"
    local at; at=$(find_tag "$2" mdhd)
    [[ -n $at ]] || return 1
    put_bytes "$2" $(( at + 16 )) 00000000
}

# BWF: time reference of 1.824e19 samples (3.8e14 s at 48 kHz).
patch_bwf_reference() {
    cp "$1" "$2"
    local at; at=$(find_tag "$2" bext)
    [[ -n $at ]] || return 1
    put_bytes "$2" $(( at + 346 )) 0000c0b5c10a21fd
}

# MPEG-TS: flips bit 30 of the PTS in the first video PES at or after byte OFFSET.
patch_ts_pts() {
    cp "$1" "$2"
    local start at
    start=$(( ${3:-0} / 188 * 188 ))
    at=$(tail -c +$(( start + 1 )) "$2" | LC_ALL=C grep -obUaP '\x00\x00\x01\xe0..\x80' | head -n1 | cut -d: -f1)
    [[ -n $at ]] || return 1
    at=$(( start + at + 9 ))
    put_bytes "$2" "$at" "$(printf %02x $(( $(byte_at "$2" "$at") ^ 2 )))"
}

# PCM carrying an MP3 frame header every 417 bytes: taken for MP3 with score 1.
make_pcm_mp3() {
    local pcm=$1 out=$2 frame
    : >"$out"
    for frame in 0 1 2; do
        printf '\xff\xfb\x90\xc4' >>"$out"
        tail -c +$(( 1000 + frame * 2000 )) "$pcm" | head -c 413 >>"$out"
    done
}

# ---- seeded cases of the long run -------------------------------------------------------------

# Clips the long run damages (names in the generated media; source.ts is made from h264.mkv).
FUZZ_SOURCES=(untagged.mp4 bgra.avi h264.mkv vp9.webm mono.mov prores.mxf audio.flac audio.m4a audio.opus bwf_tc.wav
              still.png raw.h264 av1.mkv five_stereo.mov interlaced.mov h264_2997df.mov tone_1k_-18dbfs.wav
              abnormal_fps.mkv dnxhr_hq.mov source.ts)

# fuzz_prepare_sources MEDIA WORK: the transport stream the sources name, made once in WORK.
fuzz_prepare_sources() {
    FUZZ_MEDIA=$1 FUZZ_WORK=$2
    [[ -s $FUZZ_WORK/source.ts ]] ||
        ffmpeg -nostdin -v error -y -i "$FUZZ_MEDIA/h264.mkv" -map 0 -c copy -f mpegts "$FUZZ_WORK/source.ts"
}
fuzz_source_path() { [[ $1 == source.ts ]] && echo "$FUZZ_WORK/source.ts" || echo "$FUZZ_MEDIA/$1"; }

# fuzz_make_case SEED I DIR: writes input I of the run seeded SEED into DIR (path in CASE).
# The same seed and index make the same bytes from the same media, so a finding is kept as
# its two numbers (tests/fuzz/findings.txt); FUZZ_CASE_SOURCE names the clip it came from.
# Call fuzz_prepare_sources first.
fuzz_make_case() {
    local seed=$1 i=$2 dir=$3 src path ext kind other
    fuzz_seed $(( seed * 1000003 + i ))
    fuzz_rand ${#FUZZ_SOURCES[@]}; src=${FUZZ_SOURCES[$R]}
    path=$(fuzz_source_path "$src"); ext=${src##*.}
    FUZZ_CASE_SOURCE=$src
    # Not ending in a number: cases made side by side would otherwise open as one image
    # sequence, and a probe and a later command of the same case could see different runs.
    CASE=$dir/case_${seed}_${i}_input.$ext
    fuzz_rand 10; kind=$R
    case $kind in
        0|1) fuzz_rand 999; truncate_to "$path" "$CASE" $(( R + 1 )) ;;
        2|3) fuzz_rand 64; local flips=$(( R + 1 )); fuzz_rand 2
             if (( R )); then flip_bits "$path" "$CASE" "$flips" 65536; else flip_bits "$path" "$CASE" "$flips"; fi ;;
        4) zero_block "$path" "$CASE" ;;
        5) fuzz_rand 200; random_bytes "$path" "$CASE" $(( R + 1 )) ;;
        6) tail_half "$path" "$CASE" ;;
        7) # the head of one file on the tail of another
           fuzz_rand ${#FUZZ_SOURCES[@]}; other=$(fuzz_source_path "${FUZZ_SOURCES[$R]}")
           fuzz_rand 900
           { head -c $(( $(file_size "$path") * (R + 50) / 1000 )) "$path"
             tail -c $(( $(file_size "$other") * (950 - R) / 1000 )) "$other"; } >"$CASE" ;;
        8) case $ext in
               avi) patch_avi_length "$path" "$CASE" ;;
               mov|mp4) fuzz_rand 2; if (( R )); then patch_mov_sample_count "$path" "$CASE"; else patch_mov_timescale "$path" "$CASE"; fi ;;
               wav) patch_bwf_reference "$path" "$CASE" || cp "$path" "$CASE" ;;
               ts) fuzz_rand "$(file_size "$path")"; patch_ts_pts "$path" "$CASE" "$R" || cp "$path" "$CASE" ;;
               *) cp "$path" "$CASE" ;;
           esac
           fuzz_rand 8; local extra=$R
           (( extra > 0 )) && { flip_bits "$CASE" "$CASE.tmp" "$extra"; mv -f "$CASE.tmp" "$CASE"; } ;;
        9) fuzz_rand 64; flip_bits "$path" "$CASE" $(( R + 1 )) 4096 ;;
    esac
    return 0
}

# ---- the regression set ------------------------------------------------------------------------

# fuzz_regression_inputs MEDIA WORK: makes the fixed regression inputs in WORK/cases and
# fills names[] and musts[] ("fail" when the input has to be refused, "open" when it has to
# open, "any"): seeded damage of the generated clips, header damage that once got through,
# special files, and the long runs' findings listed in findings.txt beside this file.
fuzz_regression_inputs() {
    local media=$1 work=$2 cases=$2/cases src base ext path cut seed index must rest
    rm -rf "$cases"
    mkdir -p "$cases"
    names=() musts=()
    add() { names+=("$1"); musts+=("$2"); }
    fuzz_prepare_sources "$media" "$work" || return 1
    source_path() { fuzz_source_path "$1"; }

    fuzz_seed 20261208

    for src in untagged.mp4 bgra.avi h264.mkv vp9.webm mono.mov prores.mxf audio.flac audio.m4a bwf_tc.wav \
               still.png raw.h264 source.ts; do
        base=${src%.*} ext=${src##*.} path=$(source_path "$src")
        fuzz_rand 900; cut=$(( R + 50 ))
        truncate_to "$path" "$cases/trunc_${base}.$ext" "$cut" && add "trunc_${base}.$ext" any
        flip_bits "$path" "$cases/flip_${base}.$ext" 12 65536 && add "flip_${base}.$ext" any
    done
    for src in untagged.mp4 h264.mkv vp9.webm mono.mov bwf_tc.wav source.ts; do
        base=${src%.*} ext=${src##*.} path=$(source_path "$src")
        zero_block "$path" "$cases/zero_${base}.$ext" && add "zero_${base}.$ext" any
        random_bytes "$path" "$cases/bytes_${base}.$ext" 16 && add "bytes_${base}.$ext" any
    done
    truncate_to "$media/untagged.mp4" "$cases/head_only.mp4" 5 && add head_only.mp4 any
    tail_half "$media/bwf_tc.wav" "$cases/wav_tail.wav" && add wav_tail.wav any
    tail_half "$media/mono.mov" "$cases/mov_tail.mov" && add mov_tail.mov any

    patch_avi_length "$media/bgra.avi" "$cases/avi_length.avi" && add avi_length.avi open
    patch_mov_sample_count "$media/untagged.mp4" "$cases/mov_samples.mp4" && add mov_samples.mp4 open
    patch_mov_timescale "$media/untagged.mp4" "$cases/mov_timescale.mp4" && add mov_timescale.mp4 any
    patch_bwf_reference "$media/bwf_tc.wav" "$cases/bwf_reference.wav" && add bwf_reference.wav open
    patch_ts_pts "$work/source.ts" "$cases/ts_jump.ts" $(( $(file_size "$work/source.ts") / 2 )) && add ts_jump.ts open
    make_pcm_mp3 "$media/tone_1k_-18dbfs.wav" "$cases/pcm_as_mp3.wav" && add pcm_as_mp3.wav fail

    mkfifo "$cases/pipe.mov" && add pipe.mov fail
    : >"$cases/empty.mov" && add empty.mov fail
    mkdir "$cases/folder.mov" && add folder.mov fail
    ln -s "$cases/nowhere.mov" "$cases/dangling.mov" && add dangling.mov fail
    echo "not a movie" >"$cases/note.mov" && add note.mov fail
    add missing.mov fail

    # Inputs the long runs found faults with, remade from their seed and index.
    while read -r seed index must rest; do
        [[ $seed =~ ^[0-9]+$ && $index =~ ^[0-9]+$ ]] || continue
        fuzz_make_case "$seed" "$index" "$cases"
        add "$(basename "$CASE")" "${must:-any}"
    done <"$FUZZ_LIB_DIR/findings.txt"
}

# ---- judging one run ---------------------------------------------------------------------------

# The first line of every error orvel-cli prints.
FUZZ_ERROR_LINES='^(avformat_open_input failed\.|avformat_find_stream_info failed\.|No video stream found\.|Audio decoder initialization failed\.|avcodec_alloc_context3 failed\.|avcodec_open2 failed\.|Could not decode frame [0-9]+|No image sequence in this folder\.)$'

# json_value FILE KEY: the value of "KEY" in orvel-cli's indented JSON.
json_value() { sed -n "s/^ *\"$2\": \"\\{0,1\\}\\([^\",]*\\)\"\\{0,1\\},\\{0,1\\}\$/\\1/p" "$1" | head -n1; }

# fuzz_judge_probe STATUS OUT ERR FILE: prints "ok", "error", or a failure description.
fuzz_judge_probe() {
    local status=$1 out=$2 err=$3 file=$4
    if (( status == 124 || status == 137 )); then echo "hang"; return; fi
    if (( status >= 128 )); then echo "crash (signal $(( status - 128 )))"; return; fi
    if (( status == 1 )); then
        local first; first=$(head -n1 "$err")
        if [[ ! $first =~ $FUZZ_ERROR_LINES ]]; then echo "error without a known message: '$(head -c 200 "$err" | tr '\n' ' ')'"; return; fi
        if grep -qE 'QStandardPaths|^Video decoder|^Media opened|^\[' "$err"; then echo "noise on stderr: '$(head -c 200 "$err" | tr '\n' ' ')'"; return; fi
        echo "error"; return
    fi
    if (( status != 0 )); then echo "exit status $status"; return; fi
    local frames fps duration audioOnly width reference size
    frames=$(json_value "$out" totalFrames)
    fps=$(json_value "$out" fps)
    duration=$(json_value "$out" videoDurationSec)
    audioOnly=$(json_value "$out" isAudioOnly)
    width=$(json_value "$out" width)
    reference=$(json_value "$out" audioTimeReferenceSec)
    size=$(file_size "$file")
    [[ $frames =~ ^[0-9]+$ ]] || { echo "totalFrames '$frames'"; return; }
    (( frames >= 1 && frames <= (size > 1 ? size : 1) )) || { echo "totalFrames $frames for $size bytes"; return; }
    awk -v f="$fps" -v a="$audioOnly" 'BEGIN { exit !(a == "true" ? f == 30 : (f >= 1 && f <= 120)) }' ||
        { echo "fps $fps"; return; }
    # A duration may differ from frames / fps (variable rates, audio-only rounding), but not by orders.
    awk -v d="$duration" -v n="$frames" -v f="$fps" 'BEGIN { exit !(d >= 0 && d <= (n / f) * 4 + 2) }' ||
        { echo "videoDurationSec $duration for $frames frames at $fps"; return; }
    [[ $audioOnly == true || $width -gt 0 ]] || { echo "width $width"; return; }
    if [[ -n $reference ]]; then
        awk -v r="$reference" 'BEGIN { exit !(r >= 0 && r < 86400) }' || { echo "audioTimeReferenceSec $reference"; return; }
    fi
    echo "ok"
}

# fuzz_judge_frame STATUS OUT ERR TOTAL: like fuzz_judge_probe for "frame"; a delivered
# number must lie inside the file.
fuzz_judge_frame() {
    local status=$1 out=$2 err=$3 total=$4
    if (( status == 124 || status == 137 )); then echo "hang"; return; fi
    if (( status >= 128 )); then echo "crash (signal $(( status - 128 )))"; return; fi
    if (( status == 1 )); then
        local first; first=$(head -n1 "$err")
        [[ $first =~ $FUZZ_ERROR_LINES ]] || { echo "error without a known message: '$(head -c 200 "$err" | tr '\n' ' ')'"; return; }
        if grep -qE 'QStandardPaths|^Video decoder|^Media opened|^\[' "$err"; then echo "noise on stderr: '$(head -c 200 "$err" | tr '\n' ' ')'"; return; fi
        echo "error"; return
    fi
    (( status == 0 )) || { echo "exit status $status"; return; }
    local number; number=$(head -n1 "$out")
    [[ $number =~ ^[0-9]+$ ]] || { echo "frame number '$number'"; return; }
    if [[ -n $total ]] && (( number >= total )); then echo "frame $number of $total"; return; fi
    echo "ok"
}
