# Run at install time (from cmake/Packaging.cmake), when the prefix is known:
# `cmake --install` and CPack both set CMAKE_INSTALL_PREFIX to the prefix of
# the installed system (/usr for the package) and stage through DESTDIR, which
# file(INSTALL) adds by itself.
#
# In: ORVENT_PACKAGING_DIR, ORVENT_STAGING_DIR, ORVENT_BINDIR and
# ORVENT_SYSCONFDIR (GNUInstallDirs' values, relative or absolute).

function(orvent_install_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# systemd wants the program's absolute path in ExecStart=.
orvent_install_path(ORVENT_BINDIR "${ORVENT_BINDIR}")
configure_file("${ORVENT_PACKAGING_DIR}/orvent-service.service.in"
  "${ORVENT_STAGING_DIR}/orvent-service.service" @ONLY)
file(INSTALL "${ORVENT_STAGING_DIR}/orvent-service.service"
  DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")

# logrotate reads /etc/logrotate.d only. Like GNUInstallDirs, the prefix /usr
# keeps its configuration in /etc; any other prefix keeps it below itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND ORVENT_SYSCONFDIR STREQUAL "etc")
  set(sysconfdir /etc)
else()
  orvent_install_path(sysconfdir "${ORVENT_SYSCONFDIR}")
endif()
file(INSTALL "${ORVENT_PACKAGING_DIR}/orvent-service.logrotate"
  DESTINATION "${sysconfdir}/logrotate.d" RENAME orvent-service)
