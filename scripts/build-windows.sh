#!/usr/bin/env bash
# Cross-builds the Windows console program with Debian's mingw-w64:
#   build-win32/vandrisk.exe        32-bit, the one to ship
#   build-win64/vandrisk.exe        64-bit, the one the tests run under Wine
#   build-win64/vandrisk_tests.exe  the unit tests, Windows build
# Both programs are linked statically (release builds also stripped) and need
# no DLL beside them: they import only KERNEL32, msvcrt and WININET.
#
#   bash scripts/build-windows.sh          build both
#   bash scripts/build-windows.sh --test   build, then run the unit tests under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=0
case "${1:-}" in
  "") ;;
  --test) run_tests=1 ;;
  *) echo "usage: $0 [--test]" >&2; exit 2 ;;
esac

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest)
if [ "$run_tests" = 1 ]; then packages+=(wine64); fi
bash scripts/install-deps.sh "${packages[@]}"

jobs=$(nproc)
build() {  # build <dir> <toolchain arch> <BUILD_TESTING>
  cmake --no-warn-unused-cli -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVANDRISK_WERROR=ON -DBUILD_TESTING="$3" >/dev/null
  cmake --build "$1" -j"$jobs"
}
build build-win32 i686 OFF
build build-win64 x86_64 ON
ls -l build-win32/vandrisk.exe build-win64/vandrisk.exe

if [ "$run_tests" = 1 ]; then
  # CTest runs them with a private Wine prefix in build-win64 (cmake/windows_tests.cmake).
  ctest --test-dir build-win64 --output-on-failure
fi
