#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Orvel need, and only
# those that are missing. Debian 12 (bookworm) is the reference; Debian 13 (trixie) gets its
# own names where they differ (see below). Works as root (CI) or through sudo; never asks.
set -euo pipefail

# ID and VERSION_CODENAME of the system we install on (a chroot reads its own file).
os_id=debian
os_codename=bookworm
if [[ -r /etc/os-release ]]; then
    os_id=$(. /etc/os-release && echo "${ID:-debian}")
    os_codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
fi

PACKAGES=(
    # toolchain
    cmake ninja-build pkg-config g++ ccache
    # Qt 6: widgets, multimedia, the xcb and offscreen platforms, OpenGL headers
    qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev qt6-qpa-plugins libqt6opengl6-dev libgl-dev
    # FFmpeg: the libraries we link, and the CLI that makes the test media
    ffmpeg libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libavfilter-dev libswresample-dev
    # zlib: the fast PNG writer deflates itself
    zlib1g-dev
    # Audio output. Qt 6.4's QAudioSink talks to PulseAudio itself (libQt6Multimedia links
    # libpulse), so tests need a running daemon; pulseaudio-utils gives pactl/paplay/parec.
    # libpulse-dev: the output device watch asks the server which sinks exist.
    pulseaudio pulseaudio-utils libpulse-dev
    # The program selects Qt Multimedia's FFmpeg back end (compat::selectMediaBackend), which
    # libqt6multimedia6 ships. Qt 6.4 would default to its GStreamer plugin; these two keep
    # that one usable for comparison (-DORVEL_TEST_MEDIA_BACKEND=gstreamer).
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    # A real X display for the tst_*_xvfb tests; xdpyinfo tells when it is up; xdotool
    # presses keys in the real window.
    xvfb xauth x11-utils xdotool
    # dbus-daemon: the reveal test runs a private session bus with a fake file manager
    dbus
    # Qt Test prints the stack of a test that crashes when gdb is there to ask
    gdb
    # Artwork, screenshots and the burnt-in frame counter font
    imagemagick fonts-liberation fontconfig
    # Packaging: cpack -G DEB computes Depends with dpkg-shlibdeps (dpkg-dev), finding the
    # binaries with file; the tests validate the menu entry and the AppStream file;
    # shared-mime-info names the file types.
    dpkg-dev file desktop-file-utils appstream shared-mime-info
    # GNU Parallel: the README's farm recipe for orvel-cli qc, which a test runs locally
    parallel
)

# Debian 13 (Qt 6.8, FFmpeg 7.1): the QtOpenGL headers moved into qt6-base-dev (the old
# name is only a virtual package there, which dpkg never reports as installed), and Qt
# Multimedia ships only its FFmpeg back end, so the GStreamer plugins serve no purpose.
if [[ $os_id == debian && $os_codename == trixie ]]; then
    not_on_trixie=" libqt6opengl6-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good "
    kept=()
    for package in "${PACKAGES[@]}"; do
        [[ $not_on_trixie == *" $package "* ]] || kept+=("$package")
    done
    PACKAGES=("${kept[@]}")
elif [[ $os_id != debian || $os_codename != bookworm ]]; then
    echo "deps: $os_id ${os_codename:-(no codename)} is untested; trying Debian 12's package names" >&2
fi

missing=()
for package in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if (( ${#missing[@]} == 0 )); then
    echo "deps: all ${#PACKAGES[@]} packages are installed"
    exit 0
fi

if (( EUID == 0 )); then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "deps: missing packages (${missing[*]}), and neither root nor sudo is available" >&2
    exit 1
fi

echo "deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
