#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Runs apt-get only when something is missing, so repeated runs are quick.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libcurl4-openssl-dev
  googletest libgtest-dev libgmock-dev
  python3 python3-pytest python3-pyftpdlib
  vsftpd
  libsodium23  # for the unpacked pure-ftpd below
  curl  # the benchmark scripts' tests drive the curl command-line tool
  openssl  # the FTPS tests make their own certificate
  libc-bin  # iconv, to read the GBK console output on a UTF-8 terminal
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# pure-ftpd conflicts with vsftpd (both are Debian's ftp-server), so the tests
# run its programs unpacked from its package, never installed; they skip it
# where that fails.
pure=/opt/loopback-servers/pure-ftpd
[ -x "$pure/usr/sbin/pure-ftpd" ] || unpack_pure=1

[ ${#missing[@]} -eq 0 ] && [ -z "${unpack_pure:-}" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if [ -n "${unpack_pure:-}" ]; then
  work=$(mktemp -d)
  if (cd "$work" && { apt-get download -q pure-ftpd 2>/dev/null ||
                      { $sudo apt-get update -q && apt-get download -q pure-ftpd; }; }); then
    $sudo mkdir -p "$pure"
    $sudo dpkg-deb -x "$work"/pure-ftpd_*.deb "$pure"
  else
    echo "pure-ftpd could not be fetched: its tests will be skipped" >&2
  fi
  rm -rf "$work"
fi
