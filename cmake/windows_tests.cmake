# Unit tests of the Windows build: the Windows platform layer, the Windows
# name rules and the walk over the in-memory fake on real Windows file APIs.
# They run under Wine through CMAKE_CROSSCOMPILING_EMULATOR (set by
# cmake/toolchain-mingw-x86_64.cmake). The POSIX suite stays in the native
# build: it needs fork, FIFOs and POSIX paths.
#
# GoogleTest is built from source with the cross compiler; Debian's
# googletest package ships the source in /usr/src/googletest.
set(VANDRISK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree for cross builds")
if(NOT EXISTS ${VANDRISK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(WARNING "No GoogleTest source in ${VANDRISK_GTEST_SOURCE_DIR}: Windows unit tests not built")
  return()
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VANDRISK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(vandrisk_win_tests
  platform/platform_win32_test.cpp
  platform/windows_names_test.cpp
  download/download_tree_win32_test.cpp
  testing/fake_ftp_client.cpp)
target_link_libraries(vandrisk_win_tests PRIVATE vandrisk_ftp gtest gtest_main)

# One CTest entry for the whole executable: discovering the cases would start
# Wine once more at build time.
add_test(NAME vandrisk_win_tests COMMAND vandrisk_win_tests)
set_tests_properties(vandrisk_win_tests PROPERTIES
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
  TIMEOUT 300)
