// The trace file and the dispatch log file: their formats, written through a 512-byte buffer.

#include "comm/RecorderFiles.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "comm/Common.h"
#include "comm/ErrorText.h"

namespace comm {

namespace {

constexpr const char* kLineEnd = "\r\n";

// The build tool named in the dispatch log's header.
#if defined(__clang__)
constexpr const char* kCompilerText = "Clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompilerText = "GCC " __VERSION__;
#else
constexpr const char* kCompilerText = "C++ compiler";
#endif

// File errors are reported as the runtime's I/O error numbers where this system has a text
// for the condition (path not found, access denied, disk full ...); other errors keep their
// system number, whose text the operating system supplies.
int32_t IoErrorCode(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return 3;  // creating a file fails this way only when its folder is missing
    case EACCES:
    case EPERM:
      return 5;
    case EMFILE:
    case ENFILE:
      return 4;
    case ENOSPC:
    case EDQUOT:
      return 101;
    case EROFS:
      return 150;
    case EIO:
      return 160;
    case 0:
      return 162;  // a failure without a reason
    default:
      return err;
  }
}

// A text file written through a 512-byte buffer. Remembers the first write error, which the
// close reports.
class TTextFile {
 public:
  TTextFile() = default;
  ~TTextFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  TTextFile(const TTextFile&) = delete;
  TTextFile& operator=(const TTextFile&) = delete;

  // 0 or the system's error number. Appending to a file that does not exist creates it.
  int Open(const std::string& name, bool append) {
    errno = 0;
    file_ = std::fopen(name.c_str(), append ? "ab" : "wb");
    if (file_ == nullptr) return errno != 0 ? errno : EIO;
    std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
    return 0;
  }

  void Write(std::string_view text) {
    if (error_ != 0 || text.empty()) return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
      error_ = errno != 0 ? errno : EIO;
  }
  void WriteLine(std::string_view text) {
    Write(text);
    Write(kLineEnd);
  }

  // 0 or the first error of the writes or of the close.
  int Close() {
    errno = 0;
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (error_ == 0 && closed != 0) error_ = errno != 0 ? errno : EIO;
    return error_;
  }

