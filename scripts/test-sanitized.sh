#!/usr/bin/env bash
# Builds the tool and its tests with AddressSanitizer and UndefinedBehavior-
# Sanitizer (build-asan/), runs every test there (unit, end-to-end, fuzz
# corpus replay), then checks one full end-to-end run for leaks: a task that
# mirrors a small tree and a task that fails, both paths through the client.
# Any sanitizer report fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh
build=${BUILD_DIR:-build-asan}
cmake -S . -B "$build" -DVANDRISK_SANITIZE=ON -DVANDRISK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# halt_on_error: the first report ends the process, so a test sees a crash
# (or LeakSanitizer's exit status 23) rather than a passing run with a report
# buried in its stderr.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=exitcode=23
# The leak check below runs even when a test failed; the exit status says both.
tests_status=0
ctest --test-dir "$build" --output-on-failure -j8 "$@" || tests_status=1

echo "=== leak check: one full run"
work=$(mktemp -d /tmp/vandrisk-asan.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

remote="$work/remote"
mkdir -p "$remote/data/2026/12" "$remote/data/empty" "$work/local" "$work/local2"
echo "first" > "$remote/data/name1.zip"
echo "skipped" > "$remote/data/name1.txt"
head -c 3000000 /dev/urandom > "$remote/data/2026/12/name2.zip"
printf 'GBK\n' > "$remote/data/2026/$(printf 'name\xd6\xd0\xce\xc4.zip')"
chmod -R a+rX "$remote"

coproc SERVER { exec /usr/bin/python3 "$root/tests/servers/pyftpd_server.py" --root "$remote"; }
server_pid=$SERVER_PID
read -r word port <&"${SERVER[0]}"
[ "$word" = PORT ] || { echo "the FTP server did not start" >&2; exit 1; }
closed_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

cat > "$work/tasks.cnf" <<CNF
host=127.0.0.1
port=$port
ftppath=/data
localpath=${work//\//\\}\\local
head=name
tail=.zip
host=127.0.0.1
port=$closed_port
ftppath=/data
localpath=${work//\//\\}\\local2
tail=
CNF

set +e
"$build/vandrisk_fast" --cnf "$work/tasks.cnf" </dev/null >"$work/stdout" 2>"$work/stderr"
status=$?
set -e
# One task failed on purpose: exit status 1. A leak would make it 23, any
# other report a crash.
if [ "$status" -ne 1 ] || grep -q -E 'Sanitizer|runtime error' "$work/stderr"; then
  echo "leak check failed (exit status $status):" >&2
  cat "$work/stderr" >&2
  exit 1
fi
files=$(find "$work/local" -type f | wc -l)
[ "$files" -eq 3 ] || { echo "leak check run fetched $files files, expected 3" >&2; exit 1; }
echo "leak check clean: 3 files fetched, one task failed as planned, no sanitizer report"
exit $tests_status
