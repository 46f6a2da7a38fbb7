#!/usr/bin/env bash
# Long fuzz run of orvel-cli on the ASan/UBSan build: COUNT inputs mutated from the
# generated media (truncations, bit flips, zeroed blocks, random bytes, splices, the known
# header damage plus flips; tests/fuzz/fuzzlib.sh, fuzz_make_case), each with a time-out
# through the commands the given orvel-cli has (asked with --help): `probe`, then when it
# opens `frame 5`, `frame 999999`, `scope 5`, `pixel 5 8 8`, and on every input `loudness`
# (its own demuxer) and, where they exist, `qc` and `compare` (the input against the clip it
# was made from). Reports per command the runs, clean errors, crashes, hangs, implausible
# answers and sanitizer reports, and the peak memory of one run. Inputs that found something
# are kept under WORK/findings with their seed and index (add those to
# tests/fuzz/findings.txt).
#
# Usage: scripts/fuzz_long.sh [COUNT [SEED [FIRST]]]   (default 2000 inputs, seed 1, from index 1)
#   A long run split over several calls: same SEED, FIRST = 1, COUNT+1, 2*COUNT+1 ...
# Environment: ORVEL_ASAN_BUILD_DIR (default build-asan), ORVEL_FUZZ_JOBS (default 3),
#              ORVEL_FUZZ_TIMEOUT (seconds per run, default 30), ORVEL_FUZZ_WORK (work dir),
#              ORVEL_FUZZ_NO_BUILD=1 to use the build as it is,
#              ORVEL_FUZZ_ROTATE=1: after probe, one of the other commands per input in
#              turn instead of all of them (a cheaper pass over more inputs).
set -uo pipefail

count=${1:-2000}
seed=${2:-1}
first=${3:-1}
rotate=${ORVEL_FUZZ_ROTATE:-}
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

fuzz_prepare_sources "$media" "$work" || exit 1

# The commands this orvel-cli offers ("  NAME ARGS" lines of its help).
mapfile -t offered < <("$cli" --help 2>/dev/null | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p')
has() { [[ " ${offered[*]} " == *" $1 "* ]]; }
for needed in probe frame; do
    has "$needed" || { echo "fuzz_long: $cli has no '$needed' command" >&2; exit 1; }
done
# After probe: picture commands need an open file; the others open the input themselves.
after_open=()
for command in frame5 frame999999 scope pixel; do
    has "${command%%[0-9]*}" && after_open+=("$command")
done
always=()
for command in loudness qc compare; do
    has "$command" && always+=("$command")
done
echo "fuzz_long: commands: probe ${after_open[*]} ${always[*]}"

# run_cli DIR ARGS...: one run under time(1) with the time-out; STATUS and RSS_KB set. A
# run that times out is tried once more with four times the time: on a loaded machine a
# slow run is not yet a hang.
run_cli() {
    local dir=$1
    shift
    /usr/bin/time -f %M -o "$dir/rss" timeout -k 2 "$limit" "$cli" "$@" >"$dir/out" 2>"$dir/err" </dev/null
    STATUS=$?
    if (( STATUS == 124 || STATUS == 137 )); then
        /usr/bin/time -f %M -o "$dir/rss" timeout -k 2 $(( limit * 4 )) "$cli" "$@" >"$dir/out" 2>"$dir/err" </dev/null
        STATUS=$?
    fi
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

# command_args NAME CASE DIR: the arguments of one run.
command_args() {
    case $1 in
        frame5) ARGS=(frame "$2" 5 "$3/out.png") ;;
        frame999999) ARGS=(frame "$2" 999999 "$3/out.png") ;;
        scope) ARGS=(scope "$2" 5 "$3/out.png") ;;
        pixel) ARGS=(pixel "$2" 5 8 8) ;;
        loudness) ARGS=(loudness "$2") ;;
        qc) ARGS=(qc "$2") ;;
        compare) ARGS=(compare "$2" "$(fuzz_source_path "$FUZZ_CASE_SOURCE")") ;;
    esac
}

# judge_other NAME STATUS: exit 0 (answered) and 1 (refused with a reason) are both fine,
# and so is pixel's 2 (nothing at that point: no picture there, or no frame); qc and
# compare say 3 only with --strict, which is not given here.
judge_other() {
    local status=$2
    if (( status == 124 || status == 137 )); then echo hang; return; fi
    if (( status >= 128 )); then echo "crash (signal $(( status - 128 )))"; return; fi
    case $1:$status in
        *:0|pixel:2) echo ok ;;
        *:1) echo error ;;
        *) echo "exit status $status" ;;
    esac
}

