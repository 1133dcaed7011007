// The executable's version record, built at compile time from the project version and placed
// in its own ELF section, where GetFileVersion finds it in the file on disk.

#include <array>

#include "app/VersionRecord.h"

#ifndef VEXILORA_FILE_VERSION
#error "VEXILORA_FILE_VERSION must name the project version"
#endif

namespace app {
namespace {

// Russian (0x0419) in the Windows-1251 code page (0x04E3): the language of the utility's texts.
constexpr TTranslation kTranslations[] = {{0x0419, 0x04E3}};
constexpr TVersionString kStrings[] = {
    {"CompanyName", "Vexilora"},
    {"FileDescription", "Vexilora update utility"},
    {"FileVersion", VEXILORA_FILE_VERSION},
    {"ProductName", "Vexilora update"},
    {"ProductVersion", VEXILORA_FILE_VERSION},
};
constexpr TStringTable kTables[] = {{"041904e3", kStrings}};

constexpr size_t kRecordSize = EncodeVersionRecord(kTranslations, kTables, nullptr);

constexpr std::array<uint8_t, kRecordSize> BuildRecord() {
  std::array<uint8_t, kRecordSize> bytes{};
  EncodeVersionRecord(kTranslations, kTables, bytes.data());
  return bytes;
}

// Kept even though nothing in the program refers to it: it is read from the file only.
[[gnu::section(".vexilora_version"), gnu::used]] const std::array<uint8_t, kRecordSize>
    kVersionRecordSection = BuildRecord();

}  // namespace

}  // namespace app
