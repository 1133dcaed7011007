#pragma once
// The version checks that decide whether the connected Vexilora may take the embedded
// firmware. Versions are texts of dot-separated fields such as "2.0.0.3452".

#include <string>
#include <string_view>

namespace app {

// Field N (numbered from 1) of S, fields being separated by the one character of Delim; the
// text after the last delimiter is the last field. "" when S has fewer than N fields.
std::string GetField(std::string_view S, std::string_view Delim, int N);

// The hardware version agrees with the file version up to and including the second dot, as
// far as the shorter of the two texts reaches (an empty text agrees with everything).
bool IsHardwareCompatible(std::string_view Hardware, std::string_view FileVersion);

// By the fourth fields: 1 when the installed software is newer than the update, 0 when it is
// older or the same, 2 when either fourth field is not a number.
int CompareSoftwareVersions(std::string_view Installed, std::string_view Update);

// A strict decimal integer (an optional sign, then digits only, in the 32-bit range); false
// for anything else, the empty text included.
bool TryStrToInt(std::string_view text, int& value);

}  // namespace app
