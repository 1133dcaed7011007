#include "app/Versions.h"

#include <gtest/gtest.h>

#include <string>

#include "app/Texts.h"

namespace {

struct FieldCase {
  const char* S;
  int N;
  const char* Expected;
};

TEST(GetField, TakesTheNthDotSeparatedField) {
  const FieldCase cases[] = {
      {"2.0.3017.3452", 1, "2"},
      {"2.0.3017.3452", 2, "0"},
      {"2.0.3017.3452", 3, "3017"},
      {"2.0.3017.3452", 4, "3452"},
      {"2.0.3017.3452", 5, ""},
      {"3452", 1, "3452"},
      {"3452", 2, ""},
      {"", 1, ""},
      {"", 4, ""},
      {"1.2.", 3, ""},
      {"1.2.", 4, ""},
      {".5", 1, ""},
      {".5", 2, "5"},
      {"a..b", 2, ""},
      {"a..b", 3, "b"},
      {"2.0.0", 4, ""},
      {"1.2.3.4.5", 255, ""},
  };
  for (const FieldCase& c : cases) {
    EXPECT_EQ(app::GetField(c.S, ".", c.N), c.Expected) << '"' << c.S << "\" field " << c.N;
  }
  EXPECT_EQ(app::GetField("a,b,c", ",", 2), "b");
  EXPECT_EQ(app::GetField("a.b", ",", 1), "a.b");
}

TEST(IsHardwareCompatible, AgreesUpToTheSecondDotAsFarAsTheShorterTextReaches) {
  struct Case {
    const char* Hardware;
    bool Expected;
  };
  const Case cases[] = {
      {"2.0", true},   {"2.0.7", true}, {"2.0.3017.3452", true}, {"2.0.", true},  {"2", true},
      {"", true},      {"2.", true},    {"2.0.9999.1", true},    {"2.1", false},  {"3.0", false},
      {"2.00", false}, {"20", false},   {"2.0x", false},         {" 2.0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::IsHardwareCompatible(c.Hardware, "2.0.3017.3452"), c.Expected)
        << '"' << c.Hardware << '"';
  }
  // An unreadable file version makes every hardware version compatible.
  EXPECT_TRUE(app::IsHardwareCompatible("9.9", ""));
  // A longer text that agrees as far as the shorter goes.
  EXPECT_TRUE(app::IsHardwareCompatible("2.0.3017.3452.1", "2.0"));
}

TEST(CompareSoftwareVersions, ComparesTheFourthFieldsOnly) {
  struct Case {
    const char* Installed;
    const char* Update;
    int Expected;
  };
  const Case cases[] = {
      {"2.0.0.3452", "2.0.0.3452", 0},  // equal
      {"2.0.0.3451", "2.0.0.3452", 0},  // older
      {"2.0.0.3453", "2.0.0.3452", 1},  // newer
      {"1.9.9.3500", "2.0.0.3452", 1},  // only the fourth field counts
      {"9.9.9.1", "2.0.0.3452", 0},
      {"2.0.0", "2.0.0.3452", 2},  // three fields
      {"", "2.0.0.3452", 2},
      {"2.0.0.x", "2.0.0.3452", 2},
      {"2.0.0.3452", "", 2},  // no update version
      {"2.0.0.3452", "2.0.0.34a", 2},
      {"2.0.0.", "2.0.0.1", 2},             // empty fourth field
      {"2.0.0.99999999999", "2.0.0.1", 2},  // out of range is no number
      {"2.0.0.-1", "2.0.0.0", 0},
      {"2.0.0.+5", "2.0.0.4", 1},
      {"2.0.0. 5", "2.0.0.4", 2},
      {"2.0.0.3452.7", "2.0.0.3452", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::CompareSoftwareVersions(c.Installed, c.Update), c.Expected)
        << '"' << c.Installed << "\" vs \"" << c.Update << '"';
  }
}

TEST(TextsTest, TemplatesAreFilledInPlaceByPlace) {
  struct Case {
    const char* Template;
    std::vector<std::string> Args;
    const char* Expected;
  };
  const Case cases[] = {
      {"версией %1.%2. \rОбновление", {"2", "0"}, "версией 2.0. \rОбновление"},
      {"%2 before %1", {"a", "b"}, "b before a"},
      {"%1%1", {"x"}, "xx"},
      {"no places", {"unused"}, "no places"},
      {"%3 has no argument", {"a"}, "%3 has no argument"},
      {"100% and %x stay", {"a"}, "100% and %x stay"},
      {"%1", {"50%2"}, "50%2"},  // an argument is not searched for places
      {"%", {}, "%"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(app::FillTemplate(c.Template, c.Args), c.Expected) << c.Template;
}

}  // namespace
