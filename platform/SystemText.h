#pragma once

#include <cstdint>
#include <string>

namespace platform {

// strerror text for errno values the system knows, "" otherwise.
std::string SystemErrorText(int32_t errnum);
// From uname: sysname, release and version, e.g. "Linux 6.1.0-18-amd64 #1 SMP ...".
std::string OperatingSystemText();

}  // namespace platform
