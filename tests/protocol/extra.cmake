# The lrzsz interoperability test runs build/tools/xmodem-send as a child process.
if(TARGET protocol_Lrzsz_test AND TARGET xmodem-send)
  add_dependencies(protocol_Lrzsz_test xmodem-send)
  target_compile_definitions(protocol_Lrzsz_test
                             PRIVATE XMODEM_SEND_PATH="$<TARGET_FILE:xmodem-send>")
endif()
# The device-loss test runs xmodem-send against a device that vanishes.
if(TARGET protocol_DeviceLoss_test AND TARGET xmodem-send)
  add_dependencies(protocol_DeviceLoss_test xmodem-send)
  target_compile_definitions(protocol_DeviceLoss_test
                             PRIVATE XMODEM_SEND_PATH="$<TARGET_FILE:xmodem-send>")
endif()
