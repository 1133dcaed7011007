#pragma once
// The executable's version record: what the build writes into the ELF section
// kVersionSectionName and GetFileVersion reads back from the file on disk.
//
// Layout (all numbers little-endian 16-bit):
//   "VXVI"                                  magic
//   format (1), translation count T
//   T x (language, code page)               the translation table
//   string table count S
//   S x { name length, name                 e.g. "041904e3": language and code page in hex
//         entry count E
//         E x { key length, key, value length, value } }
// A value is a zero-terminated text; its length counts the terminator.
//
// Values are looked up by the sub-block paths of the platform's version information,
// "\StringFileInfo\<name>\<key>" (the leading backslash may be left out).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline constexpr const char* kVersionSectionName = ".vexilora_version";
inline constexpr std::string_view kVersionMagic = "VXVI";
inline constexpr uint16_t kVersionFormat = 1;

struct TTranslation {
  uint16_t Language = 0;
  uint16_t CodePage = 0;
};

struct TVersionString {
  std::string_view Key;
  std::string_view Value;
};

struct TStringTable {
  std::string_view Name;
  std::span<const TVersionString> Strings;
};

// Writes the record into out (when out is not null) and returns its size in bytes. Usable at
// compile time, so that the build can place a constant record in its section.
constexpr size_t EncodeVersionRecord(std::span<const TTranslation> translations,
                                     std::span<const TStringTable> tables, uint8_t* out) {
  size_t pos = 0;
  auto put8 = [&](uint8_t b) {
    if (out != nullptr) out[pos] = b;
    ++pos;
  };
  auto put16 = [&](size_t v) {
    put8(static_cast<uint8_t>(v & 0xFF));
    put8(static_cast<uint8_t>((v >> 8) & 0xFF));
  };
  auto putText = [&](std::string_view s, bool terminate) {
    put16(s.size() + (terminate ? 1 : 0));
    for (char c : s) put8(static_cast<uint8_t>(c));
    if (terminate) put8(0);
  };
  for (char c : kVersionMagic) put8(static_cast<uint8_t>(c));
  put16(kVersionFormat);
  put16(translations.size());
  for (const TTranslation& t : translations) {
    put16(t.Language);
    put16(t.CodePage);
  }
  put16(tables.size());
  for (const TStringTable& table : tables) {
    putText(table.Name, false);
    put16(table.Strings.size());
    for (const TVersionString& s : table.Strings) {
      putText(s.Key, false);
      putText(s.Value, true);
    }
  }
  return pos;
}

inline std::vector<uint8_t> EncodeVersionRecord(std::span<const TTranslation> translations,
                                                std::span<const TStringTable> tables) {
  std::vector<uint8_t> bytes(EncodeVersionRecord(translations, tables, nullptr));
  EncodeVersionRecord(translations, tables, bytes.data());
  return bytes;
}

// A record checked for consistency once; queries then only look things up. Nothing for a
// record that is cut short, has the wrong magic or format, or whose lengths point outside it.
class TVersionRecord {
 public:
  static std::optional<TVersionRecord> Parse(std::span<const uint8_t> bytes);

  const std::vector<TTranslation>& Translations() const { return translations_; }
  // The value of a sub-block path, or nothing when the record has no such block.
  std::optional<std::string> QueryValue(std::string_view subBlock) const;

 private:
  struct TEntry {
    std::string Table;
    std::string Key;
    std::string Value;
  };
  std::vector<TTranslation> translations_;
  std::vector<TEntry> entries_;
};

}  // namespace app
