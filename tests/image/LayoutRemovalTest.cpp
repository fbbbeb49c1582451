// Removing from the layout tree and the capacity limits of its tables.

#include <algorithm>

#include "engine/image/qnISOLib.h"
#include "image/LayoutFixture.h"

namespace qnzb::test {
namespace {

template <typename T>
bool Holds(const std::vector<T*>& table, const T* node) {
  return std::find(table.begin(), table.end(), node) != table.end();
}

class LayoutRemovalTest : public LayoutTest {
protected:
  void SetUp() override {
    tmp.write("src/keep.txt", "k");
    tmp.write("src/a/one.txt", "1");
    tmp.write("src/a/b/two.txt", "2");
    tmp.write("src/a/b/c/three.txt", "3");
    tmp.write("src/z/four.txt", "4");
    ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
    ASSERT_EQ(burner.DirectoryCount(), 4);
    ASSERT_EQ(burner.EntryCount(), 9);
  }
};

TEST_F(LayoutRemovalTest, RootIsNeverRemoved) {
  TDEntry* root = burner.RootDir();
  EXPECT_FALSE(burner.RemoveDirectory(root));
  EXPECT_EQ(root, burner.RootDir());
  EXPECT_EQ(burner.EntryCount(), 9);
}

TEST_F(LayoutRemovalTest, RemovingADirectoryTakesItsSubtreeOutOfAllFourTables) {
  TDEntry* a = burner.FindDirectory("\\A");
  TDEntry* b = burner.FindDirectory("\\A\\B");
  TDEntry* c = burner.FindDirectory("\\A\\B\\C");
  TFEntry* three = burner.FindEntry(c, "three.txt");
  const int64_t total = burner.TotalBytes;
  TDEntry* victim = b;
  EXPECT_TRUE(burner.RemoveDirectory(victim));
  EXPECT_EQ(victim, nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 2);
  EXPECT_EQ(burner.EntryCount(), 5);  // keep, a, one, z, four
  for (const auto* table : {&Layout.DirTable, &Layout.IsoDirOrder, &Layout.JolietDirOrder}) {
    EXPECT_EQ(table->size(), 3u);
    EXPECT_FALSE(Holds(*table, b));
    EXPECT_FALSE(Holds(*table, c));
  }
  EXPECT_FALSE(Holds(Layout.FileTable, three));
  EXPECT_EQ(Names(a), std::vector<std::string>{"one.txt"});
  EXPECT_EQ(burner.FindDirectory("\\A\\B"), nullptr);
  EXPECT_EQ(burner.FindDirectory("\\A\\B\\C"), nullptr);
  EXPECT_EQ(burner.TotalBytes, total);  // removals never change the total
  // The same paths can be made again.
  EXPECT_NE(burner.ForceDirectory("\\A\\B\\C"), nullptr);
}

TEST_F(LayoutRemovalTest, RemovalKeepsTheOrderOfWhatStays) {
  std::vector<std::string> before;
  for (const TFEntry* e : Layout.FileTable)
    before.push_back(e->LongName);
  ASSERT_TRUE(burner.RemoveByName("\\A", "ONE.TXT"));
  EXPECT_FALSE(burner.RemoveByName("\\A", "one.txt"));
  EXPECT_FALSE(burner.RemoveByName("\\NOPE", "x"));
  std::vector<std::string> after;
  for (const TFEntry* e : Layout.FileTable)
    after.push_back(e->LongName);
  before.erase(std::find(before.begin(), before.end(), "one.txt"));
  EXPECT_EQ(after, before);
}

TEST_F(LayoutRemovalTest, RemovingTheLastEntryAddedForgetsIt) {
  TFEntry* last = burner.LastEntry;
  ASSERT_NE(last, nullptr);
  ASSERT_EQ(last->LongName, "keep.txt");
  EXPECT_TRUE(burner.RemoveEntry(burner.RootDir(), last));
  EXPECT_EQ(burner.LastEntry, nullptr);
}

TEST_F(LayoutRemovalTest, EmptyDirectoriesGoAgainUntilNoneIsLeft) {
  TDEntry* c = burner.FindDirectory("\\A\\B\\C");
  EXPECT_TRUE(burner.RemoveByName("\\A\\B\\C", "three.txt"));
  EXPECT_TRUE(burner.RemoveByName("\\A\\B", "two.txt"));
  EXPECT_TRUE(burner.RemoveByName("\\Z", "four.txt"));
  EXPECT_NE(burner.ForceDirectory("\\made\\by\\name"), nullptr);
  ASSERT_EQ(c->FirstEntry, nullptr);
  EXPECT_TRUE(burner.RemoveEmptyDirectories());
  // B held only C, so it went too; A keeps one.txt.
  EXPECT_EQ(burner.DirectoryCount(), 1);
  EXPECT_NE(burner.FindDirectory("\\A"), nullptr);
  EXPECT_EQ(Names(burner.FindDirectory("\\A")), std::vector<std::string>{"one.txt"});
  EXPECT_EQ(Names(burner.RootDir()), (std::vector<std::string>{"a", "keep.txt"}));
  EXPECT_EQ(burner.EntryCount(), 3);
}

TEST_F(LayoutRemovalTest, NamesakesStayFindableAfterTheFirstGoes) {
  // A handler can give a second entry the name of an existing one.
  const std::string other = tmp.write("x/other.txt", "o");
  burner.OnAddFile = [](TObject*, const std::string&, std::string& longName, std::string&, TDateTime&, int32_t,
                        int64_t, bool&) { longName = "KEEP.TXT"; };
  ASSERT_EQ(burner.AddFile("\\", other, false), 1);
  TFEntry* first = burner.FindEntry(burner.RootDir(), "keep.txt");
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first->SourcePath(), other);
  EXPECT_TRUE(burner.RemoveEntry(burner.RootDir(), first));
  TFEntry* second = burner.FindEntry(burner.RootDir(), "keep.txt");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->SourcePath(), other);
}

