#!/usr/bin/env bash
# Builds the tool and runs every test: the Windows programs first (cross-built,
# their unit tests under Wine), then the native unit tests and the end-to-end
# tests against real FTP servers (pyftpdlib, vsftpd, the scripted fault server)
# started on loopback ports, the Windows program among them.
set -euo pipefail
cd "$(dirname "$0")/.."

# locales: the Wine tests generate a zh_CN.GBK locale so Wine keeps GBK names.
bash scripts/install-deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 locales
bash scripts/build-windows.sh --test
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DBUILD_TESTING=ON -DVANDRISK_BENCH=ON -DVANDRISK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
# End-to-end tests mostly wait (the tool sleeps 3 s after each task), so run
# more of them at once than there are cores.
ctest --test-dir "$build" --output-on-failure -j8 "$@"
