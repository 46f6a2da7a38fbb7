#!/usr/bin/env bash
# Long fuzz run of orvel-cli on the ASan/UBSan build: COUNT inputs mutated from the
# generated media (truncations, bit flips, zeroed blocks, random bytes, splices, the known
# header damage plus flips), each through `probe` and, when it opens, `frame 5` and
# `frame 999999`, with a time-out. Reports the counts of cases, clean errors, plausible
# opens, crashes, hangs, implausible facts and sanitizer reports, and the peak memory of
# one run. Inputs that found something are kept under WORK/findings.
#
# Usage: scripts/fuzz_long.sh [COUNT [SEED]]       (default 2000 inputs, seed 1)
# Environment: ORVEL_ASAN_BUILD_DIR (default build-asan), ORVEL_FUZZ_JOBS (default 3),
#              ORVEL_FUZZ_TIMEOUT (seconds per run, default 30), ORVEL_FUZZ_WORK (work dir),
#              ORVEL_FUZZ_NO_BUILD=1 to use the build as it is.
set -uo pipefail

count=${1:-2000}
seed=${2:-1}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEL_ASAN_BUILD_DIR:-$root/build-asan}
media=${ORVEL_TEST_MEDIA_DIR:-$root/build/media}
work=${ORVEL_FUZZ_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/orvel-fuzz-long.XXXXXX")}
jobs=${ORVEL_FUZZ_JOBS:-3}
limit=${ORVEL_FUZZ_TIMEOUT:-30}
# shellcheck source=../tests/fuzz/fuzzlib.sh
source "$root/tests/fuzz/fuzzlib.sh"

if [[ -z ${ORVEL_FUZZ_NO_BUILD:-} ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_ASAN=ON \
        -DORVEL_BUILD_TESTS=OFF -DORVEL_BUILD_BENCH=OFF >/dev/null || exit 1
    ninja -C "$build" -j2 orvel-cli || exit 1
    bash "$root/tests/media/generate_media.sh" "$media" | tail -n 1
fi
cli=$build/tools/orvel-cli
[[ -x $cli ]] || { echo "fuzz_long: no $cli" >&2; exit 1; }

export QT_QPA_PLATFORM=offscreen
# Our exit status 1 means a clean error, so the sanitizers get their own; leaks in the
# libraries at exit are not what this run looks for.
export ASAN_OPTIONS=exitcode=86:detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=0
mkdir -p "$work/cases" "$work/findings" "$work/runs"

sources=(untagged.mp4 bgra.avi h264.mkv vp9.webm mono.mov prores.mxf audio.flac audio.m4a audio.opus bwf_tc.wav
         still.png raw.h264 av1.mkv five_stereo.mov interlaced.mov h264_2997df.mov tone_1k_-18dbfs.wav
         abnormal_fps.mkv dnxhr_hq.mov)
ffmpeg -nostdin -v error -y -i "$media/h264.mkv" -map 0 -c copy -f mpegts "$work/source.ts" || exit 1
source_path() { [[ $1 == source.ts ]] && echo "$work/source.ts" || echo "$media/$1"; }
sources+=(source.ts)

# make_case I: writes input I (name in CASE) from its own seed.
make_case() {
    local i=$1 src path base ext kind other
    fuzz_seed $(( seed * 1000003 + i ))
    fuzz_rand ${#sources[@]}; src=${sources[$R]}
    path=$(source_path "$src"); ext=${src##*.}
    CASE=$work/cases/case_$i.$ext
    fuzz_rand 10; kind=$R
    case $kind in
        0|1) fuzz_rand 999; truncate_to "$path" "$CASE" $(( R + 1 )) ;;
        2|3) fuzz_rand 64; local flips=$(( R + 1 )); fuzz_rand 2
             if (( R )); then flip_bits "$path" "$CASE" "$flips" 65536; else flip_bits "$path" "$CASE" "$flips"; fi ;;
        4) zero_block "$path" "$CASE" ;;
        5) fuzz_rand 200; random_bytes "$path" "$CASE" $(( R + 1 )) ;;
        6) tail_half "$path" "$CASE" ;;
        7) # the head of one file on the tail of another
           fuzz_rand ${#sources[@]}; other=$(source_path "${sources[$R]}")
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
}

# run_cli DIR ARGS...: one run under time(1) with the time-out; STATUS and RSS_KB set.
run_cli() {
    local dir=$1
    shift
    /usr/bin/time -f %M -o "$dir/rss" timeout -k 2 "$limit" "$cli" "$@" >"$dir/out" 2>"$dir/err" </dev/null
    STATUS=$?
    RSS_KB=$(tail -n1 "$dir/rss" 2>/dev/null)
    [[ $RSS_KB =~ ^[0-9]+$ ]] || RSS_KB=0
}

