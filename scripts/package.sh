#!/usr/bin/env bash
# Builds what a user installs, into dist/ (emptied first):
#   dist/vandrisk_<version>_<arch>.deb   the Debian package: CPack in build-deb/,
#                                        built with Debian's hardening flags
#   dist/vandrisk-<version>-win32.zip    build-win32/vandrisk.exe and README.txt
# <version> is project(VERSION) in CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
# CPack packs the directories it stages with the modes they got: the ones
# Debian wants (0755) come only from this umask.
umask 022

# dpkg-dev: dpkg-buildflags and dpkg-shlibdeps; file: CPack looks at the
# binaries with it to find their libraries; zip for the Windows archive.
bash scripts/install-deps.sh dpkg-dev file zip

rm -rf dist build-deb
mkdir dist

# The changelog's date: the last commit's time, so that one commit gives the
# same package whenever it is built.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi

# The flags Debian builds its own packages with (hardening=+all adds bind-now
# to relro, PIE and the stack protector). CMake reads CXXFLAGS and LDFLAGS from
# the environment when it configures a new build, but not CPPFLAGS
# (_FORTIFY_SOURCE): those go in with CXXFLAGS.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B build-deb -DBUILD_TESTING=OFF >/dev/null
cmake --build build-deb -j"$(nproc)"
(cd build-deb && cpack -G DEB)
mv build-deb/vandrisk_*.deb dist/
deb=$(echo dist/vandrisk_*.deb)
version=$(dpkg-deb --field "$deb" Version)

bash scripts/build-windows.sh
stage=$(mktemp -d /tmp/vandrisk-zip.XXXXXX)
trap 'rm -rf "$stage"' EXIT
folder="vandrisk-$version-win32"
mkdir "$stage/$folder"
cp build-win32/vandrisk.exe "$stage/$folder/"
# README.txt is for Notepad: CR LF line ends (Notepad before Windows 10 1809
# shows a file with bare LFs as one long line) and UTF-8 with a byte-order
# mark. The BOM is what makes every Notepad read the file as UTF-8: without
# it, Notepad before Windows 10 1903 takes the file for the ANSI code page
# and garbles the Chinese messages it quotes; GBK itself would read right only
# on Windows whose ANSI code page is 936.
{
  printf '\xef\xbb\xbf'
  sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' packaging/README-windows.txt
} >"$stage/$folder/README.txt"
(cd "$stage" && zip -X -q -r - "$folder") >"dist/$folder.zip"

ls -l dist
