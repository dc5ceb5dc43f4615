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
  curl  # the benchmark scripts' tests drive the curl command-line tool
  openssl  # the FTPS tests make their own certificate
  libc-bin  # iconv, to read the GBK console output on a UTF-8 terminal
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
