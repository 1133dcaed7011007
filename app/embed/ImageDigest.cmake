# Records the SHA-256 of the image file to be embedded, at build time: writes a header that
# defines VEXILORA_WBLOCK_SHA256 as the digest in 64 lower-case hexadecimal digits.
#
#   cmake -DIMAGE=<image file> -DOUT=<header> -P ImageDigest.cmake
if(NOT IMAGE OR NOT OUT)
  message(FATAL_ERROR "ImageDigest.cmake: IMAGE and OUT must be given")
endif()
file(SHA256 "${IMAGE}" digest)
string(TOLOWER "${digest}" digest)
set(text "// Made by the build from ${IMAGE}.\n#define VEXILORA_WBLOCK_SHA256 \"${digest}\"\n")
# Rewritten only when it changes, so that an unchanged image compiles nothing again.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${text}")
