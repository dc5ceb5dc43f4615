# What both mingw-w64 toolchain files share; they set VANDRISK_MINGW_ARCH first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VANDRISK_MINGW_ARCH})

set(VANDRISK_MINGW_PREFIX ${VANDRISK_MINGW_ARCH}-w64-mingw32)
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
