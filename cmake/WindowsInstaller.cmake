# The Windows installer, orvent-<version>-x64.msi in the build folder, made
# with wixl and msibuild (Debian packages wixl and msitools) as part of the
# Windows build. Without them the build goes on without the installer and
# the Linux build's installer test fails for want of it.
find_program(ORVENT_WIXL wixl)
find_program(ORVENT_MSIBUILD msibuild)
if(NOT ORVENT_WIXL OR NOT ORVENT_MSIBUILD)
  message(WARNING "wixl or msibuild not found (Debian packages wixl, msitools): no Windows installer")
  return()
endif()

# The installer's version has three numbers; a fourth would be ignored by
# upgrades, so the file name carries the project's full version instead.
set(orvent_msi ${CMAKE_BINARY_DIR}/orvent-${PROJECT_VERSION}-x64.msi)
set(orvent_msi_source ${CMAKE_SOURCE_DIR}/packaging/windows)
set(orvent_msi_programs $<TARGET_FILE:orvent-service> $<TARGET_FILE:orvent-inspect>)
set(orvent_msi_targets orvent-service orvent-inspect)
# The window program is built by the Windows build of a tree that has it.
if(TARGET orvent-driver)
  list(APPEND orvent_msi_programs $<TARGET_FILE:orvent-driver>)
  list(APPEND orvent_msi_targets orvent-driver)
endif()

add_custom_command(OUTPUT ${orvent_msi}
  COMMAND ${orvent_msi_source}/make-msi.sh ${ORVENT_WIXL} ${ORVENT_MSIBUILD} ${CMAKE_STRIP}
          ${orvent_msi_source}/orvent.wxs ${orvent_msi}
          ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
          ${CMAKE_SOURCE_DIR}/packaging/kelmora.ini.example ${orvent_msi_programs}
  DEPENDS ${orvent_msi_source}/make-msi.sh ${orvent_msi_source}/orvent.wxs
          ${CMAKE_SOURCE_DIR}/packaging/kelmora.ini.example ${orvent_msi_targets}
  COMMENT "Building the installer orvent-${PROJECT_VERSION}-x64.msi"
  VERBATIM)
add_custom_target(orvent-msi ALL DEPENDS ${orvent_msi})
