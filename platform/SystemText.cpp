#include "platform/SystemText.h"

#include <string.h>
#include <sys/utsname.h>

namespace platform {

std::string SystemErrorText(int32_t errnum) {
  if (errnum <= 0) return {};
  // strerrordesc_np is thread-safe and, unlike strerror, says "unknown" by returning null.
  const char* text = strerrordesc_np(errnum);
  return text ? std::string(text) : std::string();
}

std::string OperatingSystemText() {
  utsname info{};
  if (uname(&info) != 0) return {};
  return std::string(info.sysname) + " " + info.release + " " + info.version;
}

}  // namespace platform
