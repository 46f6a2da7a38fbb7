#!/usr/bin/env bash
# orvel-cli links and loads only what its commands need: no widget, desktop or sound output
# library and no libavfilter on its link line; no platform plugin unless the command draws
# text (scope), and libavfilter only once a loudness measurement starts. The scope and
# loudness runs also show that the loader's trace sees what is loaded.
# Usage: check_cli_libraries.sh ORVEL_CLI MEDIA_DIR
set -euo pipefail
cli=${1:?usage: check_cli_libraries.sh ORVEL_CLI MEDIA_DIR}
media=${2:?usage: check_cli_libraries.sh ORVEL_CLI MEDIA_DIR}
status=0
fail() { echo "check_cli_libraries: $*" >&2; status=1; }

needed=$(readelf -d "$cli" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[[ -n $needed ]] || fail "readelf found no NEEDED entries in $cli"
for unwanted in libavfilter libQt6Widgets libQt6MultimediaWidgets libQt6Network libQt6DBus libpulse; do
    if grep -q "^$unwanted\." <<<"$needed"; then
        fail "$cli links $unwanted"
    fi
done

# The files the dynamic loader opened for one run (start-up and dlopen alike).
loaded() {
    LD_DEBUG=files "$cli" "$@" 2>&1 >/dev/null | sed -n 's/.*file=\([^ ]*\) .*/\1/p' | sort -u
}

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

probe=$(loaded probe "$media/h264.mkv")
grep -q 'libavcodec\.so' <<<"$probe" || fail "the loader trace of probe names no libavcodec"
grep -q 'libavfilter\.so' <<<"$probe" && fail "probe loads libavfilter"
grep -q 'platforms/' <<<"$probe" && fail "probe loads a platform plugin"
frame=$(loaded frame "$media/h264.mkv" 3 "$out/f.png")
grep -q 'platforms/' <<<"$frame" && fail "frame loads a platform plugin"
grep -q 'libavfilter\.so' <<<"$frame" && fail "frame loads libavfilter"

scope=$(loaded scope "$media/h264.mkv" 3 "$out/s.png")
grep -q 'platforms/libqoffscreen' <<<"$scope" || fail "scope does not load the offscreen platform plugin"
loudness=$(loaded loudness "$media/loudness_1k_-23dbfs.wav" --end 1)
grep -q 'libavfilter\.so' <<<"$loudness" || fail "loudness does not load libavfilter"

if (( status == 0 )); then
    echo "check_cli_libraries: orvel-cli links and loads what its commands need"
fi
exit "$status"
