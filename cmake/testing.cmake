# Unit tests: GoogleTest executables that sit beside the code they test.
#
# The Unix build uses the system's GoogleTest.  The Windows build compiles
# GoogleTest from the Debian source package with the cross compiler and runs
# each test program under wine as a whole (CMAKE_CROSSCOMPILING_EMULATOR).

include(GoogleTest)

if(WIN32)
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Its warnings are not ours to fix: they never fail the build.
    target_compile_options(gtest PRIVATE -Wno-error)
    target_compile_options(gtest_main PRIVATE -Wno-error)
  endif()
  set(ROMUPDATE_GTEST gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
  set(ROMUPDATE_GTEST GTest::gtest GTest::gtest_main Threads::Threads)
endif()

# romupdate_unit_test(NAME source...)
function(romupdate_unit_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE romupdate_core ${ROMUPDATE_GTEST})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "unit;win32")
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
