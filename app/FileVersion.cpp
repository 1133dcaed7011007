#include "app/FileVersion.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/VersionRecord.h"

namespace app {

namespace {

// A version record is a few hundred bytes; a section claiming more is not one of ours.
constexpr size_t kMaxRecordSize = 64 * 1024;

uint16_t Read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (static_cast<uint16_t>(p[1]) << 8));
}

// Bounds-checked reading over the record's bytes.
class TReader {
 public:
  explicit TReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool U16(uint16_t& v) {
    if (bytes_.size() - pos_ < 2) return false;
    v = Read16(bytes_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool Text(std::string& s) {
    uint16_t length = 0;
    if (!U16(length) || bytes_.size() - pos_ < length) return false;
    s.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), length);
    pos_ += length;
    return true;
  }
  bool Magic(std::string_view magic) {
    if (bytes_.size() - pos_ < magic.size()) return false;
    if (std::memcmp(bytes_.data() + pos_, magic.data(), magic.size()) != 0) return false;
    pos_ += magic.size();
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

class TElfLibrary {
 public:
  TElfLibrary() { ok_ = elf_version(EV_CURRENT) != EV_NONE; }
  bool Ok() const { return ok_; }

 private:
  bool ok_ = false;
};

bool ElfReady() {
  static const TElfLibrary library;
  return library.Ok();
}

// Closes what it holds on every way out.
struct TElfFile {
  int Fd = -1;
  Elf* Handle = nullptr;
  ~TElfFile() {
    if (Handle != nullptr) elf_end(Handle);
    if (Fd >= 0) close(Fd);
  }
};

}  // namespace

std::optional<TVersionRecord> TVersionRecord::Parse(std::span<const uint8_t> bytes) {
  TReader r(bytes);
  TVersionRecord record;
  uint16_t format = 0;
  uint16_t translationCount = 0;
  if (!r.Magic(kVersionMagic) || !r.U16(format) || format != kVersionFormat ||
      !r.U16(translationCount))
    return std::nullopt;
  for (uint16_t i = 0; i < translationCount; ++i) {
    TTranslation t;
    if (!r.U16(t.Language) || !r.U16(t.CodePage)) return std::nullopt;
    record.translations_.push_back(t);
  }
  uint16_t tableCount = 0;
  if (!r.U16(tableCount)) return std::nullopt;
  for (uint16_t i = 0; i < tableCount; ++i) {
    std::string name;
    uint16_t entryCount = 0;
    if (!r.Text(name) || !r.U16(entryCount)) return std::nullopt;
    for (uint16_t j = 0; j < entryCount; ++j) {
      TEntry e;
      e.Table = name;
      if (!r.Text(e.Key) || !r.Text(e.Value)) return std::nullopt;
      // A value is a zero-terminated text: without its terminator the record is broken.
      const size_t zero = e.Value.find('\0');
      if (zero == std::string::npos) return std::nullopt;
      e.Value.resize(zero);
      record.entries_.push_back(std::move(e));
    }
  }
  return record;
}

std::optional<std::string> TVersionRecord::QueryValue(std::string_view subBlock) const {
  if (!subBlock.empty() && subBlock.front() == '\\') subBlock.remove_prefix(1);
  constexpr std::string_view kStringFileInfo = "StringFileInfo\\";
  if (subBlock.substr(0, kStringFileInfo.size()) != kStringFileInfo) return std::nullopt;
  subBlock.remove_prefix(kStringFileInfo.size());
  const size_t slash = subBlock.find('\\');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view table = subBlock.substr(0, slash);
  const std::string_view key = subBlock.substr(slash + 1);
  for (const TEntry& e : entries_) {
    // Block names and keys are matched regardless of letter case, as the platform does.
    auto same = [](std::string_view a, std::string_view b) {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        const char x = static_cast<char>(std::tolower(static_cast<unsigned char>(a[i])));
        const char y = static_cast<char>(std::tolower(static_cast<unsigned char>(b[i])));
        if (x != y) return false;
      }
      return true;
    };
    if (same(e.Table, table) && same(e.Key, key)) return e.Value;
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> ReadVersionSection(const std::string& FileName) {
  if (FileName.empty() || !ElfReady()) return std::nullopt;
  TElfFile file;
  file.Fd = open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (file.Fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(file.Fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  file.Handle = elf_begin(file.Fd, ELF_C_READ, nullptr);
  if (file.Handle == nullptr || elf_kind(file.Handle) != ELF_K_ELF) return std::nullopt;
  size_t namesIndex = 0;
  if (elf_getshdrstrndx(file.Handle, &namesIndex) != 0) return std::nullopt;
  Elf_Scn* section = nullptr;
  while ((section = elf_nextscn(file.Handle, section)) != nullptr) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) continue;
    const char* name = elf_strptr(file.Handle, namesIndex, header.sh_name);
    if (name == nullptr || std::strcmp(name, kVersionSectionName) != 0) continue;
    if (header.sh_type == SHT_NOBITS || header.sh_size > kMaxRecordSize) return std::nullopt;
    // The library checks the section against the file's real size before handing it out.
    Elf_Data* data = elf_rawdata(section, nullptr);
    if (data == nullptr || data->d_buf == nullptr || data->d_size > kMaxRecordSize)
      return std::nullopt;
    const auto* begin = static_cast<const uint8_t*>(data->d_buf);
    return std::vector<uint8_t>(begin, begin + data->d_size);
  }
  return std::nullopt;
}

namespace {

std::string VersionOfSection(const std::optional<std::vector<uint8_t>>& section);

struct TOwnRecord {
  std::string Path;
  std::string Version;
};

const TOwnRecord& OwnRecord() {
  static const TOwnRecord own = [] {
    TOwnRecord record;
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n > 0) record.Path.assign(buffer.data(), static_cast<size_t>(n));
    record.Version = VersionOfSection(ReadVersionSection("/proc/self/exe"));
    return record;
  }();
  return own;
}

// Read before main: from then on the program's version needs nothing outside the process.
[[maybe_unused]] const TOwnRecord& kOwnRecordAtStart = OwnRecord();

}  // namespace

const std::string& OwnFileVersion() { return OwnRecord().Version; }

const std::string& OwnExePath() { return OwnRecord().Path; }

std::string ExeFileVersion(const std::string& exePath) {
  if (!exePath.empty() && exePath == OwnExePath()) return OwnFileVersion();
  return GetFileVersion(exePath);
}

std::string GetFileVersion(const std::string& FileName) {
  return VersionOfSection(ReadVersionSection(FileName));
}

namespace {

std::string VersionOfSection(const std::optional<std::vector<uint8_t>>& section) {
  std::string result;
  if (!section) return result;
  const std::optional<TVersionRecord> record = TVersionRecord::Parse(*section);
  if (!record) return result;
  for (const TTranslation& t : record->Translations()) {
    // The block name is the language and the code page as four hex digits each, the form
    // the record's tables are named in ("041904e3").
    char subBlock[64];
    std::snprintf(subBlock, sizeof subBlock, "\\StringFileInfo\\%04x%04x\\FileVersion", t.Language,
                  t.CodePage);
    if (std::optional<std::string> value = record->QueryValue(subBlock)) {
      result = *value;
      break;
    }
  }
  return result;
}

}  // namespace

}  // namespace app
