#pragma once

#include <string>

namespace platform {

// Process-wide table of serial port numbers; a path keeps its number for the life of the
// process.

// Existing number for the path, else the lowest free number from 1.
int EnterPortPath(const std::string& path);
// "" when none.
std::string PortPath(int number);
// "\\.\COM7" -> PortPath(7); "" when malformed or unknown.
std::string DeviceNamePath(const std::string& deviceName);

}  // namespace platform
