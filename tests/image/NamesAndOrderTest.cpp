// ISO 9660 and Joliet names of layout nodes, and the path table order.

#include "engine/image/qnISOLib.h"
#include "engine/runtime/Strings.h"
#include "platform/FileFind.h"
#include "image/LayoutFixture.h"

namespace qnzb::test {
namespace {

TEST(ShortNames, MadeFromNameByRule) {
  const struct {
    const char* name;
    const char* expected;
  } rows[] = {
      {"docs", "DOCS"},
      {"My Photos 2024", "MY_PHOTOS_202"},  // 13 characters
      {"a{b}c|d~e", "A_B_C_D_E"},           // 123 and above become "_"
      {"tab\there", "TAB_HERE"},
      {"Ünïcode", "_N_CODE"},            // one "_" per character, not per byte
      {"", ""},
      {"abcdefghijklmnopq", "ABCDEFGHIJKLM"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ShortNameFromName(row.name), row.expected) << row.name;
}

TEST_F(LayoutTest, IsoNamesComeFromAliasesOrUpperCasedValidNames) {
  tmp.write("src/readme.txt", "r");
  tmp.write("src/MAKEFILE", "m");
  tmp.write("src/My Long Document.txt", "d");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  const struct {
    const char* longName;
    const char* iso;
  } rows[] = {
      {"readme.txt", "README.TXT"},
      {"MAKEFILE.", "MAKEFILE."},
      {"My Long Document.txt", "MYLONG~1.TXT"},
  };
  for (const auto& row : rows) {
    const TFEntry* e = burner.FindEntry(burner.RootDir(), row.longName);
    ASSERT_NE(e, nullptr) << row.longName;
    std::string iso = row.iso;
#if defined(_WIN32)
    // The volume makes the aliases there.
    if (iso.find('~') != std::string::npos)
      iso = platform::FindFiles(tmp.at("src/") + row.longName, platform::faAnyFile).at(0).AlternateName;
#endif
    EXPECT_EQ(e->IsoName, iso);
    EXPECT_EQ(IsoIdentifier(*e), iso + ";1");
  }
}

TEST(JolietNames, AreBigEndianUtf16WithVersionForFiles) {
  EXPECT_EQ(JolietIdentifier("Ab", true), std::string("\0A\0b\0;\0" "1", 8));
#if defined(_WIN32)
  EXPECT_EQ(JolietIdentifier("\xE9", false), std::string("\0\xE9", 2));  // the ANSI code page
#else
  EXPECT_EQ(JolietIdentifier("é", false), std::string("\0\xE9", 2));
  // A character outside the basic plane takes two units (a surrogate pair).
  EXPECT_EQ(JolietIdentifier("\xF0\x9F\x98\x80", false), std::string("\xD8\x3D\xDE\x00", 4));
  EXPECT_EQ(JolietUnits("\xF0\x9F\x98\x80.txt", true), 8u);
#endif
  EXPECT_EQ(JolietUnits("dir", false), 3u);
}

// Numbers of the directories in path table order, by path.
std::vector<std::string> OrderOfPaths() {
  std::vector<std::string> paths;
  for (size_t i = 0; i < Layout.IsoDirOrder.size(); ++i) {
    EXPECT_EQ(Layout.IsoDirOrder[i]->Number, static_cast<int32_t>(i + 1));
    EXPECT_EQ(Layout.JolietDirOrder[i], Layout.IsoDirOrder[i]);
    paths.push_back(Layout.IsoDirOrder[i]->Path);
  }
  return paths;
}

TEST_F(LayoutTest, PathTableOrderIsBreadthFirstByIsoName) {
  burner.ForceDirectory("\\B\\Y");
  burner.ForceDirectory("\\B\\X");
  burner.ForceDirectory("\\A");
  burner.ForceDirectory("\\A\\Q\\DEEP");
  Layout.SortPathTableOrder();
  EXPECT_EQ(OrderOfPaths(),
            (std::vector<std::string>{"\\", "\\A", "\\B", "\\A\\Q", "\\B\\X", "\\B\\Y", "\\A\\Q\\DEEP"}));
  EXPECT_EQ(burner.FindDirectory("\\B\\X")->Parent->Number, 3);
}

TEST_F(LayoutTest, PathTableOrderFollowsIsoNamesNotLongNames) {
  // Long names sort z..a while ISO names sort a..z, at every level.
  const char* longNames[] = {"zulu", "yankee", "xray"};
  const char* isoNames[] = {"A1", "B1", "C1"};
  for (int i = 0; i < 3; ++i) {
    TListing l;
    l.Name = longNames[i];
    l.AlternateName = isoNames[i];
    l.Attr = 0x10;
    TDEntry* top = burner.AddDirEntry(burner.RootDir(), l);
    ASSERT_NE(top, nullptr);
    TDEntry* parent = top;
    for (int level = 0; level < 3; ++level) {
      for (int j = 2; j >= 0; --j) {
        TListing child;
        child.Name = std::string(longNames[j]) + std::to_string(level);
        child.AlternateName = std::string(isoNames[j]) + std::to_string(level);
        child.Attr = 0x10;
        TDEntry* made = burner.AddDirEntry(parent, child);
        ASSERT_NE(made, nullptr);
        if (j == 0)
          parent = made;
      }
    }
  }
  Layout.SortPathTableOrder();
  const auto& order = Layout.IsoDirOrder;
  ASSERT_EQ(order.size(), 1u + 3 + 3 * 3 * 3);
  for (size_t i = 2; i < order.size(); ++i) {
    const TDEntry* a = order[i - 1];
    const TDEntry* b = order[i];
    ASSERT_LE(a->Parent->Number, b->Parent->Number);
    if (a->Parent == b->Parent) {
      EXPECT_LT(a->IsoName, b->IsoName);
    }
    EXPECT_LE(a->Level, b->Level);
  }
}

TEST_F(LayoutTest, PathTableOrderComparesParentNumbersNumerically) {
  // 10,050 directories: parent numbers above 9,999 must sort after 9,999,
  // not between 1 and 2 as text would.
  std::vector<TDEntry*> tops;
  for (int i = 0; i < 10000; ++i)
    tops.push_back(burner.AddDirByName(burner.RootDir(), Format("D%05d", i), 0x10));
  for (int i = 0; i < 50; ++i)
    ASSERT_NE(burner.AddDirByName(tops[9999 - i], "CHILD", 0x10), nullptr);
  Layout.SortPathTableOrder();
  const auto& order = Layout.IsoDirOrder;
  ASSERT_EQ(order.size(), 10051u);
  EXPECT_EQ(order[1]->IsoName, "D00000");
  EXPECT_EQ(order[10000]->IsoName, "D09999");
  EXPECT_EQ(order[10001]->Parent->Number, 9952);
  EXPECT_EQ(order[10050]->Parent->Number, 10001);
  for (size_t i = 10002; i < order.size(); ++i)
    EXPECT_LT(order[i - 1]->Parent->Number, order[i]->Parent->Number);
}

TEST_F(LayoutTest, PathTableOrderOfARootAloneOrOneDirectory) {
  Layout.SortPathTableOrder();
  EXPECT_EQ(OrderOfPaths(), std::vector<std::string>{"\\"});
  burner.ForceDirectory("\\ONLY");
  Layout.SortPathTableOrder();
  EXPECT_EQ(OrderOfPaths(), (std::vector<std::string>{"\\", "\\ONLY"}));
}

} // namespace
} // namespace qnzb::test
