# The Linux desktop integration files (resources/linux/): validated once, in the normal build.
if(SANITIZE STREQUAL "")
  add_test(NAME linux.IntegrationFiles
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/linux/check_integration_files.py
                   ${CMAKE_SOURCE_DIR}/resources/linux)
endif()
