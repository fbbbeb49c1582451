// Folder listings on real temporary trees: order, masks, aliases, attributes,
// attribute filtering, the archive mark, links and special files.

#include <gtest/gtest.h>

#include <sys/stat.h>
#if !defined(_WIN32)
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include "platform/FileFind.h"
#include "platform/FileIO.h"
#include "support/TempDir.h"
#include "PlatformTestSupport.h"

namespace qnzb::platform {
namespace {

using test::TempDir;

std::vector<std::string> Names(const std::vector<TListing>& items) {
  std::vector<std::string> names;
  for (const auto& item : items)
    names.push_back(item.Name);
  return names;
}

const TListing* Find(const std::vector<TListing>& items, const std::string& name) {
  for (const auto& item : items)
    if (item.Name == name)
      return &item;
  return nullptr;
}

#if !defined(_WIN32)
bool HasUserXattrs(const std::string& file) {
  if (::setxattr(file.c_str(), "user.qnzb.probe", "1", 1, 0) != 0)
    return false;
  return ::removexattr(file.c_str(), "user.qnzb.probe") == 0;
}
#endif

#if !defined(_WIN32)
TEST(FileFind, DotEntriesFirstThenSortedCaseInsensitively) {
  TempDir dir;
  for (const char* name : {"b.txt", "a.TXT", "A.txt", "_x", "noext", "C.dat"})
    dir.write(name, "x");
  dir.mkdir("sub");
  const auto items = FindFiles(dir.at("*.*"), faAnyFile);
  const std::vector<std::string> expected = {".", "..", "A.txt", "a.TXT", "b.txt", "C.dat", "noext", "sub", "_x"};
  EXPECT_EQ(Names(items), expected);
  EXPECT_EQ(items[0].Attr & faDirectory, faDirectory);
  EXPECT_EQ(items[1].Attr & faDirectory, faDirectory);
}
#endif

TEST(FileFind, RootHasNoDotEntries) {
  const auto items = FindFiles("/*", faAnyFile);
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(Find(items, "."), nullptr);
  EXPECT_EQ(Find(items, ".."), nullptr);
}

TEST(FileFind, MasksSelectLikeFindFirst) {
  TempDir dir;
  for (const char* name : {"a.txt", "B.TxT", "c.txt.bak", "noext", "ab.txt", "file.txt"})
    dir.write(name, "x");
  const struct {
    const char* mask;
    std::vector<std::string> names;
  } rows[] = {
      {"*.TXT", {"a.txt", "ab.txt", "B.TxT", "file.txt"}},
      {"?.txt", {"a.txt", "B.TxT"}},
      {"FILE.TXT", {"file.txt"}},
      {"*.bak", {"c.txt.bak"}},
      {"no*", {"noext"}},
      {"zzz*", {}},
  };
  for (const auto& row : rows)
    EXPECT_EQ(Names(FindFiles(dir.at(row.mask), faAnyFile)), row.names) << row.mask;
  EXPECT_EQ(FindFiles(dir.at("*.*"), faAnyFile).size(), 6u + 2u);
}

TEST(FileFind, MissingOrUnusableFoldersGiveEmptyLists) {
  TempDir dir;
  const std::string file = dir.write("file.txt", "x");
  EXPECT_TRUE(FindFiles(dir.at("missing/*.*"), faAnyFile).empty());
  EXPECT_TRUE(FindFiles(file + "/*.*", faAnyFile).empty());
  EXPECT_TRUE(FindFiles(dir.path() + "/", faAnyFile).empty());
  EXPECT_TRUE(FindFiles("", faAnyFile).empty());
}

#if !defined(_WIN32)
TEST(FileFind, AliasesAreNumberedPerFolderAndStableUnderAnyMask) {
  TempDir dir;
  for (const char* name : {"My Long Document.txt", "My Long Diary.txt", "mylong~2.txt", "readme.txt", "foo.tar.gz"})
    dir.write(name, "x");
  const auto all = FindFiles(dir.at("*.*"), faAnyFile);
  const struct {
    const char* name;
    const char* alias;
  } rows[] = {
      {"My Long Diary.txt", "MYLONG~1.TXT"},  // sorted first, takes the first free number
      {"My Long Document.txt", "MYLONG~3.TXT"},
      {"mylong~2.txt", ""},
      {"readme.txt", ""},
      {"foo.tar.gz", "FOOTAR~1.GZ"},
  };
  for (const auto& row : rows) {
    const TListing* item = Find(all, row.name);
    ASSERT_NE(item, nullptr) << row.name;
    EXPECT_EQ(item->AlternateName, row.alias) << row.name;
    const auto single = FindFiles(dir.at(row.name), faAnyFile);
    ASSERT_EQ(single.size(), 1u) << row.name;
    EXPECT_EQ(single[0].AlternateName, row.alias) << row.name;
  }
  const auto masked = FindFiles(dir.at("My Long Doc*"), faAnyFile);
  ASSERT_EQ(masked.size(), 1u);
  EXPECT_EQ(masked[0].AlternateName, "MYLONG~3.TXT");
}
#endif

#if !defined(_WIN32)
TEST(FileFind, AttributesAndAttrMaskFiltering) {
  TempDir dir;
  dir.write("plain.txt", "x");
  dir.write(".hidden", "x");
  const std::string ro = dir.write("locked.txt", "x");
  ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
  dir.mkdir("folder");
  dir.mkdir(".hfolder");

  const auto all = FindFiles(dir.at("*.*"), faAnyFile);
  const struct {
    const char* name;
    int32_t bits;  // compared without the archive bit
  } attrs[] = {
      {"plain.txt", 0},         {".hidden", faHidden},
      {"locked.txt", faReadOnly}, {"folder", faDirectory},
      {".hfolder", faDirectory | faHidden},
  };
  for (const auto& row : attrs) {
    const TListing* item = Find(all, row.name);
    ASSERT_NE(item, nullptr) << row.name;
    EXPECT_EQ(item->Attr & ~faArchive, row.bits) << row.name;
    EXPECT_EQ(item->Attr & faArchive, (item->Attr & faDirectory) ? 0 : faArchive) << row.name;
  }

  const struct {
    int32_t mask;
    std::vector<std::string> names;
  } filters[] = {
      {0, {"locked.txt", "plain.txt"}},
      {faReadOnly | faArchive, {"locked.txt", "plain.txt"}},
      {faHidden, {".hidden", "locked.txt", "plain.txt"}},
      {faDirectory, {".", "..", "folder", "locked.txt", "plain.txt"}},
      {faDirectory | faHidden, {".", "..", ".hfolder", ".hidden", "folder", "locked.txt", "plain.txt"}},
  };
  for (const auto& row : filters)
    EXPECT_EQ(Names(FindFiles(dir.at("*.*"), row.mask)), row.names) << "mask " << row.mask;
}
#endif

#if !defined(_WIN32)
TEST(FileFind, SizesAndWriteTimes) {
  TempDir dir;
  dir.writeSparse("big.bin", 5LL << 30);
  const std::string small = dir.writePattern("small.bin", 1234);
  ASSERT_TRUE(SetFileWriteTime(small, 1234567890, 987654321));
  dir.mkdir("folder");

  const auto items = FindFiles(dir.at("*.bin"), faAnyFile);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].SizeHigh, 1u);
  EXPECT_EQ(items[0].SizeLow, 1073741824u);
  EXPECT_EQ(items[0].Size(), 5LL << 30);
  EXPECT_EQ(items[1].Size(), 1234);
  EXPECT_EQ(items[1].WriteTimeSec, 1234567890);
  EXPECT_EQ(items[1].WriteTimeNsec, 987654321);
  const auto folder = FindFiles(dir.at("folder"), faDirectory);
  ASSERT_EQ(folder.size(), 1u);
  EXPECT_EQ(folder[0].Size(), 0);
}
#endif

