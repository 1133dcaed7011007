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

// The running program's own FileVersion, "" when its record is missing or unreadable. It is read
// once, before main, from the program the process runs: /proc/self/exe opened as the link it is,
// not by the path it names. A program whose file is deleted or replaced while it runs (a package
// upgrade under a station that runs for days) keeps the version it was started with.
const std::string& OwnFileVersion();
// The path the running program was started from, as it was then ("" when unknown).
const std::string& OwnExePath();
// The file version of an executable: the running program's own (OwnFileVersion) when exePath is
// the path it was started from, else read from the file (GetFileVersion).
std::string ExeFileVersion(const std::string& exePath);

// The raw bytes of the version section of an ELF file; nothing when there is none.
std::optional<std::vector<uint8_t>> ReadVersionSection(const std::string& FileName);

}  // namespace app