TEST_F(LayoutTest, DirectoryTableCapacityCountsTheRoot) {
  const int maxDirs = 5;
  burner.ResetLayout(100, maxDirs);
  for (int i = 1; i < maxDirs; ++i)
    ASSERT_NE(burner.ForceDirectory("\\d" + std::to_string(i)), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), maxDirs - 1);
  EXPECT_EQ(burner.ForceDirectory("\\one-too-many"), nullptr);
  EXPECT_TRUE(Logged(">>> MAXIMUM DIRECTORIES CAN BE 5", 3));
  EXPECT_EQ(burner.DirectoryCount(), maxDirs - 1);
  EXPECT_EQ(burner.EntryCount(), maxDirs - 1);
}

TEST_F(LayoutTest, FileTableCapacityStopsFilesAndFolders) {
  burner.ResetLayout(3, 100);
  tmp.write("src/sub/x.txt", "x");
  tmp.write("src/a.txt", "a");
  tmp.write("src/b.txt", "b");
  tmp.write("src/c.txt", "c");
  EXPECT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 0);
  EXPECT_EQ(burner.EntryCount(), 3);  // sub, x.txt, a.txt
  EXPECT_TRUE(Logged("MAXIMUM FILES CAN BE 3", 3));
  // A directory needs an entry too: it is refused without leaving a half-made node.
  EXPECT_EQ(burner.ForceDirectory("\\late"), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 1);
}

TEST_F(LayoutTest, DeepTreesStopAtTheLevelLimit) {
  std::string path;
  for (int i = 0; i < 300; ++i)
    path += "\\d";
  EXPECT_EQ(burner.ForceDirectory(path), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 254);  // levels 2 to 255
  std::string refused;
  for (int i = 0; i < 254; ++i)
    refused += "\\D";
  EXPECT_TRUE(Logged(">>> FOLDER TOO DEEP (MORE THAN 255 LEVELS), NOT ADDED: " + refused + "\\d", 4));
  // A path of 100,000 parts neither overflows the stack nor gets deeper.
  std::string huge;
  for (int i = 0; i < 100000; ++i)
    huge += "\\e";
  EXPECT_EQ(burner.ForceDirectory(huge), nullptr);
  EXPECT_EQ(burner.DirectoryCount(), 2 * 254);
}

} // namespace
} // namespace qnzb::test
