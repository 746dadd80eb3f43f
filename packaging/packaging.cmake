# Install layout and packages: a Debian package from the Linux build (with the
# service, install_service.cmake), a zip from the Windows cross build.
# Included at the end of the top CMakeLists.txt.
#
#   cmake --install <build> [--prefix DIR]
#   cd <build> && cpack            (.deb on Linux, .zip from the cross build)

include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME monitor)
set(CPACK_PACKAGE_VENDOR "monitor developers")
set(CPACK_PACKAGE_CONTACT "monitor developers <maintainers@monitor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "file-change monitor that hands every changed file to a detection executable")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  # One folder: both programs side by side and a short README, no DLLs (both
  # are linked statically).
  install(TARGETS monitor detector RUNTIME DESTINATION .)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt.in
                 ${CMAKE_CURRENT_BINARY_DIR}/packaging/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/README.txt DESTINATION .)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/packaging/LICENSE
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64")
else()
  # The monitor runs the detector found beside the real file of its own
  # executable, so the two share one private folder and only a symbolic link
  # goes on the PATH.
  set(MONITOR_INSTALL_DIR ${CMAKE_INSTALL_LIBEXECDIR}/monitor)
  install(TARGETS monitor detector RUNTIME DESTINATION ${MONITOR_INSTALL_DIR})

  # Relative, so the link holds under any prefix and in a staging root.
  file(RELATIVE_PATH MONITOR_LINK_TARGET
       /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${MONITOR_INSTALL_DIR}/monitor)
  set(MONITOR_LINK ${CMAKE_CURRENT_BINARY_DIR}/packaging/bin/monitor)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packaging/bin)
  file(CREATE_LINK ${MONITOR_LINK_TARGET} ${MONITOR_LINK} SYMBOLIC)
  install(FILES ${MONITOR_LINK} DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages are installed compressed; -n keeps the archive free of a
  # time stamp, so equal sources give an equal package.
  set(MONITOR_MAN_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/man/monitor.1)
  set(MONITOR_MAN_PAGE ${CMAKE_CURRENT_BINARY_DIR}/packaging/monitor.1.gz)
  add_custom_command(OUTPUT ${MONITOR_MAN_PAGE}
                     COMMAND gzip -9 -n -c ${MONITOR_MAN_SOURCE} > ${MONITOR_MAN_PAGE}
                     DEPENDS ${MONITOR_MAN_SOURCE}
                     COMMENT "Compressing the manual page")
  add_custom_target(man_page ALL DEPENDS ${MONITOR_MAN_PAGE})
  install(FILES ${MONITOR_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The licence, in the form Debian reads, and the package's history, where
  # Debian keeps both (compressed like the manual page, and for the same reason).
  set(MONITOR_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
  add_custom_command(OUTPUT ${MONITOR_CHANGELOG}
                     COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/deb/changelog > ${MONITOR_CHANGELOG}
                     DEPENDS ${CMAKE_CURRENT_LIST_DIR}/deb/changelog
                     COMMENT "Compressing the package's changelog")
  add_custom_target(package_changelog ALL DEPENDS ${MONITOR_CHANGELOG})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${MONITOR_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # What lintian reports and is kept, each with its reason.
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME monitor)

  # The service's unit and its environment file name installed paths, so they
  # are written at install time, for the prefix in use.
  install(CODE "set(MONITOR_SERVICE_SOURCES \"${CMAKE_CURRENT_LIST_DIR}\")
set(MONITOR_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
  install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_service.cmake)
  # dpkg keeps an administrator's edits of the settings across upgrades, and
  # removes them only on purge.
  set(MONITOR_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/deb/conffiles)
  file(WRITE ${MONITOR_CONFFILES} "/etc/default/monitor\n")
  # The maintainer scripts keep systemd's view of the unit in step with the
  # package (deb/postinst, prerm, postrm say how).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${MONITOR_CONFFILES} ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
      ${CMAKE_CURRENT_LIST_DIR}/deb/prerm ${CMAKE_CURRENT_LIST_DIR}/deb/postrm)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The program's version and a packaging revision: the package can be
  # rebuilt with new packaging while the program stays the same. deb/changelog
  # names this version in its first entry.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends is read off the binaries by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "monitor watches the directory trees it is given and, whenever a file in them\n\
is created, written, deleted or renamed, prints its full path and runs the\n\
detection executable AV_Quillmar.exe, installed beside it, with that path as\n\
its one argument. The reference detector in this package reports files that\n\
hold the standard anti-malware test string. It can run as a system service,\n\
monitor.service, once the directories are named in /etc/default/monitor.\n\
See monitor(1).")
endif()

include(CPack)