#if !defined(_WIN32)
TEST(FileFind, ArchiveBitRoundTrip) {
  TempDir dir;
  const std::string file = dir.write("data.txt", "x");
  if (!HasUserXattrs(file))
    GTEST_SKIP() << "the temporary file system keeps no user extended attributes";
  const auto attrOf = [&] {
    const auto items = FindFiles(file, faAnyFile);
    return items.size() == 1 ? items[0].Attr : -1;
  };
  EXPECT_EQ(attrOf(), faArchive);

  ASSERT_TRUE(ApplyFileAttributes(file, 0));
  EXPECT_EQ(attrOf(), 0);
  EXPECT_EQ(FileAttributesOf(file), 0);
  // Not asked for, the mark is not read: the file counts as changed.
  EXPECT_EQ(FindFiles(file, faAnyFile & ~faArchive).at(0).Attr, faArchive);

  // A new modification time means the file changed since it was archived.
  ASSERT_TRUE(SetFileWriteTime(file, 1600000000, 1));
  EXPECT_EQ(attrOf(), faArchive);

  ASSERT_TRUE(ApplyFileAttributes(file, 0));
  ASSERT_TRUE(ApplyFileAttributes(file, faArchive));
  EXPECT_EQ(attrOf(), faArchive);

  // Read-only and archived at once, and back.
  ASSERT_TRUE(ApplyFileAttributes(file, faReadOnly));
  EXPECT_EQ(attrOf(), faReadOnly);
  ASSERT_TRUE(ApplyFileAttributes(file, faReadOnly | faArchive));
  EXPECT_EQ(attrOf(), faReadOnly | faArchive);
  ASSERT_TRUE(ApplyFileAttributes(file, 0));
  EXPECT_EQ(attrOf(), 0);

  // The mark is plain text other tools can write: seconds, nine-digit nanoseconds.
  ASSERT_TRUE(SetFileWriteTime(file, 1600000000, 5));
  const std::string mark = "1600000000.000000005";
  ASSERT_EQ(::setxattr(file.c_str(), "user.qnzb.archived", mark.data(), mark.size(), 0), 0);
  EXPECT_EQ(attrOf(), 0);
  ASSERT_EQ(::setxattr(file.c_str(), "user.qnzb.archived", "1600000000.000000006", mark.size(), 0), 0);
  EXPECT_EQ(attrOf(), faArchive);
}
#endif

