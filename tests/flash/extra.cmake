# The updater's tests run the program as built, against simulated devices under umockdev.
if(TARGET flash_Flash_test)
  target_link_libraries(flash_Flash_test PRIVATE vexsim)
  add_dependencies(flash_Flash_test vexilora-flash)
  target_compile_definitions(
    flash_Flash_test PRIVATE VEXILORA_FLASH_PATH="$<TARGET_FILE:vexilora-flash>"
                             VEXILORA_WBLOCK_PATH="${VEXILORA_WBLOCK_FILE}")
endif()
