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

# systemd wants the program's absolute path in ExecStart=. One source makes
# the unit and the template of an instance per receiver, so that both keep
# the same sandbox; they differ in the working directory alone.
orvent_install_path(ORVENT_BINDIR "${ORVENT_BINDIR}")
foreach(unit IN ITEMS orvent-service orvent-service@)
  if(unit STREQUAL "orvent-service@")
    set(ORVENT_UNIT_INSTANCE " %i")
    set(ORVENT_STATE_DIRECTORY "orvent/%i")
  else()
    set(ORVENT_UNIT_INSTANCE "")
    set(ORVENT_STATE_DIRECTORY "orvent")
  endif()
  configure_file("${ORVENT_PACKAGING_DIR}/orvent-service.service.in"
    "${ORVENT_STAGING_DIR}/${unit}.service" @ONLY)
  file(INSTALL "${ORVENT_STAGING_DIR}/${unit}.service"
    DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endforeach()

# logrotate reads /etc/logrotate.d only. Like GNUInstallDirs, the prefix /usr
# keeps its configuration in /etc; any other prefix keeps it below itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND ORVENT_SYSCONFDIR STREQUAL "etc")
  set(sysconfdir /etc)
else()
  orvent_install_path(sysconfdir "${ORVENT_SYSCONFDIR}")
endif()
file(INSTALL "${ORVENT_PACKAGING_DIR}/orvent-service.logrotate"
  DESTINATION "${sysconfdir}/logrotate.d" RENAME orvent-service)
