#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Orvel need, and only
# those that are missing. Works as root (CI) or through sudo; never asks questions.
set -euo pipefail

PACKAGES=(
    # toolchain
    cmake ninja-build pkg-config g++ ccache
    # Qt 6: widgets, multimedia, the xcb and offscreen platforms, OpenGL headers
    qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev qt6-qpa-plugins libqt6opengl6-dev libgl-dev
    # FFmpeg: the libraries we link, and the CLI that makes the test media
    ffmpeg libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libavfilter-dev libswresample-dev
    # Audio output. Qt 6.4's QAudioSink talks to PulseAudio itself (libQt6Multimedia links
    # libpulse), so tests need a running daemon; pulseaudio-utils gives pactl/paplay/parec.
    pulseaudio pulseaudio-utils
    # QVideoWidget/QVideoSink need a media backend plugin. Qt 6.4 picks its GStreamer
    # plugin unless QT_MEDIA_BACKEND=ffmpeg is set (FFmpeg became the default in 6.5);
    # the GStreamer video sink path uses elements from these two packages.
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    # A real X display for the tst_*_xvfb tests; xdpyinfo tells when it is up.
    xvfb xauth x11-utils
    # dbus-daemon: the reveal test runs a private session bus with a fake file manager
    dbus
    # Artwork, screenshots and the burnt-in frame counter font
    imagemagick fonts-liberation fontconfig
    # Packaging: cpack -G DEB computes Depends with dpkg-shlibdeps (dpkg-dev); the tests
    # validate the menu entry and the AppStream file; shared-mime-info names the file types.
    dpkg-dev desktop-file-utils appstream shared-mime-info
)

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
