// 8.3 names: validity, alias generation as Windows does it, numbering within
// a folder, and find-first mask matching.

#include <gtest/gtest.h>

#include <set>

#include "platform/FileFind.h"
#include "platform/common/ShortNames.h"

namespace qnzb::platform {
namespace {

TEST(ShortName, ValidityFollowsTheEightDotThreeRules) {
  const struct {
    const char* name;
    bool valid;
  } rows[] = {
      {"README.TXT", true},   {"readme.txt", true},  {"ReadMe.Txt", true},   {"A", true},
      {"12345678.123", true}, {"A-B_C~1.$$$", true}, {"{X}(1)!.@^`", true},  {"NOEXT", true},
      {"123456789", false},   {"A.1234", false},     {"A.B.C", false},       {"A.", false},
      {".A", false},          {"", false},           {"MY FILE.TXT", false}, {"A+B.TXT", false},
      {"A[1].TXT", false},    {"A;B", false},        {"A=B", false},         {"A,B", false},
      {"\xC3\xA9.TXT", false}, {".", false},         {"..", false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(IsValidShortName(row.name), row.valid) << row.name;
}

TEST(ShortName, AliasMatchesWindows) {
  const struct {
    const char* name;
    const char* alias;
  } rows[] = {
      {"My Long Document.txt", "MYLONG~1.TXT"},
      {"readme.txt", ""},
      {"README.TXT", ""},
      {"Program Files", "PROGRA~1"},
      {"foo.tar.gz", "FOOTAR~1.GZ"},
      {"a+b.txt", "A_B~1.TXT"},
      {".bashrc", "BASHRC~1"},
      {"archive.html", "ARCHIV~1.HTM"},
      {"x,y;z=w[0].dat", "X_Y_Z_~1.DAT"},
      {"two words.tx t", "TWOWOR~1.TXT"},  // spaces go from the extension too
      // One UTF-8 sequence is one character, wherever it is.
      {"\xC3\xA9t\xC3\xA9.txt", "_T_~1.TXT"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87\xE6\x9B\xB8.txt", "______~1.TXT"},
      {"\xF0\x9F\x98\x80.doc", "_~1.DOC"},
      {"a.\xC3\xA9t\xC3\xA9x", "A~1._T_"},
      {"name.", "NAME~1"},
      {"...", "_~1"},
      {".", ""},
      {"..", ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ShortAlias(row.name, {}), row.alias) << row.name;
}

TEST(ShortName, NumberSkipsTakenAliasesAndShortensTheBase) {
  EXPECT_EQ(ShortAlias("My Long Document.txt", {"MYLONG~1.TXT"}), "MYLONG~2.TXT");
  EXPECT_EQ(ShortAlias("My Long Document.txt", {"MYLONG~2.TXT"}), "MYLONG~1.TXT");
  std::vector<std::string> taken;
  for (int n = 1; n <= 9; ++n)
    taken.push_back("MYLONG~" + std::to_string(n) + ".TXT");
  EXPECT_EQ(ShortAlias("My Long Document.txt", taken), "MYLON~10.TXT");
  // Short bases shorten only when base + "~N" would pass eight characters.
  taken = {"AB~1", "AB~2", "AB~3", "AB~4", "AB~5", "AB~6", "AB~7", "AB~8", "AB~9"};
  EXPECT_EQ(ShortAlias("a b", taken), "AB~10");
}

TEST(ShortName, FolderTableNumbersCollisionsAfterValidNames) {
  common::TShortNameTable table;
  table.Take("mylong~2.txt");  // a real file with that short name is there first
  EXPECT_EQ(table.Assign("My Long Diary.txt"), "MYLONG~1.TXT");
  EXPECT_EQ(table.Assign("My Long Document.txt"), "MYLONG~3.TXT");
  EXPECT_EQ(table.Assign("mylongxx.txt"), "");
  for (int n = 4; n <= 9; ++n)
    EXPECT_EQ(table.Assign("My Long Note " + std::to_string(n) + ".txt"), "MYLONG~" + std::to_string(n) + ".TXT");
  EXPECT_EQ(table.Assign("My Long Tenth.txt"), "MYLON~10.TXT");
  // A different six-character stem that shares the five-character one must
  // not reuse the number the first stem took.
  for (int n = 1; n <= 9; ++n)
    ASSERT_EQ(table.Assign("mylonx " + std::to_string(n) + ".txt"), "MYLONX~" + std::to_string(n) + ".TXT");
  EXPECT_EQ(table.Assign("mylonx 10.txt"), "MYLON~11.TXT");
}

TEST(ShortName, ManyCollisionsStayUniqueAndWithinEightDotThree) {
  common::TShortNameTable table;
  std::set<std::string> seen;
  for (int i = 0; i < 20000; ++i) {
    const std::string alias = table.Assign("Collision number " + std::to_string(i) + ".jpeg");
    ASSERT_TRUE(seen.insert(alias).second) << alias;
    ASSERT_TRUE(IsValidShortName(alias)) << alias;
  }
  EXPECT_EQ(seen.count("CO~20000.JPE"), 1u);
}

TEST(ShortName, MaskMatchingIsWindowsLike) {
  const struct {
    const char* mask;
    const char* name;
    bool matches;
  } rows[] = {
      {"*.*", "noext", true},         {"*.*", "a.b.c", true},         {"*.*", ".", true},
      {"*", "anything.at.all", true}, {"*.TXT", "a.txt", true},       {"*.txt", "B.TxT", true},
      {"*.txt", "a.txt.bak", false},  {"*.txt", "txt", false},        {"?.txt", "a.txt", true},
      {"?.txt", "ab.txt", false},     {"?.txt", ".txt", false},       {"a?c", "abc", true},
      {"a?c", "ac", false},           {"?", "\xC3\xA9", true},        {"??", "\xC3\xA9", false},
      {"a.*", "a", true},             {"a.*", "ab", false},           {"FILE.TXT", "file.txt", true},
      {"file.txt", "file.txt2", false}, {"*a*b*", "xxaxxbxx", true}, {"*a*b*", "xxbxxaxx", false},
      {"", "a", false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(common::MaskMatches(row.mask, row.name), row.matches) << row.mask << " vs " << row.name;
}

} // namespace
} // namespace qnzb::platform
