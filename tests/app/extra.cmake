# The utility's tests: the logic tests link the logic with the embedded image and the version
# record; the window tests also the Qt windows and a main that makes an offscreen application.
find_package(Qt6 REQUIRED COMPONENTS Widgets Svg Test)
set(APP_SCREENSHOT_DIR ${CMAKE_BINARY_DIR}/screenshots)
file(MAKE_DIRECTORY ${APP_SCREENSHOT_DIR})

file(GLOB APP_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/*_test.cpp)
foreach(source ${APP_TEST_SOURCES})
  get_filename_component(stem ${source} NAME_WE)
  set(exe app_${stem})
  # Window tests are named *Window*_test.cpp or MissingImage_test.cpp; they need Qt.
  if(stem MATCHES "Window|MissingImage|Update|Dialogue")
    target_sources(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/app/support/AppTestMain.cpp
                                  ${CMAKE_CURRENT_SOURCE_DIR}/app/support/QtWait.cpp)
    target_link_libraries(${exe} PRIVATE vexilora_qt Qt6::Test)
  else()
    target_link_libraries(${exe} PRIVATE vexilora_logic)
  endif()
  # The end-to-end tests play the device with the simulator.
  if(stem MATCHES "Update")
    target_sources(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/app/support/UpdateFixture.cpp)
    target_link_libraries(${exe} PRIVATE vexsim)
  endif()
  if(stem STREQUAL "MissingImage_test")
    target_link_libraries(${exe} PRIVATE vexilora_version vexilora_noimage)
  else()
    target_link_libraries(${exe} PRIVATE vexilora_version vexilora_image)
  endif()
  target_compile_definitions(${exe} PRIVATE APP_SCREENSHOT_DIR="${APP_SCREENSHOT_DIR}"
                                            WBLOCK_FILE="${VEXILORA_WBLOCK_FILE}")
endforeach()

if(TARGET app_MainWindow_test AND TARGET vexilora-update)
  add_dependencies(app_MainWindow_test vexilora-update)
  target_compile_definitions(app_MainWindow_test
                             PRIVATE VEXILORA_UPDATE_PATH="$<TARGET_FILE:vexilora-update>")
endif()

# The window's self-driving mode (VEXILORA_DEMO=1, what scripts/run uses without a display),
# from start to exit code, against the simulated USB device; also with a utility built without
# its image, whose window shows its error box while it is being made. Not in the
# ThreadSanitizer build, where the window's threads are covered by its own end-to-end tests.
if(NOT SANITIZE STREQUAL "thread")
  add_executable(vexilora-update-noimage ${CMAKE_SOURCE_DIR}/app/qt/main.cpp)
  target_link_libraries(vexilora-update-noimage PRIVATE vexilora_qt vexilora_version
                                                        vexilora_noimage)
  add_test(NAME app.SelfDrivingMode
           COMMAND /bin/bash ${CMAKE_CURRENT_SOURCE_DIR}/app/self_driving_mode.sh
                   $<TARGET_FILE:vexilora-update> $<TARGET_FILE:vexilora-update-noimage>
                   $<TARGET_FILE:vexilora-usb-sim>)
  set_tests_properties(app.SelfDrivingMode PROPERTIES TIMEOUT 300)
endif()
