# The lrzsz interoperability test, the tool's own tests and the device-loss test run
# build/tools/xmodem-send as a child process.
foreach(test protocol_Lrzsz_test protocol_XmodemSend_test protocol_DeviceLoss_test)
  if(TARGET ${test} AND TARGET xmodem-send)
    add_dependencies(${test} xmodem-send)
    target_compile_definitions(${test} PRIVATE XMODEM_SEND_PATH="$<TARGET_FILE:xmodem-send>")
  endif()
endforeach()
