# Unit tests of the Windows build: the same *_test.cpp files as the native
# build (the cases only one OS has are marked in them), built with the cross
# compiler and run under Wine through CMAKE_CROSSCOMPILING_EMULATOR (set by
# cmake/toolchain-mingw-x86_64.cmake). The WinINet backend itself is held to
# the Linux build end to end (tests/e2e/test_windows.py).
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

add_executable(vandrisk_tests ${VANDRISK_UNIT_TESTS} ${VANDRISK_TEST_SUPPORT})
target_link_libraries(vandrisk_tests PRIVATE vandrisk_ftp gtest gtest_main)

# One CTest entry for the whole executable: discovering the cases would start
# Wine once more at build time.
add_test(NAME vandrisk_tests COMMAND vandrisk_tests)
set_tests_properties(vandrisk_tests PROPERTIES
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
  TIMEOUT 300)
