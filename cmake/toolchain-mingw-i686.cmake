# Cross-compiles the 32-bit Windows console program (the release) with Debian's
# mingw-w64 (i686-w64-mingw32-*). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(VANDRISK_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
