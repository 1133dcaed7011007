#pragma once
// The device's code page, Windows-1251: the password goes on the wire in it.

#include <optional>
#include <string>
#include <string_view>

namespace app {

// The Windows-1251 byte of a character, or nothing when the code page has no such character.
std::optional<char> Cp1251Byte(char32_t ch);

// A UTF-8 text in Windows-1251; nothing when the text is not valid UTF-8 or holds a character
// the code page lacks.
std::optional<std::string> Utf8ToCp1251(std::string_view utf8);

}  // namespace app
