#include "app/Cp1251.h"

#include <cstdint>

namespace app {

namespace {

// The characters of bytes 0x80 to 0xBF; 0 where the code page has none (0x98).
constexpr char16_t kUpper[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

}  // namespace

std::optional<char> Cp1251Byte(char32_t ch) {
  if (ch < 0x80) return static_cast<char>(ch);
  // А..я, the Cyrillic alphabet without Ё/ё, fills 0xC0 to 0xFF in order.
  if (ch >= 0x0410 && ch <= 0x044F) return static_cast<char>(0xC0 + (ch - 0x0410));
  for (int i = 0; i < 64; ++i) {
    if (kUpper[i] != 0 && kUpper[i] == ch) return static_cast<char>(0x80 + i);
  }
  return std::nullopt;
}

std::optional<std::string> Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto b0 = static_cast<uint8_t>(utf8[i]);
    char32_t ch = 0;
    size_t length = 0;
    if (b0 < 0x80) {
      ch = b0;
      length = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      ch = b0 & 0x1F;
      length = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      ch = b0 & 0x0F;
      length = 3;
    } else if ((b0 & 0xF8) == 0xF0) {
      ch = b0 & 0x07;
      length = 4;
    } else {
      return std::nullopt;
    }
    if (utf8.size() - i < length) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
      const auto b = static_cast<uint8_t>(utf8[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      ch = (ch << 6) | (b & 0x3F);
    }
    // Overlong forms and surrogates are not valid UTF-8.
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (ch < kMin[length] || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) return std::nullopt;
    const std::optional<char> byte = Cp1251Byte(ch);
    if (!byte) return std::nullopt;
    out.push_back(*byte);
    i += length;
  }
  return out;
}

}  // namespace app
