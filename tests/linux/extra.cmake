# The Linux desktop integration files (resources/linux/): validated once, in the normal build.
if(SANITIZE STREQUAL "")
  add_test(NAME linux.IntegrationFiles
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/linux/check_integration_files.py
                   ${CMAKE_SOURCE_DIR}/resources/linux)
endif()

# The Debian package: built with cpack, its contents and control fields checked, and the
# installed utility run from a read-only folder against the simulated USB device.
if(SANITIZE STREQUAL "" AND TARGET vexilora-update AND TARGET vexilora-usb-sim)
  add_test(NAME linux.Package
           COMMAND /bin/bash ${CMAKE_CURRENT_SOURCE_DIR}/linux/check_package.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${PROJECT_VERSION}
                   $<TARGET_FILE:vexilora-usb-sim>)
  set_tests_properties(linux.Package PROPERTIES TIMEOUT 600)
endif()
