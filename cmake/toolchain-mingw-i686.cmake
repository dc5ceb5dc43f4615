# Cross-compiles the Windows console program with Debian's mingw-w64
# (i686-w64-mingw32-*). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(VANDRISK_MINGW_PREFIX i686-w64-mingw32)
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
