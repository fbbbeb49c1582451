// Listings and files through the Windows calls: the volume's own 8.3 names,
// attributes, 100 ns file times, sizes past 4 GiB and the system's error texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/FileFind.h"
#include "platform/FileIO.h"
#include "support/TempDir.h"

namespace qnzb::platform {
namespace {

const TListing* Find(const std::vector<TListing>& items, const std::string& name) {
  const auto it = std::find_if(items.begin(), items.end(), [&](const TListing& i) { return i.Name == name; });
  return it == items.end() ? nullptr : &*it;
}

TEST(WinFiles, LongNamesGetDistinctShortNamesThatOpenTheSameFile) {
  test::TempDir dir;
  const char* longNames[] = {"My Long Diary.txt", "My Long Document.txt", "foo.tar.gz", "name with spaces"};
  for (const char* name : longNames)
    dir.write(name, name);
  dir.write("SHORT.TXT", "s");
  const std::vector<TListing> items = FindFiles(dir.path() + "/*.*", faAnyFile);
  std::set<std::string> aliases;
  for (const char* name : longNames) {
    const TListing* item = Find(items, name);
    ASSERT_NE(item, nullptr) << name;
    EXPECT_TRUE(IsValidShortName(item->AlternateName)) << name << " -> " << item->AlternateName;
    EXPECT_TRUE(aliases.insert(item->AlternateName).second) << item->AlternateName;
    // The alias names the file itself, and a mask matches the long name.
    const TFileHandle file = FileOpen(dir.path() + "/" + item->AlternateName, TFileAccess::Read);
    ASSERT_NE(file, InvalidFileHandle) << item->AlternateName;
    char text[32] = {};
    EXPECT_EQ(FileRead(file, text, sizeof text - 1), static_cast<int32_t>(std::string(name).size()));
    EXPECT_EQ(std::string(text), name);
    FileClose(file);
  }
  const TListing* plain = Find(items, "SHORT.TXT");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->AlternateName, "");
  EXPECT_EQ(FindFiles(dir.path() + "/my long d*.TXT", faAnyFile).size(), 2u);
}

TEST(WinFiles, AttributesAreReportedAndFilteredAsFindFirstDoes) {
  test::TempDir dir;
  const std::string locked = dir.write("locked.txt", "x");
  dir.write(".hidden", "x");  // a dot file is hidden on a Unix volume under Wine
  dir.mkdir("sub");
  ASSERT_TRUE(ApplyFileAttributes(locked, faReadOnly));
  EXPECT_NE(FileAttributesOf(locked) & faReadOnly, 0);

  const std::vector<TListing> all = FindFiles(dir.path() + "/*", faAnyFile);
  ASSERT_NE(Find(all, "locked.txt"), nullptr);
  EXPECT_NE(Find(all, "locked.txt")->Attr & faReadOnly, 0);
  ASSERT_NE(Find(all, "sub"), nullptr);
  EXPECT_NE(Find(all, "sub")->Attr & faDirectory, 0);
  const TListing* hidden = Find(all, ".hidden");
  const std::vector<TListing> plain = FindFiles(dir.path() + "/*", faReadOnly | faArchive);
  EXPECT_NE(Find(plain, "locked.txt"), nullptr);
  EXPECT_EQ(Find(plain, "sub"), nullptr);
  if (hidden && (hidden->Attr & faHidden)) {
    EXPECT_EQ(Find(plain, ".hidden"), nullptr);
  }

  ASSERT_TRUE(ApplyFileAttributes(locked, 0));
  EXPECT_EQ(FileAttributesOf(locked) & faReadOnly, 0);
  EXPECT_EQ(FileAttributesOf(dir.path() + "/missing"), -1);
}

TEST(WinFiles, WriteTimesKeep100NanosecondStepsAndSizesPass4GiB) {
  test::TempDir dir;
  const std::string file = dir.write("t.bin", "");
  ASSERT_TRUE(SetFileWriteTime(file, 1700000000, 987654321));
  std::vector<TListing> items = FindFiles(file, faAnyFile);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].WriteTimeSec, 1700000000);
  EXPECT_EQ(items[0].WriteTimeNsec, 987654300);  // FILETIME counts 100 ns
  ASSERT_TRUE(SetFileWriteTime(file, -86400, 0));  // before 1970
  EXPECT_EQ(FindFiles(file, faAnyFile)[0].WriteTimeSec, -86400);

  const int64_t size = (int64_t{5} << 30) + 3;
  const TFileHandle out = FileOpen(file, TFileAccess::ReadWrite);
  ASSERT_NE(out, InvalidFileHandle);
  ASSERT_TRUE(FileWriteAt(out, size - 3, "end", 3));
  EXPECT_EQ(FileSeek(out, 0, 2), size);
  char back[3] = {};
  EXPECT_EQ(FileReadAt(out, size - 3, back, 3), 3);
  EXPECT_EQ(std::string(back, 3), "end");
  FileClose(out);
  items = FindFiles(file, faAnyFile);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].SizeHigh, 1u);
  EXPECT_EQ(items[0].Size(), size);
}

TEST(WinFiles, FailuresCarryTheSystemsText) {
  test::TempDir dir;
  EXPECT_EQ(FileOpen(dir.path() + "/missing.txt", TFileAccess::Read), InvalidFileHandle);
  const std::string missing = LastErrorText();
  EXPECT_FALSE(missing.empty());
  EXPECT_NE(missing.back(), '\n');
  EXPECT_EQ(FileOpen(dir.path(), TFileAccess::Read), InvalidFileHandle);  // a folder is not a file
  EXPECT_FALSE(ApplyFileAttributes(dir.path() + "/missing.txt", faReadOnly));
  EXPECT_TRUE(FindFiles(dir.path() + "/nowhere/*.*", faAnyFile).empty());
}

} // namespace
} // namespace qnzb::platform
