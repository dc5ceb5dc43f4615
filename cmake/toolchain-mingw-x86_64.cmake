# Cross-compiles the Windows console program with Debian's mingw-w64
# (x86_64-w64-mingw32-*). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANDRISK_MINGW_PREFIX x86_64-w64-mingw32)
# The "posix" thread model: the default "win32" one has no std::mutex, which
# GoogleTest needs. With static linking nothing of it ships as a DLL.
set(CMAKE_C_COMPILER ${VANDRISK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANDRISK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VANDRISK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VANDRISK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of this build run under Wine (the 64-bit loader: this machine's kernel
# runs no 32-bit programs).
find_program(VANDRISK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VANDRISK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANDRISK_WINE})
endif()
