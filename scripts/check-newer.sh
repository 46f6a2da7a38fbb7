#!/usr/bin/env bash
# Builds Orvel and runs the whole test suite inside a Debian 13 root (Qt 6.8, FFmpeg 7.1),
# to prove that the code still builds and behaves against the newer libraries.
#   - the root is made once with debootstrap under build/debian13-root and reused;
#   - scripts/deps.sh installs the packages inside it (Debian 13's names);
#   - the source tree is bound read-only at /orvel/src, the build lives in the root's
#     /orvel/build and is reused between runs;
#   - scripts/test.sh runs there as usual, with its own PulseAudio and Xvfb; the tests use
#     Qt Multimedia's FFmpeg back end, the only one Debian 13 ships.
# Prints the Qt and FFmpeg versions and the ctest summary; exits non-zero on any failure.
# Extra arguments go to ctest (e.g. -R engine/). Needs root; downloads about 400 MB once.
# Not run by CI.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
chroot_dir=${ORVEL_NEWER_ROOT:-$root/build/debian13-root}
mirror=${ORVEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=trixie

say() { echo "check-newer: $*"; }
fail() { echo "check-newer: $*" >&2; exit 1; }

(( EUID == 0 )) || fail "needs root (debootstrap, mount, chroot)"

# Everything below runs in a private mount namespace: whatever is mounted into the root
# disappears with this process, even if it is killed before its trap runs.
if [[ -z ${ORVEL_NEWER_NAMESPACE:-} ]]; then
    command -v unshare >/dev/null || fail "unshare (util-linux) is missing"
    exec env ORVEL_NEWER_NAMESPACE=1 unshare --mount --propagation private -- bash "$0" "$@"
fi

# A path with something mounted below it must never be deleted or re-made: a bound source
# tree would go with it.
has_mounts_below() {
    local path
    path=$(realpath -m "$1")
    awk -v p="$path" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}

# ---- the root, made once ------------------------------------------------------------------
if [[ ! -e $chroot_dir/.orvel-root-ready ]]; then
    if ! command -v debootstrap >/dev/null; then
        say "installing debootstrap"
        env DEBIAN_FRONTEND=noninteractive apt-get update -q
        env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
    fi
    partial=$chroot_dir.partial
    for path in "$chroot_dir" "$partial"; do
        has_mounts_below "$path" && fail "$path has mounts below it; unmount them first"
    done
    rm -rf "$partial" "$chroot_dir"
    mkdir -p "$(dirname "$chroot_dir")"
    say "making a Debian 13 root in $chroot_dir (downloads the base system once)"
    debootstrap --variant=minbase "$suite" "$partial" "$mirror"
    # Packages must not try to start services in the root.
    printf '#!/bin/sh\nexit 101\n' >"$partial/usr/sbin/policy-rc.d"
    chmod 755 "$partial/usr/sbin/policy-rc.d"
    mv "$partial" "$chroot_dir"
    touch "$chroot_dir/.orvel-root-ready"
fi
has_mounts_below "$chroot_dir" && fail "$chroot_dir already has mounts below it (another run?)"

# ---- mounts, undone on exit -----------------------------------------------------------------
mounted=()
cleanup() {
    local status=$? target
    set +e
    for target in "${mounted[@]}"; do
        umount "$target" 2>/dev/null || umount -l "$target"
    done
    exit "$status"
}
trap cleanup EXIT

mount_in() {
    local target=$chroot_dir$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounted=("$target" "${mounted[@]}")
}

mount_in /proc -t proc proc
mount_in /sys -t sysfs -o ro sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs -o mode=1777 tmpfs
mount_in /tmp -t tmpfs -o mode=1777 tmpfs
mount_in /orvel/src --bind "$root"
mount -o remount,bind,ro "$chroot_dir/orvel/src"
# The build is kept for the tree it was made from only: a root shared by two checkouts
# would otherwise keep objects newer than the other tree's edited sources.
build_stamp=$chroot_dir/orvel/build/.source-tree
if [[ -e $build_stamp && $(cat "$build_stamp") != "$root" ]]; then
    say "the kept build was made from $(cat "$build_stamp"); starting it afresh"
    rm -rf "$chroot_dir/orvel/build"
fi
mkdir -p "$chroot_dir/orvel/build"
echo "$root" >"$build_stamp"
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"

in_root() {
    chroot "$chroot_dir" /usr/bin/env -i \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive \
        ORVEL_BUILD_DIR=/orvel/build "$@"
}

in_root bash /orvel/src/scripts/deps.sh

qt_version=$(in_root dpkg-query -W -f='${Version}' qt6-base-dev)
ffmpeg_version=$(in_root dpkg-query -W -f='${Version}' libavcodec-dev)
libs=$(in_root pkg-config --modversion libavcodec libavformat libavutil | paste -sd' ')
plugins=$(in_root bash -c 'ls /usr/lib/*/qt6/plugins/multimedia/ 2>/dev/null' | paste -sd' ')
versions="Qt $qt_version, FFmpeg $ffmpeg_version (libavcodec/libavformat/libavutil $libs)"
say "$(in_root sh -c '. /etc/os-release && echo "$PRETTY_NAME"'): $versions"
say "Qt multimedia plugins: ${plugins:-none}"
[[ $plugins == *libffmpegmediaplugin.so* ]] || fail "Qt Multimedia's FFmpeg back end is missing in the root"

# ---- build (reused between runs) and test -----------------------------------------------------
log=/orvel/build/check-newer.log
say "running scripts/test.sh $*"
status=0
in_root bash -o pipefail -c 'bash /orvel/src/scripts/test.sh "$@" 2>&1 | tee "$0"' "$log" "$@" || status=$?

echo
say "$versions"
summary=$(sed -n '/tests passed, /,$p' "$chroot_dir$log" | grep -v '^Errors while running CTest' || true)
echo "${summary:-check-newer: no ctest summary; the build or the set-up failed (see $chroot_dir$log)}"
say "exit status $status"
exit "$status"
