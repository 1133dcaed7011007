# SANITIZE: empty (none), address (ASan + UBSan, any report is fatal) or thread (TSan).
#
# A sanitizer must see every object and every link of the build (a single uninstrumented
# library hides races and overflows), so it goes into the toolchain's flags for the whole
# build rather than into any one target.
set(SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE SANITIZE PROPERTY STRINGS "" address thread)

if(SANITIZE STREQUAL "address")
  set(VEXILORA_SANITIZER_COMPILE_FLAGS
      "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
  set(VEXILORA_SANITIZER_LINK_FLAGS "-fsanitize=address,undefined -fno-sanitize-recover=all")
elseif(SANITIZE STREQUAL "thread")
  set(VEXILORA_SANITIZER_COMPILE_FLAGS "-fsanitize=thread -fno-omit-frame-pointer")
  set(VEXILORA_SANITIZER_LINK_FLAGS "-fsanitize=thread")
elseif(NOT SANITIZE STREQUAL "")
  message(FATAL_ERROR "SANITIZE must be empty, address or thread (got '${SANITIZE}')")
endif()

if(VEXILORA_SANITIZER_COMPILE_FLAGS)
  string(APPEND CMAKE_CXX_FLAGS " ${VEXILORA_SANITIZER_COMPILE_FLAGS}")
  string(APPEND CMAKE_EXE_LINKER_FLAGS " ${VEXILORA_SANITIZER_LINK_FLAGS}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS " ${VEXILORA_SANITIZER_LINK_FLAGS}")
  string(APPEND CMAKE_MODULE_LINKER_FLAGS " ${VEXILORA_SANITIZER_LINK_FLAGS}")
endif()
