#!/usr/bin/env bash
# Soak: the real player window under a private Xvfb with a private PulseAudio null sink,
# driven by tools/soak/orvel_soak.cpp for MINUTES (default 10) with random keys, wheel
# turns, drops of good and damaged files and resizes. Reports crashes (the process dying
# by a signal), deadlocks (a key unanswered for 5 s; the driver then prints every thread's
# stack), engine stalls, and resident memory over time with its growth after warm-up.
#
# Usage: scripts/soak.sh [MINUTES [SEED]]
# Environment: ORVEL_BUILD_DIR (default build), ORVEL_SOAK_NO_BUILD=1 to use the build as
#              it is, ORVEL_SOAK_WARMUP (minutes left out of the growth figure, default 2),
#              ORVEL_SOAK_GDB=1 to run under gdb (stacks of a crash in the log),
#              ORVEL_SOAK_REPORT_EVERY (seconds between memory samples, default 60),
#              ORVEL_SOAK_KEEP=DIR to keep the driver's whole log there.
#
# After the run it prints every memory sample after warm-up (resident set, the bytes held
# from malloc, threads) and the least-squares trend of each with its 95 % confidence
# interval, in MiB per minute.
set -uo pipefail

minutes=${1:-10}
seed=${2:-1}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORVEL_BUILD_DIR:-$root/build}
media=${ORVEL_TEST_MEDIA_DIR:-$build/media}
warmup=${ORVEL_SOAK_WARMUP:-2}
every=${ORVEL_SOAK_REPORT_EVERY:-60}
# shellcheck source=../tests/fuzz/fuzzlib.sh
source "$root/tests/fuzz/fuzzlib.sh"

