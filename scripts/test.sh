#!/usr/bin/env bash
# Builds Orvel into build/ and runs the whole test suite, the way CI does:
#   deps -> configure + build (RelWithDebInfo, Ninja, -j2) -> PulseAudio with a null sink
#   -> Xvfb -> ctest (the generate_media fixture first) -> stop what was started.
# Exits with ctest's status. Extra arguments go to ctest (e.g. -R engine/).
# Works as root without a TTY; the audio daemon and the X server are private to this run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build}
cd "$root"

bash "$root/scripts/deps.sh"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
ninja -C "$build" -j2

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/orvel-test.XXXXXX")
# A private temporary folder: the single-instance socket and every test's scratch files live
# there, so two test runs on one machine never hand files to each other's windows.
mkdir -p "$run_dir/tmp"
export TMPDIR=$run_dir/tmp
pulse_pid=""
xvfb_pid=""

cleanup() {
    local status=$?
    set +e
    # Only the processes this script started, by their ids.
    if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
    if [[ -n $pulse_pid ]]; then kill "$pulse_pid" 2>/dev/null; wait "$pulse_pid" 2>/dev/null; fi
    rm -rf "$run_dir"
    exit "$status"
}
trap cleanup EXIT

# ---- PulseAudio with a null sink --------------------------------------------------------
# A private daemon: its own runtime dir, home and socket, so it works as root, beside a
# desktop session, and beside a second test run. Clients find it through PULSE_SERVER.
start_pulse() {
    mkdir -p -m 700 "$run_dir/pulse-runtime" "$run_dir/pulse-home"
    local socket=$run_dir/pulse-native
    HOME=$run_dir/pulse-home XDG_RUNTIME_DIR=$run_dir/pulse-runtime \
        pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n \
        --realtime=no --high-priority=no --use-pid-file=no \
        --log-target=stderr --log-level=error \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$socket" \
        --load="module-null-sink sink_name=orvel_null rate=48000" \
        >"$run_dir/pulseaudio.log" 2>&1 &
    pulse_pid=$!
    export PULSE_SERVER=unix:$socket
    local i
    for (( i = 0; i < 100; i++ )); do
        pactl info >/dev/null 2>&1 && break
        kill -0 "$pulse_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! pactl info >/dev/null 2>&1; then
        echo "test.sh: PulseAudio did not start:" >&2
        cat "$run_dir/pulseaudio.log" >&2
        return 1
    fi
    pactl set-default-sink orvel_null
    [[ $(pactl info | sed -n 's/^Default Sink: //p') == orvel_null ]] ||
        { echo "test.sh: orvel_null is not the default sink" >&2; return 1; }
}

# Plays a tone and records the sink's monitor: proves that what the tests play reaches
# the null sink (a silent recording would make every audio test meaningless). Under load
# the recorder can take a while to connect, so the tone starts only once it is listed;
# a short recording latency keeps parec from holding back what it got when it is stopped.
check_pulse_loopback() {
    local tone=$run_dir/tone.wav rec=$run_dir/loopback.raw attempt peak rec_pid i
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=1000:d=1" -ac 2 -ar 48000 "$tone"
    for attempt in 1 2 3; do
        parec --latency-msec=20 --device=orvel_null.monitor --raw --format=s16le --rate=48000 --channels=2 \
            >"$rec" 2>"$run_dir/parec.log" &
        rec_pid=$!
        for (( i = 0; i < 100; i++ )); do
            [[ -n $(pactl list short source-outputs 2>/dev/null) ]] && break
            sleep 0.1
        done
        sleep 0.2
        paplay "$tone" 2>"$run_dir/paplay.log" || echo "test.sh: paplay failed: $(cat "$run_dir/paplay.log")" >&2
        sleep 1
        kill "$rec_pid" 2>/dev/null; wait "$rec_pid" 2>/dev/null || true
        peak=$(od -An -td2 -v "$rec" | awk 'BEGIN { m = 0 }
            { for (i = 1; i <= NF; i++) { v = $i < 0 ? -$i : $i; if (v > m) m = v } }
            END { print m }')
        if (( peak > 1000 )); then
            echo "test.sh: PulseAudio null sink up (loopback peak $peak)"
            return 0
        fi
        echo "test.sh: loopback attempt $attempt: peak $peak in $(stat -c %s "$rec") bytes recorded" >&2
    done
    echo "test.sh: the null sink's monitor recorded silence while a tone played" >&2
    cat "$run_dir/parec.log" "$run_dir/pulseaudio.log" >&2
    pactl list short sinks >&2 || true
    return 1
}

# ---- Xvfb -------------------------------------------------------------------------------
start_xvfb() {
    local fd_file=$run_dir/xvfb-display i
    # -displayfd lets the server pick a free display and tell us which. -noreset: by default
    # the server resets when its last client leaves (our own readiness check, every test
    # between two others), and a client that connects meanwhile is refused; Qt aborts then.
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fd_file" >"$run_dir/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for (( i = 0; i < 100; i++ )); do
        [[ -s $fd_file ]] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [[ ! -s $fd_file ]]; then
        echo "test.sh: Xvfb did not start:" >&2
        cat "$run_dir/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=:$(tr -d '[:space:]' <"$fd_file")
    xdpyinfo >/dev/null || { echo "test.sh: cannot talk to Xvfb on $DISPLAY" >&2; return 1; }
    echo "test.sh: Xvfb on $DISPLAY"
}

start_pulse
check_pulse_loopback
start_xvfb
# Qt warns on every start without one; CI has no login session to provide it.
if [[ -z ${XDG_RUNTIME_DIR:-} ]]; then
    mkdir -p -m 700 "$run_dir/runtime"
    export XDG_RUNTIME_DIR=$run_dir/runtime
fi

cd "$build"
status=0
ctest --output-on-failure "$@" || status=$?
exit "$status"