# fuzz_case I: makes, runs and judges input I; writes one line per run to runs/I:
# "I COMMAND CLASS PEAK_KB DETAIL".
fuzz_case() {
    local i=$1 dir=$work/runs/d$1 verdict class total command todo=() k
    mkdir -p "$dir"
    fuzz_make_case "$seed" "$i" "$work/cases"
    local lines=()
    record() {
        local name=$1 verdict=$2 cls
        cls=$(classify "$verdict" "$dir/err")
        lines+=("$i $name $cls $RSS_KB $verdict")
        if [[ $cls != ok && $cls != error ]]; then
            cp "$CASE" "$work/findings/" 2>/dev/null
            cp "$dir/err" "$work/findings/$(basename "$CASE").$name.stderr" 2>/dev/null
            echo "$seed $i any  $name: $verdict" >>"$work/findings/findings.txt"
        fi
    }
    run_cli "$dir" probe "$CASE"
    verdict=$(fuzz_judge_probe "$STATUS" "$dir/out" "$dir/err" "$CASE")
    record probe "$verdict"
    total=$(json_value "$dir/out" totalFrames)
    if [[ $verdict == ok ]]; then todo+=("${after_open[@]}"); fi
    todo+=("${always[@]}")
    if [[ -n $rotate ]]; then
        # One of the other commands per input, in turn; a picture command only when it opened.
        local all=("${after_open[@]}" "${always[@]}") pick
        pick=${all[$(( i % ${#all[@]} ))]}
        todo=()
        if [[ $verdict == ok || " ${always[*]} " == *" $pick "* ]]; then todo=("$pick"); fi
    fi
    for command in "${todo[@]}"; do
        command_args "$command" "$CASE" "$dir"
        run_cli "$dir" "${ARGS[@]}"
        case $command in
            frame*|scope) verdict=$(fuzz_judge_frame "$STATUS" "$dir/out" "$dir/err" "$total") ;;
            *) verdict=$(judge_other "$command" "$STATUS") ;;
        esac
        record "$command" "$verdict"
    done
    printf '%s\n' "${lines[@]}" >"$work/runs/$i"
    rm -rf "$dir" "$CASE"
}

start=$SECONDS
running=0
last=$(( first + count - 1 ))
for (( i = first; i <= last; i++ )); do
    if (( running >= jobs )); then
        wait -n
        running=$(( running - 1 ))
    fi
    fuzz_case "$i" &
    running=$(( running + 1 ))
    if (( (i - first + 1) % 200 == 0 )); then echo "fuzz_long: $(( i - first + 1 )) of $count started ($(( SECONDS - start )) s)"; fi
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
inputs=$(awk '$2 == "probe"' "$work/results.txt" | wc -l)
peak=$(awk 'BEGIN { m = 0 } $4 > m { m = $4 } END { print m }' "$work/results.txt")
median=$(awk '{ print $4 }' "$work/results.txt" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
echo "fuzz_long: $inputs inputs (seed $seed, indexes $first..$last) in $(( SECONDS - start )) s with $jobs jobs, time-out ${limit} s${rotate:+, one command after probe per input}"
printf '  %-12s %6s %6s %6s %7s %6s %11s %9s\n' command runs ok errors crashes hangs implausible sanitizer
for command in probe "${after_open[@]}" "${always[@]}"; do
    awk -v c="$command" '$2 == c { n++; k[$3]++ }
        END { printf "  %-12s %6d %6d %6d %7d %6d %11d %9d\n", c, n, k["ok"], k["error"], k["crash"], k["hang"], k["implausible"], k["sanitizer"] }' "$work/results.txt"
done
echo "  special files not refused: $special_fail of ${#specials[@]}"
echo "  peak RSS of one run: $(( peak / 1024 )) MiB (median $(( ${median:-0} / 1024 )) MiB, ASan build)"
awk '$3 != "ok" && $3 != "error"' "$work/results.txt" | head -n 20
echo "  findings: $work/findings"
bad=$(awk '$3 != "ok" && $3 != "error"' "$work/results.txt" | wc -l)
(( bad == 0 && special_fail == 0 ))
