# What `cmake --install` puts on a system, and the Debian package CPack makes of it: the two
# programs, the udev rule that gives the person at the seat the Vexilora's tty, the desktop
# entry, its icon and the AppStream metainfo. Tests, tools and benchmarks stay in the build.
#
#   cmake --build build && (cd build && cpack)      -> build/vexilora-update_<version>_<arch>.deb

# Paths are relative to the prefix (/usr in the package). The rule goes into the udev folder
# of the distribution, not into the multiarch library folder.
install(TARGETS vexilora-update vexilora-flash RUNTIME DESTINATION bin)
set(VEXILORA_LINUX_FILES ${CMAKE_SOURCE_DIR}/resources/linux)
install(FILES ${VEXILORA_LINUX_FILES}/70-vexilora.rules DESTINATION lib/udev/rules.d)
install(FILES ${VEXILORA_LINUX_FILES}/vexilora-update.desktop DESTINATION share/applications)
install(FILES ${VEXILORA_LINUX_FILES}/vexilora-update.svg
        DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${VEXILORA_LINUX_FILES}/org.vexilora.Update.metainfo.xml DESTINATION share/metainfo)
# vexilora-flash: its bash completion, and the station's systemd unit (installed disabled).
install(FILES ${CMAKE_SOURCE_DIR}/resources/bash-completion/vexilora-flash
        DESTINATION share/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/resources/systemd/vexilora-flash-station.service
        DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexilora-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vexilora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Update the software of a Vexilora connected by USB")
# One string: CPack turns its lines into the control file's continuation lines.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "A window that finds a Vexilora plugged into a USB port, shows its hardware and\n"
       "software versions and installs the software it carries at the press of a button,\n"
       "and vexilora-flash, the command-line updater for many devices at once. A udev rule\n"
       "lets the person at the seat open the device without joining the dialout group.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The programs carry debugging information in RelWithDebInfo builds; the package does not.
# Stripping keeps the version record and the embedded image: they are loaded data.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vexilora update team <vexilora-update@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are computed from the programs (dpkg-shlibdeps) rather than listed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udev picks the rule up; a device already plugged in gets it when it is plugged in again.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "udev")
include(CPack)
