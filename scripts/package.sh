#!/usr/bin/env bash
# Builds the Debian package tessaro_VERSION_ARCH.deb in a build folder
# (default build/, configured with dpkg-buildflags' hardened flags when it
# is not there yet, and built): the two
# programs stripped, the pages, the manual pages and the README, with the
# Depends line worked out from the shared libraries the programs use.
#   scripts/package.sh [BUILD_DIR]
# Prints the package's path on its last line. TESSARO_DEB_COMPRESSION picks
# dpkg-deb's compression (xz, the default; gzip, zstd or none are quicker
# to make, for a package that is only tried out). TESSARO_PACKAGE_AS_BUILT=1
# packages the build folder as it stands, without building it first: the
# tests do, while other tests run the same programs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/install-deps.sh

if [ ! -f "$build/CMakeCache.txt" ]; then
    # Debian's build flags with every hardening feature. -Wdate-time is left
    # out: --version names the build's date on purpose, and SOURCE_DATE_EPOCH
    # (set below from the commit) makes it the same at every build.
    flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1" | sed 's/-Wdate-time//'; }
    CXXFLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" LDFLAGS=$(flags LDFLAGS) \
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if grep -q '^TESSARO_SANITIZE:STRING=.' "$build/CMakeCache.txt"; then
    echo "scripts/package.sh: $build is a sanitizer build; package a plain one" >&2
    exit 2
fi
if [ "${TESSARO_PACKAGE_AS_BUILT:-}" != 1 ]; then
    cmake --build "$build"
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
maintainer=${TESSARO_MAINTAINER:-Tessaro developers <tessaro@example.org>}
# The changelog's date is the commit's, so that a package built twice from
# the same sources is the same.
changed=$(git log -1 --format=%cD 2>/dev/null || date -R)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -d "$changed" +%s)}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/debian/tessaro
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null

doc=$root/usr/share/doc/tessaro
gzip -9n "$root"/usr/share/man/man1/*.1
cat >"$doc/copyright" <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tessaro

Files: *
Copyright: $(date -u -d "@$SOURCE_DATE_EPOCH" +%Y) the Tessaro developers
License: all-rights-reserved
 No licence has been chosen for Tessaro yet; until one is, all rights are
 reserved by its authors.
COPYRIGHT
cat >"$stage/changelog" <<CHANGELOG
tessaro ($version) unstable; urgency=medium

  * Release $version.

 -- $maintainer  $changed
CHANGELOG
gzip -9n -c "$stage/changelog" >"$doc/changelog.gz"

# dpkg-shlibdeps reads the package's name from a debian/control beside it.
mkdir -p "$stage/debian"
printf 'Source: tessaro\n\nPackage: tessaro\nArchitecture: any\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O -e debian/tessaro/usr/bin/tessaro -e debian/tessaro/usr/bin/quirn-sim |
    sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "scripts/package.sh: no Depends from dpkg-shlibdeps" >&2; exit 1; }

# Modes as Debian wants them, whatever the umask.
find "$root" -type d -exec chmod 0755 {} +
find "$root" -type f -exec chmod 0644 {} +
chmod 0755 "$root"/usr/bin/*

mkdir -p "$root/DEBIAN"
(cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/md5sums"
cat >"$root/DEBIAN/control" <<CONTROL
Package: tessaro
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Section: electronics
Priority: optional
Description: console host for boards that run the Quirn firmware
 Tessaro turns short typed words into request frames on a serial line and
 tells the board's replies in plain words. While a board is connected it
 serves a GPIO page, a command reference and a JSON API on
 http://localhost:8088/.
 .
 The package also holds quirn-sim, a simulated Quirn board on a
 pseudo-terminal, to try everything without hardware.
CONTROL

deb=$build/tessaro_${version}_${arch}.deb

dpkg-deb --root-owner-group "-Z${TESSARO_DEB_COMPRESSION:-xz}" --build "$root" "$deb" >/dev/null
echo "$deb"
