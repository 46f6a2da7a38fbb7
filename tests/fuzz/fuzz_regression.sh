#!/usr/bin/env bash
# Fuzz regression: a fixed, seeded set of about 50 damaged inputs made from the generated
# media (truncations, bit flips, zeroed blocks, the header damage that once got through,
# special files) run through `orvel-cli probe` and `orvel-cli frame`, each with a time-out.
# Every run must end by itself, without a crash, either with exit 1 and a known message
# (and nothing else on stderr) or with exit 0 and plausible facts; some inputs must fail.
#
# Usage: fuzz_regression.sh MEDIA_DIR ORVEL_CLI [WORK_DIR]
set -uo pipefail

media=${1:?usage: fuzz_regression.sh MEDIA_DIR ORVEL_CLI [WORK_DIR]}
cli=${2:?usage: fuzz_regression.sh MEDIA_DIR ORVEL_CLI [WORK_DIR]}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=fuzzlib.sh
source "$here/fuzzlib.sh"

work=${3:-$(mktemp -d "${TMPDIR:-/tmp}/orvel-fuzz.XXXXXX")}
mkdir -p "$work"
[[ -z ${3:-} ]] && trap 'rm -rf "$work"' EXIT
cases=$work/cases
rm -rf "$cases"
mkdir -p "$cases"
limit=${ORVEL_FUZZ_TIMEOUT:-20}

export QT_QPA_PLATFORM=offscreen
# orvel-cli must keep Qt's start-up warnings to itself even without a runtime dir.
unset XDG_RUNTIME_DIR

# ---- the inputs ------------------------------------------------------------------------------
# name|must: "fail" when the input has to be refused, "open" when it has to open, "any".
declare -a names=() musts=()
add() { names+=("$1"); musts+=("$2"); }

fuzz_seed 20261208
ffmpeg -nostdin -v error -y -i "$media/h264.mkv" -map 0 -c copy -f mpegts "$work/source.ts" || exit 1
source_path() { [[ $1 == source.ts ]] && echo "$work/source.ts" || echo "$media/$1"; }

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

# ---- the runs ----------------------------------------------------------------------------------
# run_case I: probes input I and, when it opens, asks for a frame in it and one far past its
# end; writes the probe verdict and any failures to $work/result.I.
run_case() {
    local i=$1 name=${names[$1]} must=${musts[$1]} file=$cases/${names[$1]} dir=$work/run.$1
    local status verdict total n failed=()
    mkdir -p "$dir"
    timeout -k 2 "$limit" "$cli" probe "$file" >"$dir/out" 2>"$dir/err" </dev/null
    status=$?
    verdict=$(fuzz_judge_probe "$status" "$dir/out" "$dir/err" "$file")
    total=$(json_value "$dir/out" totalFrames)
    case $verdict in
        ok) [[ $must == fail ]] && verdict="opened although it must be refused" ;;
        error) [[ $must == open ]] && verdict="refused although it must open: $(tr '\n' ' ' <"$dir/err")" ;;
    esac
    [[ $verdict == ok || $verdict == error ]] || failed+=("$name probe: $verdict")
    if [[ $verdict == ok ]]; then
        for n in 5 999999; do
            timeout -k 2 "$limit" "$cli" frame "$file" "$n" "$dir/frame.png" >"$dir/out" 2>"$dir/err" </dev/null
            status=$?
            local frameVerdict
            frameVerdict=$(fuzz_judge_frame "$status" "$dir/out" "$dir/err" "$total")
            [[ $frameVerdict == ok || $frameVerdict == error ]] || failed+=("$name frame $n: $frameVerdict")
        done
    fi
    { echo "$verdict"; printf '%s\n' "${failed[@]}"; } >"$work/result.$i"
}

# Runs wait on process start-up more than on the CPU, so a few go at once.
jobs=${ORVEL_FUZZ_JOBS:-4}
start=$SECONDS
running=0
for i in "${!names[@]}"; do
    if (( running >= jobs )); then
        wait -n
        running=$(( running - 1 ))
    fi
    run_case "$i" &
    running=$(( running + 1 ))
done
wait

opened=0 refused=0 failures=()
for i in "${!names[@]}"; do
    mapfile -t lines <"$work/result.$i" 2>/dev/null || lines=("no result")
    case ${lines[0]:-} in
        ok) opened=$(( opened + 1 )) ;;
        error) refused=$(( refused + 1 )) ;;
    esac
    for line in "${lines[@]:1}"; do
        [[ -n $line ]] && failures+=("$line")
    done
done

echo "fuzz_regression: ${#names[@]} inputs in $(( SECONDS - start )) s: $opened opened, $refused refused"
if (( ${#failures[@]} > 0 )); then
    printf 'FAIL %s\n' "${failures[@]}"
    exit 1
fi
exit 0
