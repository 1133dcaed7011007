#include "comm/ErrorText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

using comm::CodeMessageCount;
using comm::CodeMessageTable;
using comm::ErrorText;
using comm::FindCodeMessage;
using comm::TidySystemText;

TEST(CodeMessageTable, SortedByAbsoluteValueWithoutDuplicates) {
  for (int32_t i = 1; i < CodeMessageCount; ++i) {
    EXPECT_LT(std::abs(CodeMessageTable[i - 1].Code), std::abs(CodeMessageTable[i].Code))
        << "entry " << i << " (code " << CodeMessageTable[i].Code << ")";
  }
}

TEST(CodeMessageTable, HoldsExactlyTheElevenEmptyEntries) {
  std::set<int32_t> empty;
  for (int32_t i = 0; i < CodeMessageCount; ++i) {
    if (std::string(CodeMessageTable[i].Text).empty()) empty.insert(CodeMessageTable[i].Code);
  }
  EXPECT_EQ(empty, (std::set<int32_t>{4200, 4600, 4630, 4660, 4725, 4726, 4727, 4728, 4730, 10000,
                                      15100}));
}

// The halving search must reach every entry, at both ends and everywhere between, whatever
// the sign it is asked with.
TEST(FindCodeMessage, FindsEveryEntryByEitherSign) {
  for (int32_t i = 0; i < CodeMessageCount; ++i) {
    const auto& entry = CodeMessageTable[i];
    EXPECT_EQ(FindCodeMessage(entry.Code), std::string(entry.Text)) << entry.Code;
    EXPECT_EQ(FindCodeMessage(-entry.Code), std::string(entry.Text)) << -entry.Code;
  }
}

TEST(FindCodeMessage, MissingCodesGiveEmptyText) {
  for (int32_t code : {1, 7, 99, 163, 1000, 1010, 4729, 4731, 9999, 15022, 15609, 99999}) {
    EXPECT_EQ(FindCodeMessage(code), "") << code;
  }
}

TEST(ErrorText, TextsByCode) {
  struct {
    int32_t code;
    const char* text;
  } const cases[] = {
      {-2008, "ie_Open - device already open"},
      {2008, "ie_Open - device already open"},
      {0, "OK"},
      {-2, "File not found"},
      {-5, "File access denied"},
      {-3006, "Output buffer too small for block"},
      {-13868, "No memory"},
      {4707, "File skipped "},
      {4711, "Duplicate block received and ignored "},
      {15013, "XModem"},
      {15100 + 121, "txSendBlock"},
      {15100 + 244, "StringPacket"},
      {15501, "Time      Type      SubType       Data      OtherData"},
      {15502, "--------  --------  ------------  --------  ---------"},
      {15608, "DCD"},
      // Codes travel as 16-bit values: 0x10000 + 2008 is 2008.
      {0x10000 + 2008, "ie_Open - device already open"},
      // No table entry: the operating system's text for the error number.
      {-13, "Permission denied"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorText(c.code), c.text) << c.code;
}

TEST(ErrorText, EmptyEntryFallsBackToTheSystemWhichHasNoText) {
  // 4725's entry is empty; Linux has no error number 4725, so the text stays empty.
  EXPECT_EQ(ErrorText(4725), "");
  EXPECT_EQ(ErrorText(-4725), "");
  EXPECT_EQ(ErrorText(15100), "");
}

TEST(TidySystemText, ControlCharactersBecomeSingleSpaces) {
  struct {
    std::string in;
    std::string out;
  } const cases[] = {
      {"Access is denied.\r\n", "Access is denied. "},
      {"a\t\tb  c", "a b c"},
      {"  leading", " leading"},
      {"", ""},
      // Bytes of the Windows-1251 code page are text, not control characters.
      {"\xCE\xF8\xE8\xE1\xEA\xE0\n", "\xCE\xF8\xE8\xE1\xEA\xE0 "},
  };
  for (const auto& c : cases) EXPECT_EQ(TidySystemText(c.in), c.out) << c.in;
}
