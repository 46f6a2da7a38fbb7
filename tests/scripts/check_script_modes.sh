#!/usr/bin/env bash
# Every scripts/*.sh the README shows as a command must run as typed: the file has its run
# bit, and so does git's record of it (a fresh clone takes the bit from there).
#
# Usage: check_script_modes.sh SOURCE_DIR
set -uo pipefail

root=${1:?usage: check_script_modes.sh SOURCE_DIR}
cd "$root" || exit 1
mapfile -t named < <(grep -oE '(^|[^[:alnum:]_/.-])scripts/[[:alnum:]_.-]+\.sh' README.md | grep -oE 'scripts/[[:alnum:]_.-]+\.sh' | sort -u)
(( ${#named[@]} > 0 )) || { echo "check_script_modes: README names no scripts/*.sh"; exit 1; }

in_git=0
git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1 && in_git=1
bad=0
for script in "${named[@]}"; do
    if [[ ! -f $script ]]; then
        echo "README names $script, which does not exist"; bad=$(( bad + 1 )); continue
    fi
    [[ -x $script ]] || { echo "$script has no run bit"; bad=$(( bad + 1 )); }
    if (( in_git )); then
        mode=$(git ls-files -s -- "$script" | cut -d' ' -f1)
        [[ -z $mode || $mode == 100755 ]] || { echo "$script is recorded in git as $mode, not 100755"; bad=$(( bad + 1 )); }
    fi
done
echo "check_script_modes: ${#named[@]} scripts named in the README, $bad problems"
(( bad == 0 ))
