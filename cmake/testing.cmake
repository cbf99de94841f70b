# SPDX-License-Identifier: MIT
# GoogleTest: the system's copy for native builds, Debian's googletest sources
# built with the cross toolchain for Windows.
if(CMAKE_CROSSCOMPILING)
  set(MORVIX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  # GoogleTest's own CMake file defines the GTest:: aliases.
  add_subdirectory(${MORVIX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Adds one test program. Native builds register every test case with CTest;
# under wine each program is one CTest test (listing cases would start wine
# once more per program at build time).
function(morvix_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main GTest::gmock morvix_warnings)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 300 LABELS "${ARG_LABELS}")
  endif()
endfunction()
