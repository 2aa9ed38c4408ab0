# Packages for operators, made with cpack in a build tree:
#
#   build/default$ cpack -G DEB   romupdate_<version>_<arch>.deb: the
#                                 programs, their manual pages, the bash
#                                 completion, the operator's guide and the
#                                 sample installation
#   build/win32$   cpack -G ZIP   romupdate-<version>-windows.zip:
#                                 romupdate.exe, romupdate-unlock.exe,
#                                 romupdate-inventory.exe and README.txt
#
# cpack builds its whole build tree first.  The presets "package" and
# "package-win32" (build/package, build/package-win32) leave the tests out,
# so that making a package builds only what it holds.
#
# The programs' own install rules live beside them; this file adds the
# operator's files and the package metadata.

set(CPACK_PACKAGE_NAME romupdate)
set(CPACK_PACKAGE_VENDOR "romupdate developers")
# No project address exists; ".invalid" says so in the form Debian wants.
set(CPACK_PACKAGE_CONTACT "romupdate developers <maintainers@romupdate.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "flash-ROM firmware updater for XR emulators and processor probes")
set(CPACK_PACKAGE_DESCRIPTION
    "romupdate updates the flash-ROM firmware of 38100-family in-circuit emulator
mainframes and processor probes over the local network.  The package also
holds romupdate-sim, which plays a target on a loopback address so that an
update can be rehearsed without hardware, romupdate-abs, which looks at,
makes and compares absolute images, romupdate-fleet, which updates a whole
list of targets several at a time with GNU parallel, romupdate-unlock, which
clears the lock that an interrupted update leaves on a target,
romupdate-inventory, which tells the class, firmware revision and lock of
every target of a lab without changing any, and a sample installation.")
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
  # Debian's layout: manual pages and the changelog compressed with
  # "gzip -9n" (no name or time stamp, so the package builds the same
  # twice), the copyright file as it stands.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  mark_as_advanced(GZIP_PROGRAM)
  set(packaged ${CMAKE_BINARY_DIR}/packaging)
  set(packaged_files)
  # romupdate_gzip(SOURCE DIR): DIR/<name of SOURCE>.gz
  function(romupdate_gzip source dir)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${dir}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${dir}/${name}
      COMMAND ${GZIP_PROGRAM} -9nf ${dir}/${name}
      DEPENDS ${source} VERBATIM)
    set(packaged_files ${packaged_files} ${dir}/${name}.gz PARENT_SCOPE)
  endfunction()

  set(man_pages romupdate romupdate-sim romupdate-abs romupdate-fleet romupdate-unlock
                romupdate-inventory)
  foreach(page IN LISTS man_pages)
    romupdate_gzip(${PROJECT_SOURCE_DIR}/docs/${page}.1 ${packaged}/man)
    install(FILES ${packaged}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The operator's guide: the README's sections for those who run updates.
  add_custom_command(OUTPUT ${packaged}/guide/operators-guide.md
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packaged}/guide
    COMMAND sh -c "awk -f \"$0\" \"$1\" >\"$2\"" ${PROJECT_SOURCE_DIR}/packaging/debian/guide.awk
            ${PROJECT_SOURCE_DIR}/README.md ${packaged}/guide/operators-guide.md
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/debian/guide.awk VERBATIM)
  romupdate_gzip(${packaged}/guide/operators-guide.md ${packaged}/doc)
  romupdate_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${packaged}/doc)
  install(FILES ${packaged}/doc/operators-guide.md.gz ${packaged}/doc/changelog.gz
                ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  add_custom_target(package-files ALL DEPENDS ${packaged_files})

  # bash-completion loads completions/<command> on first use; the other
  # commands are links to the one file, which registers all of them.
  set(completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES ${PROJECT_SOURCE_DIR}/completion/romupdate.bash
          DESTINATION ${completion_dir} RENAME romupdate)
  set(completion_links ${CMAKE_BINARY_DIR}/completion-links)
  file(MAKE_DIRECTORY ${completion_links})
  foreach(command romupdate-sim romupdate-abs romupdate-fleet romupdate-unlock romupdate-inventory)
    file(CREATE_LINK romupdate ${completion_links}/${command} SYMBOLIC)
    install(FILES ${completion_links}/${command} DESTINATION ${completion_dir})
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME romupdate)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
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
  # The completion is loaded on first use by bash-completion; without it,
  # the guide tells how to source the file from ~/.bashrc.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
endif()

include(CPack)
