# Installation (`cmake --install build --prefix /usr`) and the Debian packages
# (`cmake --build build --target package`, into build/packages/).
#
# Three packages, so that a station takes only what it runs:
#   orvent-service  the driver without a window, its systemd unit, its system
#                   user and the rotation of its logs. No Qt: a station
#                   without a desktop pulls in no graphics libraries.
#   orvent-driver   the window program, its menu entry and its icon.
#   orvent-inspect  the inspector, which operators of both kinds of station
#                   use on the settings and the spool.
# The simulators are not installed: they are test tools, and msgserver-sim
# acknowledges every record without keeping it, so a station pointed at it by
# mistake would delete spool files of alarms that never reached a server.

set(ORVENT_PACKAGE_MAINTAINER "orvent developers <orvent@example.org>"
  CACHE STRING "Maintainer field of the Debian packages")

set(orvent_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(orvent_generated ${PROJECT_BINARY_DIR}/packaging)

set(orvent_components service inspect)
if(ORVENT_WITH_GUI)
  list(APPEND orvent_components driver)
endif()

# Manual pages and the changelog go in compressed, with no name or time in
# the gzip header, as Debian wants them.
string(TIMESTAMP ORVENT_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${orvent_packaging}/deb/changelog.in ${orvent_generated}/changelog @ONLY)
set(orvent_compressed)
foreach(source IN ITEMS
    ${orvent_generated}/changelog
    ${orvent_packaging}/orvent-service.8
    ${orvent_packaging}/orvent-inspect.1
    ${orvent_packaging}/orvent-driver.1)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${orvent_generated}/${name}.gz
    COMMAND gzip -9 -n -c ${source} > ${orvent_generated}/${name}.gz
    DEPENDS ${source}
    VERBATIM)
  list(APPEND orvent_compressed ${orvent_generated}/${name}.gz)
endforeach()
add_custom_target(orvent_package_docs ALL DEPENDS ${orvent_compressed})

# Every package carries its copyright file and the changelog; the two that
# run the driver an example settings file with every key explained.
foreach(component IN LISTS orvent_components)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvent-${component})
  install(FILES ${orvent_packaging}/deb/copyright ${orvent_generated}/changelog.gz
    DESTINATION ${docdir} COMPONENT ${component})
  if(NOT component STREQUAL "inspect")
    install(FILES ${orvent_packaging}/kelmora.ini.example
      DESTINATION ${docdir}/examples RENAME kelmora.ini COMPONENT ${component})
  endif()
endforeach()

install(FILES ${orvent_generated}/orvent-inspect.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT inspect)

# orvent-service. The unit names the program's path, and the logrotate rule
# goes to /etc for the prefix /usr and below the prefix otherwise: both
# depend on the prefix given at install time, so a script run then puts them
# in (cmake/InstallServiceFiles.cmake).
install(FILES ${orvent_generated}/orvent-service.8.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
install(FILES ${orvent_packaging}/orvent-service.sysusers
  DESTINATION lib/sysusers.d RENAME orvent-service.conf COMPONENT service)
install(CODE "
  set(ORVENT_PACKAGING_DIR \"${orvent_packaging}\")
  set(ORVENT_STAGING_DIR \"${orvent_generated}/install\")
  set(ORVENT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(ORVENT_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/InstallServiceFiles.cmake\")
  " COMPONENT service)

if(ORVENT_WITH_GUI)
  install(FILES ${orvent_generated}/orvent-driver.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT driver)
  install(FILES ${orvent_packaging}/orvent-driver.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT driver)
  install(FILES ${orvent_packaging}/orvent-driver.svg
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT driver)
endif()

foreach(component IN LISTS orvent_components)
  set(overrides ${orvent_packaging}/deb/orvent-${component}.lintian-overrides)
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      RENAME orvent-${component} COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvent)
# All four parts, as the programs print it and the message server sees it.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "orvent developers")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${orvent_components})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ORVENT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps reads the libraries each program links and names the
# packages and least versions of the system it was built on: libc6 and
# libstdc++6 everywhere, the Qt 6 libraries for orvent-driver only.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME orvent-service)
# systemd runs the unit and creates the user (systemd-sysusers in postinst).
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS systemd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "logrotate, orvent-inspect")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${orvent_packaging}/deb/postinst
  ${orvent_packaging}/deb/prerm
  ${orvent_packaging}/deb/postrm
  ${orvent_packaging}/deb/conffiles)
# The first line is the summary; the two driver packages share what the
# driver does.
set(orvent_what_it_does [[
Reads alarm lines from the receiver's serial port, acknowledges them and
delivers an event record for each to the message server over TCP. Every
record is written to a spool file before its acknowledgement and deleted
only when the server has acknowledged it.]])
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "receiver driver for unattended stations (systemd service)
${orvent_what_it_does}

This package runs the driver without a window, as the systemd service
orvent-service under its own user orvent (group dialout), in /var/lib/orvent.")

set(CPACK_DEBIAN_INSPECT_PACKAGE_NAME orvent-inspect)
set(CPACK_DEBIAN_INSPECT_DESCRIPTION [[
receiver driver's inspector
Shows what the receiver driver makes of its inputs: decodes a receiver line
with the settings of a kelmora.ini, and lists the records waiting in a spool
folder in the order the driver sends them.]])

set(CPACK_DEBIAN_DRIVER_PACKAGE_NAME orvent-driver)
set(CPACK_DEBIAN_DRIVER_PACKAGE_RECOMMENDS orvent-inspect)
set(CPACK_DEBIAN_DRIVER_DESCRIPTION "receiver driver for desktop stations (window program)
${orvent_what_it_does}

This package holds the window program, which shows the state of both links
and keeps running behind its notification-area icon.")

include(CPack)
