#pragma once
// The shapes vexilora-flash writes: JSON lines, CSV log lines, times.

#include <chrono>
#include <cstdint>
#include <string>

namespace flash {

// One JSON object, built field by field in the order given.
class TJsonObject {
 public:
  TJsonObject& Add(const std::string& key, const std::string& value);
  TJsonObject& Add(const std::string& key, const char* value);
  TJsonObject& Add(const std::string& key, int64_t value);
  TJsonObject& Add(const std::string& key, int value) { return Add(key, int64_t{value}); }
  TJsonObject& Add(const std::string& key, double value, int decimals);
  TJsonObject& Add(const std::string& key, bool value);
  TJsonObject& AddNull(const std::string& key);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(const std::string& key);
  std::string body_;
};

// A JSON string literal. Bytes that are not valid UTF-8 become U+FFFD, so that a device
// reporting garbage cannot break the line for the program that reads it.
std::string JsonString(const std::string& text);

// Text that came from a device (or anything else not ours) made safe for a terminal or a text
// record: control characters (C0, DEL and the C1 range), NUL and bytes that are not UTF-8
// become \xNN, and a backslash becomes \\, so that nothing a device says can move the cursor,
// retitle the terminal or cut a line short. Valid UTF-8 text stays as it is.
std::string Printable(const std::string& text);

// One CSV field (RFC 4180): the text made printable, then quoted, with its quotes doubled, when
// it holds a comma, a quote or blanks at either end.
std::string CsvField(const std::string& text);

// "2026-12-10T14:05:52Z"
std::string IsoTimeUtc(std::chrono::system_clock::time_point time);

// Fixed-point text of value with the given decimals ("12.5").
std::string Fixed(double value, int decimals);

}  // namespace flash
