# Cross-compiles the 64-bit Windows console program with Debian's mingw-w64
# (x86_64-w64-mingw32-*). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(VANDRISK_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Tests of this build run under Wine (the 64-bit loader: this machine's kernel
# runs no 32-bit programs).
find_program(VANDRISK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VANDRISK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANDRISK_WINE})
endif()
