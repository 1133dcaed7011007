# The line-chat test runs the program as built.
if(TARGET comm_LineChat_test AND TARGET line-chat)
  target_compile_definitions(comm_LineChat_test PRIVATE LINE_CHAT_PATH="$<TARGET_FILE:line-chat>")
  add_dependencies(comm_LineChat_test line-chat)
endif()
