// The 64-bit file streams, on sparse files beyond 4 GiB.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "engine/recording/qnStreamEx.h"
#include "support/TempDir.h"

namespace qnzb::test {
namespace {

constexpr int64_t FiveGB = 5368709120;

TEST(StreamEx, SizeOfALargeFileKeepsThePosition) {
  TempDir tmp;
  const std::string path = tmp.writeSparse("big.bin", FiveGB);
  TFileStreamEx stream(path, fmEngineRead);
  EXPECT_EQ(stream.Seek(4294967296 + 12345, soFromBeginning), 4294967296 + 12345);
  EXPECT_EQ(stream.Size(), FiveGB);
  EXPECT_EQ(stream.Seek(0, soFromCurrent), 4294967296 + 12345);
}

TEST(StreamEx, ReadsAndWritesBeyondFourGiB) {
  TempDir tmp;
  const std::string path = tmp.writeSparse("big.bin", FiveGB);
  {
    TFileStreamEx stream(path, fmOpenReadWrite);
    ASSERT_EQ(stream.Seek(3000000000, soFromBeginning), 3000000000);
    ASSERT_EQ(stream.Write("marker", 6), 6);
    ASSERT_EQ(stream.Seek(-6, soFromEnd), FiveGB - 6);
    ASSERT_EQ(stream.Write("tail!!", 6), 6);
  }
  TFileStreamEx stream(path, fmEngineRead);
  char buf[8] = {};
  ASSERT_EQ(stream.Seek(3000000000, soFromBeginning), 3000000000);
  ASSERT_EQ(stream.Read(buf, 6), 6);
  EXPECT_EQ(std::string(buf, 6), "marker");
  EXPECT_EQ(stream.Seek(-6, soFromCurrent), 3000000000);
  EXPECT_EQ(stream.Seek(FiveGB - 6, soFromBeginning), FiveGB - 6);
  ASSERT_EQ(stream.Read(buf, 8), 6);  // short read at the end
  EXPECT_EQ(std::string(buf, 6), "tail!!");
  EXPECT_EQ(stream.Read(buf, 8), 0);
  EXPECT_EQ(stream.Read(buf, 0), 0);
  EXPECT_THROW((void)stream.Read(buf, -1), std::out_of_range);
}

TEST(StreamEx, CreateEmptiesAnExistingFile) {
  TempDir tmp;
  const std::string path = tmp.write("f.bin", "old content");
  {
    TFileStreamEx stream(path, fmCreate);
    EXPECT_EQ(stream.Size(), 0);
    EXPECT_EQ(stream.Write("new", 3), 3);
    stream.Seek(0, soFromBeginning);
    char buf[3];
    EXPECT_EQ(stream.Read(buf, 3), 3);  // created streams read too
  }
  EXPECT_EQ(readFile(path), "new");
}

TEST(StreamEx, SetSizeCutsAndExtends) {
  TempDir tmp;
  const std::string path = tmp.write("f.bin", "0123456789");
  TFileStreamEx stream(path, fmOpenReadWrite);
  stream.SetSize(4);
  EXPECT_EQ(stream.Size(), 4);
  stream.SetSize(FiveGB);
  EXPECT_EQ(stream.Size(), FiveGB);
  TFileStreamEx reader(path, fmEngineRead);
  EXPECT_THROW(reader.SetSize(2), std::runtime_error);  // read-only handle refuses the cut
}

TEST(StreamEx, OpenFailuresThrowAndModesAreChecked) {
  TempDir tmp;
  EXPECT_THROW(TFileStreamEx(tmp.at("missing.bin"), fmEngineRead), EFOpenError);
  EXPECT_THROW(TFileStreamEx(tmp.at("no/such/dir/f.bin"), fmCreate), EFOpenError);
  const std::string path = tmp.write("f.bin", "x");
  for (uint16_t mode : {uint16_t{0x0003}, uint16_t{0x0050}, uint16_t{0x00F0}, uint16_t{0x0100}})
    EXPECT_THROW(TFileStreamEx(path, mode), EFOpenError) << mode;
  for (uint16_t mode : {fmOpenRead, fmOpenWrite, fmOpenReadWrite, fmShareExclusive, fmShareDenyWrite,
                        fmShareDenyRead, fmShareDenyNone})
    EXPECT_NO_THROW(TFileStreamEx(path, mode)) << mode;
  try {
    TFileStreamEx missing(tmp.at("missing.bin"), fmEngineRead);
  } catch (const EFOpenError& e) {
    EXPECT_NE(std::strstr(e.what(), "missing.bin"), nullptr);
  }
}

TEST(StreamEx, WriteOnlyStreamsCannotRead) {
  TempDir tmp;
  const std::string path = tmp.write("f.bin", "abc");
  TFileStreamEx stream(path, fmOpenWrite);
  char buf[3];
  EXPECT_EQ(stream.Read(buf, 3), 0);
  EXPECT_EQ(stream.ReadChecked(buf, 3), -1);
}

} // namespace
} // namespace qnzb::test
