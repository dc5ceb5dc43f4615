#!/usr/bin/env bash
# The whole benchmark in one command, from a fresh clone, as root:
#
#   bash bench/run.sh [--build-dir DIR] [--quick] [other bench/run.py options]
#
# Installs what is missing (apt-get), builds vandrisk and walk_bench in Release
# (default directory: build-bench), then runs bench/run.py, which makes the
# trees, starts vsftpd on loopback, times vandrisk, lftp, wget and curl and
# prints the tables. --quick: small trees and two runs, a smoke test only.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --build-dir=*) build=${1#*=}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

if [ "$(id -u)" -ne 0 ]; then
  echo "bench/run.sh: run as root (vsftpd and the private network namespace need it)" >&2
  exit 1
fi

packages=(
  g++ cmake make pkg-config libcurl4-openssl-dev  # the build
  python3 vsftpd                                  # the server and its launcher
  lftp wget curl aria2                            # the peers
  time diffutils                                  # /usr/bin/time -v, cmp
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

echo "building in $build (Release)" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVANDRISK_BENCH=ON >/dev/null
cmake --build "$build" --target vandrisk walk_bench -j"$(nproc)" >/dev/null

exec /usr/bin/python3 bench/run.py --walk-bench "$build/bench/walk_bench" \
  --tool "$build/vandrisk" "${args[@]}"