if [[ -z ${ORVEL_SOAK_NO_BUILD:-} ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
    ninja -C "$build" -j2 orvel-soak || exit 1
    bash "$root/tests/media/generate_media.sh" "$media" | tail -n 1
fi

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/orvel-soak.XXXXXX")
pulse_pid="" xvfb_pid=""
cleanup() {
    # Only what this script started, by id.
    [[ -n $xvfb_pid ]] && { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
    [[ -n $pulse_pid ]] && { kill "$pulse_pid" 2>/dev/null; wait "$pulse_pid" 2>/dev/null; }
    rm -rf "$run_dir"
}
trap cleanup EXIT

# ---- inputs: a few good clips (small and large), damaged ones made from them ------------------
good=$run_dir/good damaged=$run_dir/damaged
mkdir -p "$good" "$damaged"
for clip in h264.mkv vp9.webm untagged.mp4 mono.mov prores_hq_pcm24.mov h264_1080p25.mov uhd_hevc.mp4 \
            bwf_tc.wav audio.flac still.png h264_2997df.mov five_stereo.mov; do
    ln -s "$media/$clip" "$good/$clip"
done
fuzz_seed "$seed"
for clip in h264.mkv vp9.webm untagged.mp4 mono.mov bwf_tc.wav h264_1080p25.mov; do
    base=${clip%.*} ext=${clip##*.}
    fuzz_rand 900; truncate_to "$media/$clip" "$damaged/trunc_$base.$ext" $(( R + 50 ))
    flip_bits "$media/$clip" "$damaged/flip_$base.$ext" 16 65536
    zero_block "$media/$clip" "$damaged/zero_$base.$ext"
done
patch_avi_length "$media/bgra.avi" "$damaged/length.avi"
patch_mov_timescale "$media/untagged.mp4" "$damaged/timescale.mp4"
patch_bwf_reference "$media/bwf_tc.wav" "$damaged/reference.wav"
make_pcm_mp3 "$media/tone_1k_-18dbfs.wav" "$damaged/pcm.wav"
mkfifo "$damaged/pipe.mov"
mkdir "$damaged/folder.mov"
: >"$damaged/empty.mov"

# ---- PulseAudio null sink and Xvfb, private to this run ------------------------------------------
mkdir -p -m 700 "$run_dir/pulse-runtime" "$run_dir/pulse-home" "$run_dir/runtime"
HOME=$run_dir/pulse-home XDG_RUNTIME_DIR=$run_dir/pulse-runtime \
    pulseaudio --daemonize=no --exit-idle-time=-1 --disallow-exit -n --realtime=no --high-priority=no \
    --use-pid-file=no --log-target=stderr --log-level=error \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$run_dir/pulse-native" \
    --load="module-null-sink sink_name=orvel_null rate=48000" >"$run_dir/pulseaudio.log" 2>&1 &
pulse_pid=$!
export PULSE_SERVER=unix:$run_dir/pulse-native
for (( i = 0; i < 100; i++ )); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink orvel_null || { echo "soak: PulseAudio did not start" >&2; cat "$run_dir/pulseaudio.log" >&2; exit 1; }

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$run_dir/display" >"$run_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
for (( i = 0; i < 100; i++ )); do [[ -s $run_dir/display ]] && break; sleep 0.1; done
[[ -s $run_dir/display ]] || { echo "soak: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(tr -d '[:space:]' <"$run_dir/display")
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$run_dir/runtime

# ---- the run ------------------------------------------------------------------------------------
echo "soak: $minutes min, seed $seed, $(ls "$good" | wc -l) good and $(ls "$damaged" | wc -l) damaged inputs, display $DISPLAY"
log=$run_dir/soak.log
# ORVEL_SOAK_GDB=1 runs the driver under gdb, which prints every thread's stack on a crash.
debugger=()
[[ -n ${ORVEL_SOAK_GDB:-} ]] && debugger=(gdb -q -batch -ex run -ex "bt 50" -ex "thread apply all bt 30" -return-child-result --args)
timeout -k 10 $(( minutes * 60 + 120 )) "${debugger[@]}" "$build/tools/orvel-soak" --minutes "$minutes" --seed "$seed" \
    --good "$good" --damaged "$damaged" --report-every "$every" >"$log" 2>"$run_dir/stderr.log"
status=$?
[[ -n ${ORVEL_SOAK_KEEP:-} ]] && { mkdir -p "$ORVEL_SOAK_KEEP"; cp "$log" "$run_dir/stderr.log" "$ORVEL_SOAK_KEEP/"; }
grep '^soak:' "$log"
[[ -n ${ORVEL_SOAK_GDB:-} ]] && grep -A60 -E 'received signal SIG(SEGV|ABRT|BUS|FPE)' "$log" | head -n 150

crashes=0 deadlocks=0 hang=0
if (( status == 3 )); then
    deadlocks=1
    # The GUI thread (gdb's thread 1) first: it is the one that did not answer.
    sed -n '/^Thread 1 /,/^$/p' "$log" | head -n 60
    sed -n '/DEADLOCK/,$p' "$log" | head -n 200
fi
if (( status == 124 || status == 137 )); then hang=1; fi
if (( status > 128 && status != 137 )); then crashes=1; echo "soak: died by signal $(( status - 128 ))"; tail -n 30 "$run_dir/stderr.log"; fi

# Memory after warm-up: every sample, then for resident set and malloc'd bytes the slope of
# a least-squares line (MiB per minute) with its 95 % confidence interval (Student's t).
awk -v warm=$(( warmup * 60 )) '
    function field(line, name,    rest) {
        rest = line
        if (!sub(".* " name "=", "", rest)) return -1
        return rest + 0
    }
    # Two-sided 95 % quantile of Student t with v degrees of freedom (Cornish-Fisher).
    function t95(v,    z) {
        z = 1.959964
        return z + (z^3 + z) / (4 * v) + (5 * z^5 + 16 * z^3 + 3 * z) / (96 * v^2) \
               + (3 * z^7 + 19 * z^5 + 17 * z^3 - 15 * z) / (384 * v^3)
    }
    function trend(name, ys,    i, mt, my, sxx, sxy, b, a, sse, se, half) {
        mt = 0; my = 0
        for (i = 1; i <= n; i++) { mt += t[i]; my += ys[i] }
        mt /= n; my /= n
        sxx = 0; sxy = 0
        for (i = 1; i <= n; i++) { sxx += (t[i] - mt)^2; sxy += (t[i] - mt) * (ys[i] - my) }
        b = sxy / sxx; a = my - b * mt
        sse = 0
        for (i = 1; i <= n; i++) sse += (ys[i] - a - b * t[i])^2
        se = sqrt(sse / (n - 2) / sxx)
        half = t95(n - 2) * se
        printf "soak: %s trend %+.2f MiB/min (95%% CI %+.2f .. %+.2f; %d samples over %.0f min)\n", \
               name, b * 60, (b - half) * 60, (b + half) * 60, n, (t[n] - t[1]) / 60
    }
    /^soak: t=/ {
        line = $0
        sub(/^soak: t= */, "", line)
        time = line + 0
        if (time < warm) next
        n++; t[n] = time; rss[n] = field($0, "rss"); heap[n] = field($0, "heap"); threads[n] = field($0, "threads")
    }
    END {
        if (n < 3) { print "soak: too few memory samples after warm-up"; exit }
        print "soak: minute  rss MiB  heap MiB  threads"
        max = rss[1]
        for (i = 1; i <= n; i++) {
            printf "soak: %6.1f  %7.1f  %8.1f  %7d\n", t[i] / 60, rss[i], heap[i], threads[i]
            if (rss[i] > max) max = rss[i]
        }
        printf "soak: memory after warm-up: %.1f MiB -> %.1f MiB (highest %.1f MiB, %d samples)\n", rss[1], rss[n], max, n
        trend("resident", rss)
        if (heap[1] >= 0) trend("malloc in use", heap)
    }' "$log"
echo "soak: exit status $status; crashes $crashes, deadlocks $deadlocks, time-outs $hang"
(( crashes == 0 && deadlocks == 0 && hang == 0 && status == 0 ))
