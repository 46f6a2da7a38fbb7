#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder and checks its control data:
# the Depends that dpkg-shlibdeps computed name the Qt and FFmpeg runtime libraries, and the
# files sit under /usr. When apt-get is there, it also resolves the package's dependencies
# against this machine's package lists (a simulation: nothing is installed).
#   check_deb.sh BUILD_DIR APP_ID
set -uo pipefail

build=$1
app_id=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for tool in cpack dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed (dpkg-dev)"
        exit 77
    fi
done

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
debs=("$out"/orvel_*.deb)
if [[ ! -f ${debs[0]} ]] || (( ${#debs[@]} != 1 )); then
    echo "FAIL: expected one orvel_*.deb, found: $(ls "$out")"
    exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[[ $(dpkg-deb -f "$deb" Package) == orvel ]] || fail "Package is not 'orvel'"
[[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6multimedia6 libqt6multimediawidgets6 \
               libqt6network6 libavformat libavcodec libavutil libswscale libavfilter; do
    [[ ", $depends" == *", $library"* ]] || fail "Depends does not name $library"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for f in ./usr/bin/orvel ./usr/bin/orvel-cli ./usr/share/applications/$app_id.desktop \
         ./usr/share/metainfo/$app_id.metainfo.xml ./usr/share/man/man1/orvel.1.gz \
         ./usr/share/icons/hicolor/256x256/apps/$app_id.png; do
    grep -qxF "$f" <<<"$contents" || fail "the package lacks $f"
done
owners=$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)
[[ $owners == root/root ]] || fail "files not owned by root/root: $owners"
strays=$(grep -v '^\./usr/' <<<"$contents" | grep -vxF './' || true)
[[ -z $strays ]] || fail "files outside /usr: $strays"

if command -v apt-get >/dev/null; then
    if ! sim=$(apt-get install --simulate --no-install-recommends "$deb" 2>&1); then
        fail "apt-get cannot resolve the package's dependencies: $(tail -n 5 <<<"$sim")"
    fi
fi

if (( failures > 0 )); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "Debian package: all checks passed"
