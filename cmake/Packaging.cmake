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

# Who answers for the package: the control file's Maintainer and the changelog's signature.
set(VEXILORA_MAINTAINER "Vexilora update team <update@vexilora.org>"
    CACHE STRING "Maintainer of the Debian package (name <address>)")

# The copyright file (machine-readable, as Debian's policy asks) and the changelog, made from
# the metainfo's releases (cmake/debian-changelog.py), both where dpkg puts a package's
# documentation. The package is native (its version has no Debian revision), so the
# changelog is changelog.gz.
set(VEXILORA_DOC_DIR share/doc/vexilora-update)
install(FILES ${VEXILORA_LINUX_FILES}/debian/copyright DESTINATION ${VEXILORA_DOC_DIR})
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VEXILORA_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog)
add_custom_command(
  OUTPUT ${VEXILORA_CHANGELOG}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/debian-changelog.py
          ${VEXILORA_LINUX_FILES}/org.vexilora.Update.metainfo.xml vexilora-update
          ${PROJECT_VERSION} ${VEXILORA_MAINTAINER} ${VEXILORA_CHANGELOG}
  COMMAND gzip -9nf ${VEXILORA_CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian-changelog.py
          ${VEXILORA_LINUX_FILES}/org.vexilora.Update.metainfo.xml
  COMMENT "Writing the Debian changelog from the metainfo's releases"
  VERBATIM)
add_custom_target(vexilora_changelog ALL DEPENDS ${VEXILORA_CHANGELOG}.gz)
install(FILES ${VEXILORA_CHANGELOG}.gz DESTINATION ${VEXILORA_DOC_DIR})

# The manual pages, made with help2man from the programs' own --help, so that they say what
# the programs do: resources/linux/man/*.h2m add the name line and the sections --help has no
# place for. vexilora-flash writes its usage block in a form help2man does not read as a
# synopsis; cmake/help2man-usage.sh hands it over rewritten. The programs are run to make
# them, so a sanitizer build (whose programs need the sanitizer's environment) has none.
if(SANITIZE STREQUAL "")
  find_program(HELP2MAN help2man REQUIRED)
  set(VEXILORA_MAN_DIR ${CMAKE_BINARY_DIR}/packaging/man)
  set(man_update_exe $<TARGET_FILE:vexilora-update>)
  set(man_flash_exe "${CMAKE_SOURCE_DIR}/cmake/help2man-usage.sh $<TARGET_FILE:vexilora-flash>")
  set(VEXILORA_MAN_PAGES)
  foreach(program vexilora-update vexilora-flash)
    if(program STREQUAL "vexilora-update")
      set(run ${man_update_exe})
    else()
      set(run ${man_flash_exe})
    endif()
    set(page ${VEXILORA_MAN_DIR}/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${VEXILORA_MAN_DIR}
      COMMAND ${HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
              --include=${VEXILORA_LINUX_FILES}/man/${program}.h2m --output=${page} ${run}
      COMMAND gzip -9nf ${page}
      DEPENDS ${program} ${VEXILORA_LINUX_FILES}/man/${program}.h2m
              ${CMAKE_SOURCE_DIR}/cmake/help2man-usage.sh
      COMMENT "Writing the manual page of ${program}"
      VERBATIM)
    list(APPEND VEXILORA_MAN_PAGES ${page}.gz)
  endforeach()
  add_custom_target(vexilora_manpages ALL DEPENDS ${VEXILORA_MAN_PAGES})
  install(FILES ${VEXILORA_MAN_PAGES} DESTINATION share/man/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexilora-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vexilora")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Update the software of a Vexilora connected by USB")
# One string: CPack turns its lines into the control file's continuation lines.
# Debian wants its lines under 80 columns.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "A window that finds a Vexilora plugged into a USB port, shows its hardware\n"
       "and software versions and installs the software it carries at the press of\n"
       "a button, and vexilora-flash, the command-line updater for many devices at\n"
       "once. A udev rule lets the person at the seat open the device without\n"
       "joining the dialout group.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The programs carry debugging information in RelWithDebInfo builds; the package does not.
# Stripping keeps the version record and the embedded image: they are loaded data.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VEXILORA_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are computed from the programs (dpkg-shlibdeps) rather than listed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udev picks the rule up; a device already plugged in gets it when it is plugged in again.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "udev")
# Qt's platform plugins are loaded at run time, out of dpkg-shlibdeps' sight: the Wayland
# one for a Wayland session (without it the window runs through XWayland), and Qt's own
# Russian texts (the text boxes' context menus).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, qt6-translations-l10n")
include(CPack)
