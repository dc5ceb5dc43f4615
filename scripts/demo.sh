#!/usr/bin/env bash
# The tool's main job in one command: builds vandrisk, starts a loopback FTP
# server (pyftpdlib) over a small sample tree, mirrors it twice (the second
# run fetches nothing new) and shows the local copy. A run that does not end
# with exit status 0 fails the demo.
#
#   bash scripts/demo.sh            with build/vandrisk, built first
#   bash scripts/demo.sh PROGRAM    with PROGRAM, e.g. the installed /usr/bin/vandrisk
set -euo pipefail
program=
if [ $# -gt 0 ]; then program=$(realpath -s "$1"); fi
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
if [ -z "$program" ]; then
  cmake -S . -B build >/dev/null
  cmake --build build --target vandrisk -j"$(nproc)" >/dev/null
  program=$root/build/vandrisk
fi

work=$(mktemp -d /tmp/vandrisk-demo.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The sample server tree: files that pass the filter (name*.zip), files that
# do not, a GBK-named file, nested and empty directories.
remote="$work/remote"
mkdir -p "$remote/data/2026/12" "$remote/data/2026/empty" "$remote/data/logs"
echo "first drop"   > "$remote/data/name1.zip"
echo "not a zip"    > "$remote/data/name1.txt"
echo "other prefix" > "$remote/data/other.zip"
echo "december"     > "$remote/data/2026/12/name2.zip"
echo "wrong case"   > "$remote/data/2026/12/Name3.zip"
echo "log line"     > "$remote/data/logs/app.log"
printf 'GBK name\n' > "$remote/data/2026/$(printf 'name\xd6\xd0\xce\xc4.zip')"  # name中文.zip
chmod -R a+rX "$remote"

# Start the server on a free loopback port; it prints "PORT <n>" when ready.
coproc SERVER { exec /usr/bin/python3 "$root/tests/servers/pyftpd_server.py" --root "$remote"; }
server_pid=$SERVER_PID
read -r word port <&"${SERVER[0]}"
[ "$word" = PORT ] || { echo "the demo FTP server did not start" >&2; exit 1; }

local_dir="$work/local"
mkdir -p "$local_dir"
config="$work/Vandrisk.cnf"
cat > "$config" <<CNF
# demo task: everything named name*.zip under /data
host=127.0.0.1
port=$port
ftppath=/data
localpath=${local_dir//\//\\}
head=name
tail=.zip
CNF

# The tool prints code page 936 (GBK); iconv shows it on a UTF-8 terminal.
for run in first second; do
  echo "=== $run run: $program --cnf $config"
  set +e
  "$program" --cnf "$config" </dev/null | iconv -f GBK -t UTF-8
  status=${PIPESTATUS[0]}
  set -e
  echo "=== exit status $status"
  [ "$status" -eq 0 ] || exit 1
done

echo "=== local tree"
(cd "$local_dir" && find . -mindepth 1 | sort | while read -r p; do
  if [ -d "$p" ]; then echo "$p/"; else echo "$p  ($(wc -c <"$p") bytes)"; fi
done) | iconv -f GBK -t UTF-8
