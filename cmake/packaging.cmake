# Packages for operators, made with cpack in a build tree:
#
#   build/default$ cpack -G DEB   romupdate_<version>_<arch>.deb: the
#                                 programs, their manual pages, the bash
#                                 completion and the sample installation
#   build/win32$   cpack -G ZIP   romupdate-<version>-windows.zip:
#                                 romupdate.exe and README.txt
#
# The programs' own install rules live beside them; this file adds the
# operator's files and the package metadata.

set(CPACK_PACKAGE_NAME romupdate)
set(CPACK_PACKAGE_VENDOR "romupdate developers")
set(CPACK_PACKAGE_CONTACT "romupdate developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "flash-ROM firmware updater for XR emulators and processor probes")
set(CPACK_PACKAGE_DESCRIPTION
    "romupdate updates the flash-ROM firmware of 38100-family in-circuit emulator
mainframes and processor probes over the local network.  The package also
holds romupdate-sim, which plays a target on a loopback address so that an
update can be rehearsed without hardware, romupdate-abs, which looks at,
makes and compares absolute images, romupdate-fleet, which updates a whole
list of targets several at a time with GNU parallel, and a sample
installation.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  # One folder to unpack anywhere: bin\romupdate.exe (linked statically, it
  # needs no DLL) and the operator's notes beside it.
  # README.txt gets its version and the line ends Notepad expects.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
                 ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME romupdate-${PROJECT_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/romupdate-sim.1 ${PROJECT_SOURCE_DIR}/docs/romupdate-abs.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # bash-completion loads completions/<command> on first use; the other
  # commands are links to the one file, which registers them all.
  set(completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/romupdate.bash
          DESTINATION ${completion_dir} RENAME romupdate)
  set(completion_links ${CMAKE_BINARY_DIR}/completion-links)
  file(MAKE_DIRECTORY ${completion_links})
  foreach(command romupdate-sim romupdate-abs romupdate-fleet)
    file(CREATE_LINK romupdate ${completion_links}/${command} SYMBOLIC)
    install(FILES ${completion_links}/${command} DESTINATION ${completion_dir})
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME romupdate)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "romupdate developers")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  find_program(DPKG_SHLIBDEPS_PROGRAM dpkg-shlibdeps)
  mark_as_advanced(DPKG_SHLIBDEPS_PROGRAM)
  # romupdate-fleet runs on GNU parallel; dpkg-shlibdeps adds the libraries.
  if(DPKG_SHLIBDEPS_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "parallel")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, parallel")
  endif()
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
endif()

include(CPack)
