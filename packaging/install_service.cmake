# Install step of the service files, run by cmake --install and by cpack. The
# unit names the installed program and its environment file, so it is written
# here, for the prefix in use. Under /usr, the Debian package's prefix, the
# files go where Debian 12 keeps them (/lib/systemd/system, /etc/default);
# under any other prefix, below it (systemd also reads
# /usr/local/lib/systemd/system). Set by packaging.cmake: MONITOR_SERVICE_SOURCES,
# MONITOR_BINDIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(MONITOR_UNIT_DIR /lib/systemd/system)
  set(MONITOR_DEFAULT_FILE /etc/default/monitor)
else()
  set(MONITOR_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  set(MONITOR_DEFAULT_FILE ${CMAKE_INSTALL_PREFIX}/etc/default/monitor)
endif()
set(MONITOR_PROGRAM ${CMAKE_INSTALL_PREFIX}/${MONITOR_BINDIR}/monitor)

set(MONITOR_UNIT_TARGET "$ENV{DESTDIR}${MONITOR_UNIT_DIR}/monitor.service")
message(STATUS "Installing: ${MONITOR_UNIT_TARGET}")
configure_file(${MONITOR_SERVICE_SOURCES}/monitor.service.in ${MONITOR_UNIT_TARGET} @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES ${MONITOR_UNIT_TARGET})

# Installed in place, an administrator's settings are kept; a staged install
# (DESTDIR, as cpack makes one) always gets the shipped file.
set(MONITOR_DEFAULT_TARGET "$ENV{DESTDIR}${MONITOR_DEFAULT_FILE}")
if("$ENV{DESTDIR}" STREQUAL "" AND EXISTS ${MONITOR_DEFAULT_TARGET})
  message(STATUS "Kept (settings already there): ${MONITOR_DEFAULT_TARGET}")
else()
  message(STATUS "Installing: ${MONITOR_DEFAULT_TARGET}")
  configure_file(${MONITOR_SERVICE_SOURCES}/monitor.default ${MONITOR_DEFAULT_TARGET} COPYONLY)
endif()
list(APPEND CMAKE_INSTALL_MANIFEST_FILES ${MONITOR_DEFAULT_TARGET})
