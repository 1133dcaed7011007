#pragma once

#include <cstdint>
#include <string>

namespace comm {

// One entry of the code text table: a result code and its text.
struct TCodeMessage {
  int32_t Code;
  const char* Text;
};

// The texts of every code this system can produce, the dispatch-log words (kinds 15001+,
// subkinds 15100+), the log's header lines and the modem bit names. Sorted by the absolute
// value of the code; no two entries share an absolute value.
extern const TCodeMessage CodeMessageTable[];
extern const int32_t CodeMessageCount;

// The table's text for |code| (halving search on absolute values); "" when not found.
std::string FindCodeMessage(int32_t code);

// The text of a code: the code is taken as a 16-bit signed value and its absolute value is
// looked up; an empty or missing entry falls back to the operating system's text for that
// error number (tidied), or "" when the system has none.
std::string ErrorText(int32_t code);

// Control characters become spaces, then runs of spaces shrink to one.
std::string TidySystemText(std::string text);

}  // namespace comm
