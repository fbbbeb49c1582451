// `qnzb-cli burn-iso` sends an image file to the disc byte for byte from its
// first sector: a quick-built image burnt to every kind of blank disc must
// reappear unchanged at the start of the recorder's disc and read back as
// its source tree. Burning an image onto a CD-R that already holds a session is
// refused by the drive (sector 0 is written) and must leave that session as it
// was, the disc still open for another one.
//
// Real-clock runs of the command line; the two media of the first case run
// side by side in threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

TreeContent ImageSource() {
  return {
      {"first.bin", PositionPattern(123457, 11)},
      {"second.txt", PositionPattern(2048, 12)},
      {"folder/third.dat", PositionPattern(65536 * 3 + 1, 13)},
  };
}

std::vector<std::string> BurnImageToBlank(const std::string& medium) {
  std::vector<std::string> problems;
  const BurnSandbox sandbox(medium);
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, ImageSource());
  const std::string image = sandbox.dir().at("image.iso");
  RunResult r = sandbox.Cli({"build-iso", "--quick", "--save-path", "unchecked", image, source});
  if (r.exitCode != 0)
    return {medium + ": build-iso failed: " + r.Describe()};
  r = sandbox.OnDrive({"burn-iso", image});
  if (r.exitCode != 0 || DoneLines(r).size() != 1 || !ErrorLines(r).empty())
    return {medium + ": burn-iso did not end with one success: " + r.Describe()};

  const std::string want = test::readFile(image);
  const std::string got = ReadRange(sandbox.DiscImage(), 0, want.size());
  if (got != want) {
    const auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
    problems.push_back(medium + ": the disc differs from the image (" + std::to_string(got.size()) + " of " +
                       std::to_string(want.size()) + " bytes, first difference in sector " +
                       std::to_string((diff.first - want.begin()) / SectorSize) + ")");
  }
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  if (rows.size() != 1 || rows[0].Start != 0)
    problems.push_back(medium + ": expected one session at 0, " + std::to_string(rows.size()) + " listed");
  for (const std::string& p : sandbox.CheckSession(1, 0, ImageSource(), "burnt"))
    problems.push_back(p);
  return problems;
}

TEST(BurnImage, ImageLandsOnABlankDiscByteForByte) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  // Every blank medium a user may put in; a DVD+RW is formatted by the burn.
  const std::vector<std::string> media = {"cd-r", "cd-rw", "dvd-r", "dvd+r", "dvd+rw", "dvd-rw", "dvd-ram"};
  std::vector<std::future<std::vector<std::string>>> runs;
  for (const std::string& medium : media)
    runs.push_back(std::async(std::launch::async, [medium] { return BurnImageToBlank(medium); }));
  for (auto& run : runs)
    for (const std::string& p : run.get())
      ADD_FAILURE() << p;
}

TEST(BurnImage, ImageOntoAWrittenCdIsRefusedAndTheSessionStays) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  const BurnSandbox sandbox("cd-r");
  const TreeContent first{{"kept.bin", PositionPattern(80000, 21)}, {"kept.txt", PositionPattern(700, 22)}};
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, first);
  RunResult r = sandbox.OnDrive({"burn", "--save-path", "unchecked", source});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  const std::string before = ReadRange(sandbox.DiscImage(), 0, 64 * SectorSize);

  const std::string image = sandbox.dir().at("other.iso");
  const std::string other = sandbox.dir().mkdir("other");
  WriteTree(other, {{"other.bin", PositionPattern(50000, 23)}});
  r = sandbox.Cli({"build-iso", "--quick", "--save-path", "unchecked", image, other});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();

  r = sandbox.OnDrive({"burn-iso", image});
  EXPECT_NE(r.exitCode, 0) << r.Describe();
  EXPECT_EQ(r.signal, 0) << r.Describe();
  EXPECT_EQ(ErrorLines(r),
            std::vector<std::string>{"qnzb-cli: THE DISC ALREADY HOLDS DATA, AND AN IMAGE FILE IS WRITTEN FROM THE "
                                     "FIRST SECTOR: INSERT A BLANK DISC"})
      << r.Describe();
  EXPECT_TRUE(DoneLines(r).empty()) << r.Describe();

  EXPECT_EQ(ReadRange(sandbox.DiscImage(), 0, 64 * SectorSize), before) << "the first session's sectors changed";
  std::vector<std::string> problems;
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Start, 0u);
  for (const std::string& p : sandbox.CheckSession(1, 0, first, "refused"))
    problems.push_back(p);
  const RunResult info = sandbox.OnDrive({"info"});
  EXPECT_NE(info.out.find("Disc is Open"), std::string::npos) << info.Describe();
  for (const std::string& p : problems)
    ADD_FAILURE() << p;
}

} // namespace
} // namespace qnzb::acceptance
