#include <gtest/gtest.h>

#include <string>

#include "packet/DataPacket.h"

using namespace comm;

namespace {

struct MatchCase {
  const char* text;
  bool ignoreCase;
  std::string match;
  std::string mask;
};

TEST(ParseMatchString, EscapesWildcardsAndCase) {
  const MatchCase cases[] = {
      {"\r", true, "\r", "0"},
      {"ok", true, "OK", "00"},
      {"ok", false, "ok", "00"},
      {"\xE0z", true, "\xE0Z", "00"},  // only ASCII letters change case
      {"?", true, "?", "1"},
      {"\\?", true, "?", "0"},  // an escaped question mark is literal
      {"a?\\?b", false, "a??b", "0100"},
      {"\\\\", true, "\\", "0"},
      {"\\n", true, "N", "0"},     // a backslash escapes, it does not introduce control codes
      {"x\\", true, "X\\", "00"},  // nothing to escape: the backslash stays
      {"", true, "", ""},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.text);
    const TMatchString m = ParseMatchString(c.text, c.ignoreCase);
    EXPECT_EQ(m.Match, c.match);
    EXPECT_EQ(m.Mask, c.mask);
  }
}

}  // namespace
