#!/usr/bin/env bash
# The fuzz harness over the regression inputs (the same set fuzz_regression.sh runs through
# orvel-cli, the long runs' findings included), in one process: every input must come back.
#
# Usage: replay_regression.sh MEDIA_DIR REPLAY_DRIVER [WORK_DIR]
set -uo pipefail

media=${1:?usage: replay_regression.sh MEDIA_DIR REPLAY_DRIVER [WORK_DIR]}
replay=${2:?usage: replay_regression.sh MEDIA_DIR REPLAY_DRIVER [WORK_DIR]}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=fuzzlib.sh
source "$here/fuzzlib.sh"

work=${3:-$(mktemp -d "${TMPDIR:-/tmp}/orvel-replay.XXXXXX")}
mkdir -p "$work"
[[ -z ${3:-} ]] && trap 'rm -rf "$work"' EXIT

fuzz_regression_inputs "$media" "$work" || exit 1
# Regular files only: the pipe, folder and missing inputs are about paths, not bytes.
mapfile -t files < <(find "$work/cases" -maxdepth 1 -type f -size +0 | sort)
(( ${#files[@]} > 20 )) || { echo "replay_regression: only ${#files[@]} inputs made"; exit 1; }
timeout -k 5 500 "$replay" "${files[@]}" 2>"$work/replay.err"
status=$?
if (( status != 0 )); then
    echo "replay_regression: the harness ended with status $status; last inputs:"
    grep '^replay:' "$work/replay.err" | tail -n 3
    grep -v '^replay:' "$work/replay.err" | head -n 60
    exit 1
fi
exit 0
