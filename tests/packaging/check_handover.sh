#!/usr/bin/env bash
# Opens a file the way a file manager does, through the installed menu entry: its Exec line
# with %f replaced by the file. The first start (no file: %f is dropped) becomes the running
# player; the second, with a file whose name has a space and non-ASCII letters, must hand the
# path to it and exit 0, and the running player must open exactly that file.
# Both run on the offscreen platform, with a private TMPDIR so that the single-instance
# socket is this test's own and no player the user is running takes part.
#   check_handover.sh BUILD_DIR APP_ID MEDIA_FILE
set -uo pipefail

build=$1
app_id=$2
media=$3
work=$(mktemp -d)
first_pid=
cleanup() {
    [[ -n $first_pid ]] && kill "$first_pid" 2>/dev/null && wait "$first_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

if [[ ! -f $media ]]; then
    echo "FAIL: no test clip $media (run the generate_media test first)"
    exit 1
fi
prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi
exec_line=$(sed -n 's/^Exec=//p' "$prefix/share/applications/$app_id.desktop" | head -n1)
read -r -a exec_words <<<"$exec_line"
echo "Exec=$exec_line"

# argv for a launch of the entry: %f becomes the file, or vanishes without one.
launch_argv() {
    local word
    for word in "${exec_words[@]}"; do
        if [[ $word == %f ]]; then
            [[ -n ${1:-} ]] && printf '%s\0' "$1"
        else
            printf '%s\0' "$word"
        fi
    done
}

clip="$work/Clip été 01.${media##*.}"
ln -s "$media" "$clip"

export PATH="$prefix/bin:$PATH"
export TMPDIR=$work/tmp
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$TMPDIR" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
# Debian's Qt switches debug messages off by default; the player's "Media opened:" line is one.
export QT_LOGGING_RULES="*.debug=true"
export LC_ALL=C.UTF-8

mapfile -d '' -t first < <(launch_argv)
"${first[@]}" >"$work/first.log" 2>&1 &
first_pid=$!

socket=$TMPDIR/Orvel_SingleInstance_App
for ((i = 0; i < 200; i++)); do
    [[ -S $socket ]] && break
    kill -0 "$first_pid" 2>/dev/null || break
    sleep 0.1
done
if [[ ! -S $socket ]]; then
    cat "$work/first.log"
    echo "FAIL: the first start did not begin listening at $socket"
    exit 1
fi

mapfile -d '' -t second < <(launch_argv "$clip")
timeout 15 "${second[@]}" >"$work/second.log" 2>&1
status=$?
if (( status != 0 )); then
    cat "$work/second.log"
    echo "FAIL: the second start exited with $status (124: still running after 15 s), not 0"
    exit 1
fi

for ((i = 0; i < 300; i++)); do
    grep -qF "Media opened: $clip" "$work/first.log" && break
    kill -0 "$first_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -qF "Media opened: $clip" "$work/first.log"; then
    cat "$work/first.log"
    echo "FAIL: the running player did not open '$clip'"
    exit 1
fi
if grep -q "Media opened:" "$work/second.log"; then
    echo "FAIL: the second start opened the file itself"
    exit 1
fi
echo "hand-over through the menu entry's Exec line: '$clip' opened in the running player"