#if !defined(_WIN32)
TEST(FileFind, LinksAreFollowedBrokenOnesAndLoopsSkippedWithALogLine) {
  TempDir dir;
  dir.writePattern("target.bin", 300);
  dir.mkdir("sub/deeper");
  dir.write("sub/inside.txt", "x");
  ASSERT_EQ(::symlink("target.bin", dir.at("tolink").c_str()), 0);
  ASSERT_EQ(::symlink("sub", dir.at("subLink").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.at("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("cycleB", dir.at("cycleA").c_str()), 0);
  ASSERT_EQ(::symlink("cycleA", dir.at("cycleB").c_str()), 0);
  ASSERT_EQ(::symlink(".", dir.at("self").c_str()), 0);
  ASSERT_EQ(::symlink("../..", dir.at("sub/deeper/up").c_str()), 0);

  test::TScopedPlatformLog log;
  const auto items = FindFiles(dir.at("*.*"), faAnyFile);
  EXPECT_EQ(Names(items), (std::vector<std::string>{".", "..", "sub", "subLink", "target.bin", "tolink"}));
  const TListing* linked = Find(items, "tolink");
  ASSERT_NE(linked, nullptr);
  EXPECT_EQ(linked->Size(), 300);
  EXPECT_EQ(Find(items, "subLink")->Attr & faDirectory, faDirectory);
  for (const char* skipped : {"dangling", "cycleA", "cycleB", "self"})
    EXPECT_TRUE(log.mentions(dir.at(skipped))) << skipped;

  EXPECT_EQ(Names(FindFiles(dir.at("sub/deeper/*"), faAnyFile)), (std::vector<std::string>{".", ".."}));
  EXPECT_TRUE(log.mentions(dir.at("sub/deeper/up")));
}
#endif

#if !defined(_WIN32)
TEST(FileFind, SpecialFilesAreSkippedWithALogLine) {
  TempDir dir;
  dir.write("file.txt", "x");
  ASSERT_EQ(::mkfifo(dir.at("pipe").c_str(), 0644), 0);
  test::TScopedPlatformLog log;
  EXPECT_EQ(Names(FindFiles(dir.at("*"), 0)), std::vector<std::string>{"file.txt"});
  EXPECT_TRUE(log.mentions(dir.at("pipe")));
}
#endif

} // namespace
} // namespace qnzb::platform