# classify VERDICT ERRFILE: sanitizer reports win over everything else.
classify() {
    if grep -qE 'ERROR: AddressSanitizer|runtime error:|SUMMARY: UndefinedBehaviorSanitizer' "$2"; then
        echo sanitizer
    else
        case $1 in
            ok) echo ok ;;
            error) echo error ;;
            hang) echo hang ;;
            crash*|"exit status 86") echo crash ;;
            *) echo implausible ;;
        esac
    fi
}

# fuzz_case I: makes, runs and judges input I; writes "I CLASS PEAK_KB DETAIL" to runs/I.
fuzz_case() {
    local i=$1 dir=$work/runs/d$1 verdict class peak=0 total n detail=""
    mkdir -p "$dir"
    make_case "$i"
    run_cli "$dir" probe "$CASE"
    peak=$RSS_KB
    verdict=$(fuzz_judge_probe "$STATUS" "$dir/out" "$dir/err" "$CASE")
    class=$(classify "$verdict" "$dir/err")
    detail="probe: $verdict"
    if [[ $class == ok ]]; then
        total=$(json_value "$dir/out" totalFrames)
        for n in 5 999999; do
            run_cli "$dir" frame "$CASE" "$n" "$dir/frame.png"
            (( RSS_KB > peak )) && peak=$RSS_KB
            verdict=$(fuzz_judge_frame "$STATUS" "$dir/out" "$dir/err" "$total")
            local frameClass; frameClass=$(classify "$verdict" "$dir/err")
            if [[ $frameClass != ok && $frameClass != error ]]; then
                class=$frameClass
                detail="frame $n: $verdict"
                break
            fi
        done
    fi
    if [[ $class != ok && $class != error ]]; then
        cp "$CASE" "$work/findings/" 2>/dev/null
        cp "$dir/err" "$work/findings/$(basename "$CASE").stderr" 2>/dev/null
    fi
    echo "$i $class $peak $detail" >"$work/runs/$i"
    rm -rf "$dir" "$CASE"
}

start=$SECONDS
running=0
for (( i = 1; i <= count; i++ )); do
    if (( running >= jobs )); then
        wait -n
        running=$(( running - 1 ))
    fi
    fuzz_case "$i" &
    running=$(( running + 1 ))
    if (( i % 200 == 0 )); then echo "fuzz_long: $i of $count started ($(( SECONDS - start )) s)"; fi
done
wait

# Special files once: they must be refused promptly.
specials=()
mkfifo "$work/cases/pipe.mov"; specials+=("$work/cases/pipe.mov")
mkdir -p "$work/cases/folder.mov"; specials+=("$work/cases/folder.mov")
: >"$work/cases/empty.mov"; specials+=("$work/cases/empty.mov")
specials+=(/dev/zero /dev/null "$work/cases/missing.mov")
special_fail=0
for file in "${specials[@]}"; do
    mkdir -p "$work/runs/special"
    run_cli "$work/runs/special" probe "$file"
    [[ $(fuzz_judge_probe "$STATUS" "$work/runs/special/out" "$work/runs/special/err" "$file") == error ]] ||
        { special_fail=$(( special_fail + 1 )); echo "special $file: status $STATUS"; }
done

cat "$work"/runs/[0-9]* >"$work/results.txt"
total=$(wc -l <"$work/results.txt")
countof() { awk -v c="$1" '$2 == c' "$work/results.txt" | wc -l; }
peak=$(awk 'BEGIN { m = 0 } $3 > m { m = $3 } END { print m }' "$work/results.txt")
median=$(awk '{ print $3 }' "$work/results.txt" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
echo "fuzz_long: $total inputs (seed $seed) in $(( SECONDS - start )) s with $jobs jobs, time-out ${limit} s"
echo "  clean errors (exit 1, known message): $(countof error)"
echo "  opened with plausible facts:          $(countof ok)"
echo "  implausible facts or bad exit:        $(countof implausible)"
echo "  crashes:                              $(countof crash)"
echo "  hangs:                                $(countof hang)"
echo "  sanitizer reports:                    $(countof sanitizer)"
echo "  special files not refused:            $special_fail of ${#specials[@]}"
echo "  peak RSS of one run: $(( peak / 1024 )) MiB (median $(( ${median:-0} / 1024 )) MiB, ASan build)"
awk '$2 != "ok" && $2 != "error"' "$work/results.txt" | head -n 20
echo "  findings: $work/findings"
bad=$(awk '$2 != "ok" && $2 != "error"' "$work/results.txt" | wc -l)
(( bad == 0 && special_fail == 0 ))
