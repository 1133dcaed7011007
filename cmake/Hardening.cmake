# The hardening Debian builds its packages with (dpkg-buildflags, hardening=+all): stack
# protector, fortified C library calls, read-only relocations bound at start-up, and
# position-independent executables.
#
# Like the sanitizer, this is a property of the whole build, not of a target: the installed
# programs are made of the static libraries below them (platform, comm, packet, protocol, the
# logic and the windows), and a protector or a checked call missing from any one of those
# objects is missing from the program. So the flags go to every target the build makes, tests
# and tools included, which also lets the suite run the code as it ships.
#
# - _FORTIFY_SOURCE needs optimisation (glibc warns without it, and -Werror makes that fatal),
#   so it is set only for the optimised build types. It is left out of sanitizer builds: the
#   sanitizers watch the plain library calls themselves, and the checked variants would hide
#   an overflow from them or report it twice.
# - -fstack-protector-strong, relro/now and PIE stay on in every build: the sanitizers work
#   alongside them.
option(VEXILORA_HARDENING "Build with the distribution's hardening flags" ON)

if(VEXILORA_HARDENING)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)

  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  if(SANITIZE STREQUAL "")
    # A compiler that defines it already (some distributions do) would warn of a redefinition.
    add_compile_options(
      "$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
