#include "app/flash/Output.h"

#include <cstdio>
#include <ctime>

namespace flash {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0.
size_t Utf8Sequence(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  size_t n = 0;
  uint32_t min = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  uint32_t cp = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Sequence(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text, i, n);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out += buffer;
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  return out + "\"";
}

void TJsonObject::Key(const std::string& key) {
  if (!body_.empty()) body_ += ',';
  body_ += JsonString(key) + ':';
}

TJsonObject& TJsonObject::Add(const std::string& key, const std::string& value) {
  Key(key);
  body_ += JsonString(value);
  return *this;
}

TJsonObject& TJsonObject::Add(const std::string& key, const char* value) {
  return Add(key, std::string(value));
}

TJsonObject& TJsonObject::Add(const std::string& key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

TJsonObject& TJsonObject::Add(const std::string& key, double value, int decimals) {
  Key(key);
  body_ += Fixed(value, decimals);
  return *this;
}

TJsonObject& TJsonObject::Add(const std::string& key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

TJsonObject& TJsonObject::AddNull(const std::string& key) {
  Key(key);
  body_ += "null";
  return *this;
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  auto escape = [&](unsigned char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
    out += buffer;
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Sequence(text, i);
    if (n == 0) {
      escape(c);
      ++i;
      continue;
    }
    // U+0080 to U+009F: the C1 controls, which some terminals act on like ESC sequences.
    const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (c1) {
      escape(c);
      escape(static_cast<unsigned char>(text[i + 1]));
    } else if (n > 1) {
      out.append(text, i, n);
    } else if (c < 0x20 || c == 0x7F) {
      escape(c);
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  return out;
}

std::string CsvField(const std::string& text) {
  const std::string printable = Printable(text);
  const bool quoted = printable.find_first_of(",\"") != std::string::npos ||
                      (!printable.empty() && (printable.front() == ' ' || printable.back() == ' '));
  if (!quoted) return printable;
  std::string out = "\"";
  for (char c : printable) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string IsoTimeUtc(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

std::string Fixed(double value, int decimals) {
  if (!(value == value)) value = 0;  // NaN
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

}  // namespace flash