 private:
  std::FILE* file_ = nullptr;
  char buffer_[512];
  int error_ = 0;
};

// One byte as a trace or log item; returns its width in columns.
//  all hex: [XX]; printable (from 32, or from 33 when hex is on, up to 126): the character;
//  otherwise [XX] with hex, or the decimal value in brackets without it.
int AppendItem(std::string& out, uint8_t byte, bool hex, bool allHex) {
  char text[8];
  if (!allHex && byte >= (hex ? 33 : 32) && byte <= 126) {
    out.push_back(static_cast<char>(byte));
    return 1;
  }
  const int width = (allHex || hex) ? std::snprintf(text, sizeof text, "[%02X]", byte)
                                    : std::snprintf(text, sizeof text, "[%u]", byte);
  out.append(text, static_cast<size_t>(width));
  return width;
}

std::string PadLeft(std::string text, size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

std::string PadRight(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string Cut(std::string text, size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

// Milliseconds as seconds with three decimals, at least seven digits: 1234 -> 0001.234.
std::string LogTimeText(uint32_t ms) {
  // Seconds with at least four digits, then the milliseconds: 0001.234.
  char text[16];
  std::snprintf(text, sizeof text, "%04u.%03u", ms / 1000, ms % 1000);
  return text;
}

std::string LocalDateTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d, %02d:%02d:%02d", local.tm_mday,
                local.tm_mon + 1, local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

const char* StatusKindText(uint8_t kind) {
  switch (kind) {
    case 0:
      return "(Not active)";
    case 1:
      return "(Modem status)";
    case 2:
      return "(Line status)";
    case 3:
      return "(Output buffer free)";
    case 4:
      return "(Output buffer used)";
    case 5:
      return "(Output sent)";
    default:
      return "";
  }
}

constexpr uint8_t kLogTelnet = 10;
constexpr uint8_t kLogUser = 19;
constexpr uint16_t kSubModemStatus = 4;
constexpr uint16_t kSubStatus = 15;
constexpr uint32_t kKindWords = 15001;
constexpr uint32_t kSubKindWords = 15100;
constexpr uint32_t kLogHeader = 15501;
constexpr uint32_t kLogRule = 15502;
constexpr uint32_t kModemBitNames = 15601;
constexpr uint32_t kTelnetOptions = 15700;

// Attached bytes start in column 45 and wrap before passing column 78 onto a line indented
// by 44 spaces.
constexpr int kLogDataColumn = 45;
constexpr int kMaxColumn = 78;

void AppendLogRecord(std::string& line, const TLogBuffer& record, bool hex, bool allHex) {
  line += PadLeft(LogTimeText(record.Time), 8);
  line += "  ";
  line += PadRight(ErrorText(static_cast<int32_t>(kKindWords + record.LogKind)), 8);
  line += "  ";
  line += PadRight(record.SubKind == 0
                       ? std::string()
                       : ErrorText(static_cast<int32_t>(kSubKindWords + record.SubKind)),
                   12);
  line += "  ";
  char data[16];
  std::snprintf(data, sizeof data, "%08X", record.Data);
  line += data;
  line += "  ";

  if (record.Size == 0 || record.Bytes() == nullptr) {
    if (record.LogKind == kLogTelnet) {
      line += "[";
      if (record.Data <= 42) line += ErrorText(static_cast<int32_t>(kTelnetOptions + record.Data));
      line += "]";
    }
    return;
  }
  if (record.SubKind == kSubStatus && (record.LogKind == 5 || record.LogKind == 6)) {
    line += StatusKindText(record.Bytes()[0]);
  } else {
    int column = kLogDataColumn;
    for (uint32_t i = 0; i < record.Size; ++i) {
      const uint8_t byte = record.Bytes()[i];
      std::string item;
      int width;
      if (allHex && record.LogKind == kLogUser) {
        item.push_back(static_cast<char>(byte));  // user records carry text
        width = 1;
      } else {
        width = AppendItem(item, byte, hex, allHex);
      }
      column += width;
      if (column > kMaxColumn) {
        line += kLineEnd;
        line.append(44, ' ');
        column = width + kLogDataColumn;
      }
      line += item;
    }
  }
  if (record.SubKind == kSubModemStatus) {
    line += "(";
    bool first = true;
    for (uint32_t bit = 0; bit < 8; ++bit) {
      if ((record.Data & (1u << bit)) == 0) continue;
      if (!first) line += " ";
      line += ErrorText(static_cast<int32_t>(kModemBitNames + bit));
      first = false;
    }
    line += ")";
  }
}

}  // namespace

TRecorderFileResult WriteTraceText(const std::string& name, bool append, bool hex, bool allHex,
                                   const uint8_t* ring, uint32_t ringEntries, uint32_t first,
                                   uint32_t count) {
  TRecorderFileResult result;
  TTextFile file;
  if (const int err = file.Open(name, append); err != 0) {
    result.Code = -IoErrorCode(err);
    return result;
  }
  result.Opened = true;

  uint8_t lastKind = 0;
  int column = 0;
  bool firstEntry = true;
  std::string out;
  for (uint32_t n = 0; n < count; ++n) {
    const uint32_t index = (first + n) % ringEntries;
    const uint8_t kind = ring[2 * static_cast<size_t>(index)];
    const uint8_t byte = ring[2 * static_cast<size_t>(index) + 1];
    if (kind != lastKind) {
      if (!firstEntry) {
        out += "\r\n\r\n";
        column = 0;
      }
      if (kind == kTraceSent) {
        out += "Transmit: ";
      } else if (kind == kTraceReceived) {
        out += "Receive: ";
      } else {
        out += "Special-";
        out.push_back(static_cast<char>(kind));
        out += ": ";
      }
      out += kLineEnd;
      lastKind = kind;
    }
    std::string item;
    const int width = AppendItem(item, byte, hex, allHex);
    column += width;
    if (column > kMaxColumn) {
      out += kLineEnd;
      column = width;
    }
    out += item;
    firstEntry = false;
    if (out.size() >= 4096) {
      file.Write(out);
      out.clear();
    }
  }
  file.Write(out);  // the last item ends the file: no line end after it
  const int err = file.Close();
  result.Code = err != 0 ? -IoErrorCode(err) : 0;
  return result;
}

TRecorderFileResult WriteDispatchLogText(const std::string& name, bool append, bool hex,
                                         bool allHex, const std::string& deviceName,
                                         const std::string& osText,
                                         const std::function<std::unique_ptr<TIOBuffer>()>& next) {
  TRecorderFileResult result;
  TTextFile file;
  if (const int err = file.Open(name, append); err != 0) {
    result.Code = -IoErrorCode(err);
    return result;
  }
  result.Opened = true;

  file.WriteLine(std::string("COMM ") + kCommVersion);
  file.WriteLine(std::string("Compiler : ") + kCompilerText);
  file.WriteLine("Operating System : " + Cut(osText, 80));
  file.WriteLine("Device: " + deviceName);
  file.WriteLine("Date/time: " + Cut(LocalDateTimeText(), 80));
  file.WriteLine(ErrorText(kLogHeader));
  file.WriteLine(ErrorText(kLogRule));

  std::string line;
  while (std::unique_ptr<TIOBuffer> record = next()) {
    if (record->Kind() != TIOBufferKind::Log) continue;
    line.clear();
    AppendLogRecord(line, static_cast<const TLogBuffer&>(*record), hex, allHex);
    file.WriteLine(line);
  }
  const int err = file.Close();
  result.Code = err != 0 ? -IoErrorCode(err) : 0;
  return result;
}

}  // namespace comm
