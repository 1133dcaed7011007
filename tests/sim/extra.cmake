# The simulator tests drive the simulator library; the program test runs the program as built.
foreach(test_target sim_Simulator_test sim_Interop_test)
  if(TARGET ${test_target})
    target_link_libraries(${test_target} PRIVATE vexsim)
  endif()
endforeach()
if(TARGET sim_Interop_test)
  add_dependencies(sim_Interop_test vexilora-sim)
  target_compile_definitions(sim_Interop_test PRIVATE VEXILORA_SIM_PATH="$<TARGET_FILE:vexilora-sim>")
endif()

# The launcher test starts vexilora-usb-sim (which puts itself under umockdev) with a small
# program that finds the device through udev and talks to it.
add_executable(sim-usb-probe ${CMAKE_CURRENT_SOURCE_DIR}/sim/usb_probe.cpp)
target_link_libraries(sim-usb-probe PRIVATE platform_udev platform)
if(TARGET sim_UsbLauncher_test)
  add_dependencies(sim_UsbLauncher_test vexilora-usb-sim sim-usb-probe)
  target_compile_definitions(
    sim_UsbLauncher_test
    PRIVATE VEXILORA_USB_SIM_PATH="$<TARGET_FILE:vexilora-usb-sim>"
            SIM_USB_PROBE_PATH="$<TARGET_FILE:sim-usb-probe>"
            UMOCKDEV_TSAN_SUPPRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/support/umockdev.tsan-supp")
endif()
