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
limit=${ORVEL_FUZZ_TIMEOUT:-20}

export QT_QPA_PLATFORM=offscreen
# orvel-cli must keep Qt's start-up warnings to itself even without a runtime dir.
unset XDG_RUNTIME_DIR

# ---- the inputs ------------------------------------------------------------------------------
# names[i], musts[i] ("fail": must be refused, "open": must open, "any"), files in $cases.
fuzz_regression_inputs "$media" "$work" || exit 1
cases=$work/cases

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
