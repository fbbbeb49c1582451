// File access through handles, 64-bit positions, error reporting, attributes,
// file times and folder helpers.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/FileFind.h"
#include "platform/FileIO.h"
#include "support/TempDir.h"
#include "PlatformTestSupport.h"

namespace qnzb::platform {
namespace {

using test::TempDir;

constexpr int64_t GiB = 1LL << 30;

#if !defined(_WIN32)
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
#endif

TEST(FileIO, CreateWriteSeekReadRoundTrip) {
  TempDir dir;
  const std::string path = dir.at("data.bin");
  const TFileHandle h = FileCreate(path);
  ASSERT_NE(h, InvalidFileHandle);
  EXPECT_EQ(FileWrite(h, "hello world", 11), 11);
  EXPECT_EQ(FileSeek(h, 6, 0), 6);
  char buf[16] = {};
  EXPECT_EQ(FileRead(h, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(FileRead(h, buf, 5), 0);  // end of file
  EXPECT_EQ(FileReadChecked(h, buf, 5), 0);
  EXPECT_EQ(FileSeek(h, -5, 2), 6);
  EXPECT_EQ(FileSeek(h, -1, 1), 5);
  EXPECT_EQ(FileRead(h, buf, 16), 6);  // a short read only at the end
  EXPECT_EQ(std::string(buf, 6), " world");
  FileClose(h);

  // Creating again truncates.
  const TFileHandle again = FileCreate(path);
  ASSERT_NE(again, InvalidFileHandle);
  FileClose(again);
  EXPECT_EQ(test::readFile(path), "");
}

#if !defined(_WIN32)
TEST(FileIO, AccessModesAreEnforced) {
  TempDir dir;
  const std::string path = dir.write("file.txt", "abc");
  char buf[4] = {};
  const TFileHandle r = FileOpen(path, TFileAccess::Read);
  ASSERT_NE(r, InvalidFileHandle);
  EXPECT_EQ(FileWrite(r, "x", 1), 0);
  EXPECT_EQ(FileRead(r, buf, 3), 3);
  FileClose(r);

  const TFileHandle w = FileOpen(path, TFileAccess::Write);
  ASSERT_NE(w, InvalidFileHandle);
  EXPECT_EQ(FileReadChecked(w, buf, 1), -1);
  EXPECT_EQ(FileWrite(w, "X", 1), 1);
  FileClose(w);
  EXPECT_EQ(test::readFile(path), "Xbc");

  EXPECT_EQ(FileOpen(dir.at("missing"), TFileAccess::Read), InvalidFileHandle);
  EXPECT_EQ(LastErrorText(), std::strerror(ENOENT));
}
#endif

#if !defined(_WIN32)
TEST(FileIO, FailuresAreToldApartFromTheEnd) {
  TempDir dir;
  char buf[8] = {};
  const TFileHandle folder = FileOpen(dir.path(), TFileAccess::Read);
  ASSERT_NE(folder, InvalidFileHandle);
  EXPECT_EQ(FileReadChecked(folder, buf, 8), -1);
  EXPECT_EQ(LastErrorText(), std::strerror(EISDIR));
  EXPECT_EQ(FileRead(folder, buf, 8), 0);
  FileClose(folder);

  const TFileHandle closed = FileOpen(dir.write("f", "data"), TFileAccess::Read);
  ASSERT_NE(closed, InvalidFileHandle);
  FileClose(closed);
  for (const TFileHandle bad : {closed, InvalidFileHandle, TFileHandle{1} << 40}) {
    EXPECT_EQ(FileReadChecked(bad, buf, 8), -1);
    EXPECT_EQ(FileRead(bad, buf, 8), 0);
    EXPECT_EQ(FileWrite(bad, buf, 8), 0);
    EXPECT_EQ(FileSeek(bad, 0, 0), -1);
    EXPECT_FALSE(FileTruncateHere(bad));
  }
  const TFileHandle h = FileOpen(dir.at("f"), TFileAccess::Read);
  ASSERT_NE(h, InvalidFileHandle);
  EXPECT_EQ(FileReadChecked(h, buf, -1), -1);
  EXPECT_EQ(FileSeek(h, 0, 3), -1);
  EXPECT_EQ(FileSeek(h, -1, 0), -1);
  EXPECT_EQ(FileSeek(h, 0, 1), 0);  // a failed seek leaves the position
  FileClose(h);
}
#endif

#if !defined(_WIN32)
TEST(FileIO, OpeningAFifoWithoutWriterDoesNotBlock) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.at("pipe").c_str(), 0644), 0);
  const TFileHandle h = FileOpen(dir.at("pipe"), TFileAccess::Read);
  ASSERT_NE(h, InvalidFileHandle);
  char buf[4];
  EXPECT_EQ(FileReadChecked(h, buf, 4), 0);
  FileClose(h);
}
#endif

TEST(FileIO, PositionsBeyondFourGiB) {
  TempDir dir;
  const std::string path = dir.writeSparse("big.bin", 5 * GiB);
  const int64_t at = 4 * GiB + 12345;
  const TFileHandle w = FileOpen(path, TFileAccess::ReadWrite);
  ASSERT_NE(w, InvalidFileHandle);
  EXPECT_EQ(FileSeek(w, 0, 2), 5 * GiB);
  EXPECT_EQ(FileSeek(w, at, 0), at);
  EXPECT_EQ(FileWrite(w, "marker", 6), 6);
  EXPECT_EQ(FileSeek(w, 0, 1), at + 6);
  FileClose(w);

  const TFileHandle r = FileOpen(path, TFileAccess::Read);
  ASSERT_NE(r, InvalidFileHandle);
  char buf[10] = {};
  EXPECT_EQ(FileSeek(r, at - 2, 0), at - 2);
  EXPECT_EQ(FileRead(r, buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), std::string("\0\0marker\0\0", 10));
  FileClose(r);
}

TEST(FileIO, TruncateHereCutsAndExtends) {
  TempDir dir;
  const std::string path = dir.writePattern("f.bin", 100);
  const TFileHandle h = FileOpen(path, TFileAccess::ReadWrite);
  ASSERT_NE(h, InvalidFileHandle);
  ASSERT_EQ(FileSeek(h, 10, 0), 10);
  EXPECT_TRUE(FileTruncateHere(h));
  EXPECT_EQ(FileSeek(h, 0, 2), 10);
  ASSERT_EQ(FileSeek(h, 5 * GiB, 0), 5 * GiB);
  EXPECT_TRUE(FileTruncateHere(h));
  EXPECT_EQ(FileSeek(h, 0, 2), 5 * GiB);
  FileClose(h);
}

TEST(FileIO, ExistenceChecks) {
  TempDir dir;
  const std::string file = dir.write("f.txt", "x");
  const std::string folder = dir.mkdir("d");
  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(FileExists(folder));
  EXPECT_FALSE(FileExists(dir.at("none")));
  EXPECT_TRUE(DirectoryExists(folder));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_FALSE(DirectoryExists(""));
  EXPECT_EQ(FileAttributesOf(dir.at("none")), -1);
}

TEST(FileIO, AttributesOfPaths) {
  TempDir dir;
  const struct {
    std::string path;
    int32_t bits;  // without the archive bit
  } rows[] = {
      {dir.write("plain", "x"), 0},
      {dir.write(".hidden", "x"), faHidden},
      {dir.mkdir("folder"), faDirectory},
      {dir.mkdir(".hfolder") + "/", faDirectory | faHidden},
      {dir.at("folder/."), faDirectory},
      {"/", faDirectory},
  };
  for (const auto& row : rows) {
    const int32_t attr = FileAttributesOf(row.path);
    EXPECT_EQ(attr & ~faArchive, row.bits) << row.path;
    EXPECT_EQ(attr & faArchive, (attr & faDirectory) ? 0 : faArchive) << row.path;
  }
}

#if !defined(_WIN32)
TEST(FileIO, ReadOnlyBitTogglesWritePermission) {
  TempDir dir;
  const std::string file = dir.write("f", "x");
  ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
  ASSERT_TRUE(ApplyFileAttributes(file, faReadOnly | faArchive));
  EXPECT_EQ(ModeOf(file), 0444u);
  EXPECT_EQ(FileAttributesOf(file) & faReadOnly, faReadOnly);
  ASSERT_TRUE(ApplyFileAttributes(file, faArchive));
  EXPECT_EQ(ModeOf(file), 0644u);
  // Writable stays as it was: no permission is added or taken.
  ASSERT_EQ(::chmod(file.c_str(), 0620), 0);
  ASSERT_TRUE(ApplyFileAttributes(file, faArchive));
  EXPECT_EQ(ModeOf(file), 0620u);

  const std::string folder = dir.mkdir("d");
  ASSERT_TRUE(ApplyFileAttributes(folder, faReadOnly));
  EXPECT_EQ(FileAttributesOf(folder), faDirectory | faReadOnly);
  ASSERT_TRUE(ApplyFileAttributes(folder, 0));
  EXPECT_EQ(FileAttributesOf(folder), faDirectory);
}
#endif

#if !defined(_WIN32)
TEST(FileIO, SetAttributesOnAMissingFileFailsWithALogLine) {
  TempDir dir;
  test::TScopedPlatformLog log;
  EXPECT_FALSE(ApplyFileAttributes(dir.at("missing"), 0));
  EXPECT_EQ(LastErrorText(), std::strerror(ENOENT));
  EXPECT_TRUE(log.mentions(dir.at("missing")));
}
#endif

#if !defined(_WIN32)
TEST(FileIO, WriteTimeRoundTrips) {
  TempDir dir;
  const std::string file = dir.write("f", "x");
  const struct {
    int64_t sec;
    int32_t nsec;
  } rows[] = {{1234567890, 0}, {1700000000, 999999999}, {-86400, 500}, {4102444800, 1}};
  for (const auto& row : rows) {
    ASSERT_TRUE(SetFileWriteTime(file, row.sec, row.nsec));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, row.sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, row.nsec);
  }
  EXPECT_FALSE(SetFileWriteTime(file, 0, 1000000000));
  EXPECT_FALSE(SetFileWriteTime(file, 0, -1));
  EXPECT_FALSE(SetFileWriteTime(dir.at("missing"), 0, 0));
}
#endif

TEST(FileIO, ForceDirectoriesAndDeleteFile) {
  TempDir dir;
  EXPECT_TRUE(ForceDirectories(dir.at("a/b/c")));
  EXPECT_TRUE(DirectoryExists(dir.at("a/b/c")));
  EXPECT_TRUE(ForceDirectories(dir.at("a/b/c")));  // already there
  EXPECT_TRUE(ForceDirectories(dir.at("x//y/")));
  EXPECT_TRUE(DirectoryExists(dir.at("x/y")));
  const std::string file = dir.write("file", "x");
  EXPECT_FALSE(ForceDirectories(file + "/sub"));
  EXPECT_FALSE(ForceDirectories(file));
  EXPECT_FALSE(ForceDirectories(""));

  EXPECT_TRUE(RemoveFile(file));
  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(RemoveFile(file));
  EXPECT_FALSE(RemoveFile(dir.at("a")));
  EXPECT_TRUE(DirectoryExists(dir.at("a")));
}

} // namespace
} // namespace qnzb::platform
