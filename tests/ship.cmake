# What operators get: romupdate-fleet as installed, the
# bash completion, and the Debian package built and unpacked.  These tests
# read files of the source tree and run cpack in this build tree.

target_compile_definitions(e2e_fleet_test PRIVATE
  ROMUPDATE_CMAKE="${CMAKE_COMMAND}"
  ROMUPDATE_BUILD_DIR="${CMAKE_BINARY_DIR}")
target_compile_definitions(e2e_completion_test PRIVATE
  ROMUPDATE_COMPLETION="${PROJECT_SOURCE_DIR}/completion/romupdate.bash")
target_compile_definitions(e2e_package_test PRIVATE
  ROMUPDATE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  ROMUPDATE_BUILD_DIR="${CMAKE_BINARY_DIR}"
  ROMUPDATE_CPACK="${CMAKE_CPACK_COMMAND}")
