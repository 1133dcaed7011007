#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app {

// The FileVersion text of the file's version record (the first translation that has one
// wins), or "" for an empty name, a missing or unreadable file, a file that is not ELF, one
// without the version section, or a malformed record.
std::string GetFileVersion(const std::string& FileName);

// The raw bytes of the version section of an ELF file; nothing when there is none.
std::optional<std::vector<uint8_t>> ReadVersionSection(const std::string& FileName);

}  // namespace app
