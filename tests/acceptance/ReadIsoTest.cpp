// read-iso and verify-iso on the virtual recorder: a three-session CD-R read
// whole and by session, each session read back from the image by xorriso
// and compared with its sources; a verify of the images, and of a copy with
// one byte changed in a file; a read error that leaves no image behind.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

// The sha256 of the line "sha256 HEX  FILE" that read-iso prints; empty when missing.
std::string PrintedSha(const RunResult& r, const std::string& file) {
  for (const std::string& line : LinesStartingWith(r.out, "sha256 "))
    if (line.size() == 7 + 64 + 2 + file.size() && line.ends_with("  " + file) &&
        line.find_first_not_of("0123456789abcdef", 7) == 7 + 64)
      return line.substr(7, 64);
  return std::string();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class ReadIso : public ::testing::Test {
protected:
  // Burns `sources` as sessions, each carrying the previous one over.
  void BurnSessions(const std::vector<TreeContent>& sources) {
    TreeContent tree;
    for (size_t k = 0; k < sources.size(); ++k) {
      const std::string source = sandbox.dir().mkdir("source" + std::to_string(k + 1));
      WriteTree(source, sources[k]);
      for (const auto& [rel, content] : sources[k])
        tree[rel] = content;
      trees.push_back(tree);
      std::vector<std::string> args{"burn", "-q", "--save-path", "unchecked"};
      if (k > 0)
        args.insert(args.end(), {"--import-session", "-1"});
      args.push_back(source);
      const RunResult r = sandbox.OnDrive(args);
      ASSERT_EQ(r.exitCode, 0) << r.Describe();
    }
    std::vector<std::string> problems;
    sessions = sandbox.Sessions(problems);
    ASSERT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
    ASSERT_EQ(sessions.size(), sources.size());
  }

  // The first sector of `image` that starts with `content`'s first bytes.
  static uint32_t SectorHolding(const std::string& image, const std::string& content) {
    const std::string bytes = ReadRange(image, 0, FileSize(image));
    const size_t at = bytes.find(content.substr(0, 256));
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(at % SectorSize, 0u);
    return static_cast<uint32_t>(at / SectorSize);
  }

  BurnSandbox sandbox{"cd-r"};
  std::vector<TreeContent> trees;  // the whole tree of each session
  std::vector<SessionRow> sessions;
};

TEST_F(ReadIso, WholeDiscAndEachSessionReadBackAndVerify) {
  ASSERT_NO_FATAL_FAILURE(BurnSessions({
      {{"alpha.bin", PositionPattern(300 * 1024 + 17, 1)}, {"docs/guide.txt", PositionPattern(2049, 2)}},
      {{"beta.bin", PositionPattern(70000, 3)}, {"docs/added.txt", PositionPattern(5000, 4)}},
      {{"gamma.bin", PositionPattern(4096, 5)}, {"docs/deep/third.txt", PositionPattern(1, 6)}},
  }));

  // The whole disc: every sector the recorder holds, the gaps between
  // sessions as zeros, and its sha256 as sha256sum would print it.
  const std::string whole = sandbox.dir().at("whole.iso");
  const RunResult r = sandbox.OnDrive({"read-iso", whole});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  const uint64_t bytes = FileSize(whole);
  ASSERT_GT(bytes, uint64_t{sessions.back().Start} * SectorSize);
  EXPECT_TRUE(ReadRange(whole, 0, bytes) == ReadRange(sandbox.DiscImage(), 0, bytes));
  const std::string sha = PrintedSha(r, whole);
  EXPECT_EQ(sha.size(), 64u) << r.out;
  if (HaveTool("sha256sum")) {
    const RunResult s = sandbox.Tool({"sha256sum", whole});
    EXPECT_EQ(s.out.substr(0, 64), sha);
  }

  std::vector<std::string> problems;
  for (size_t k = 0; k < sessions.size(); ++k) {
    const std::string n = std::to_string(k + 1);
    const std::string start = std::to_string(sessions[k].Start);
    // Each session of the whole image, opened at its start by xorriso.
    const std::string out = sandbox.dir().at("whole-session" + n);
    const RunResult x =
        sandbox.Tool({"xorriso", "-load", "sbsector", start, "-indev", whole, "-osirrox", "on", "-extract", "/", out});
    if (x.exitCode != 0)
      problems.push_back("session " + n + " of the whole image: xorriso: " + x.Describe());
    else
      for (const std::string& p : CompareTrees(trees[k], out))
        problems.push_back("session " + n + " of the whole image: " + p);

    // The session alone: the track's sectors, which verify against the disc.
    const std::string image = sandbox.dir().at("session" + n + ".iso");
    const RunResult s = sandbox.OnDrive({"read-iso", image, "--session", n});
    if (s.exitCode != 0 || PrintedSha(s, image).size() != 64) {
      problems.push_back("read-iso --session " + n + ": " + s.Describe());
      continue;
    }
    const uint64_t length = FileSize(image);
    if (ReadRange(image, 0, length) != ReadRange(whole, uint64_t{sessions[k].Start} * SectorSize, length))
      problems.push_back("session " + n + "'s image is not its part of the whole image");
    const RunResult v = sandbox.OnDrive({"verify-iso", image, "--session", n});
    if (v.exitCode != 0 || v.out.find("VERIFY OK: " + std::to_string(length / SectorSize) + " sectors") != 0)
      problems.push_back("verify-iso --session " + n + ": " + v.Describe());
  }
  // A byte changed in session 3's own image is named at its disc address:
  // the image's recorded extents are the session's absolute sectors.
  const std::string third = sandbox.dir().at("session3.iso");
  std::string changedThird = ReadRange(third, 0, FileSize(third));
  const uint32_t gamma = SectorHolding(third, trees[2].at("gamma.bin"));
  changedThird[size_t{gamma} * SectorSize + 5] ^= 0x01;
  WriteFile(third, changedThird);
  const RunResult s3 = sandbox.OnDrive({"verify-iso", third, "--session", "3"});
  EXPECT_EQ(s3.out.substr(0, s3.out.find('\n')), "VERIFY FAILED AT SECTOR " +
                                                      std::to_string(sessions[2].Start + gamma) + " (FILE \\gamma.bin)")
      << s3.Describe();

  // Session 1's image stands alone.
  const std::string alone = sandbox.dir().at("session1-alone");
  const RunResult x = sandbox.Tool(
      {"xorriso", "-indev", sandbox.dir().at("session1.iso"), "-osirrox", "on", "-extract", "/", alone});
  if (x.exitCode != 0)
    problems.push_back("session 1's image alone: xorriso: " + x.Describe());
  else
    for (const std::string& p : CompareTrees(trees[0], alone))
      problems.push_back("session 1's image alone: " + p);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);

  const RunResult ok = sandbox.OnDrive({"verify-iso", whole});
  EXPECT_EQ(ok.exitCode, 0) << ok.Describe();
  EXPECT_NE(ok.out.find("VERIFY OK: " + std::to_string(bytes / SectorSize) + " sectors from sector 0, sha256 " + sha),
            std::string::npos)
      << ok.out;

  // One byte changed inside a file of session 2, in its second sector: the
  // first difference is there, named by the file's Joliet path, and the
  // file is listed once.
  const std::string changed = sandbox.dir().at("changed.iso");
  std::string copy = ReadRange(whole, 0, bytes);
  const uint32_t added = SectorHolding(whole, trees[1].at("docs/added.txt"));
  copy[size_t{added + 1} * SectorSize + 100] ^= 0x01;
  WriteFile(changed, copy);
  const RunResult bad = sandbox.OnDrive({"verify-iso", changed});
  // An image longer than the disc fails where the disc ends.
  const std::string longer = sandbox.dir().at("longer.iso");
  WriteFile(longer, ReadRange(whole, 0, bytes) + std::string(SectorSize, '\0'));
  const RunResult past = sandbox.OnDrive({"verify-iso", longer});
  EXPECT_EQ(past.exitCode, 1);
  EXPECT_EQ(past.out.substr(0, past.out.find('\n')),
            "VERIFY FAILED AT SECTOR " + std::to_string(bytes / SectorSize) + ": THE DISC ENDS AT SECTOR " +
                std::to_string(bytes / SectorSize))
      << past.Describe();
  EXPECT_EQ(bad.exitCode, 1) << bad.Describe();
  EXPECT_EQ(bad.out, "VERIFY FAILED AT SECTOR " + std::to_string(added + 1) +
                         " (FILE \\docs\\added.txt)\nFILE \\docs\\added.txt\n1 FILE(S) DIFFER\n")
      << bad.Describe();
}

TEST_F(ReadIso, AReadErrorNamesTheSectorAndLeavesNoImage) {
  ASSERT_NO_FATAL_FAILURE(BurnSessions({{{"alpha.bin", PositionPattern(100 * 1024, 1)}}}));
  const std::string whole = sandbox.dir().at("whole.iso");
  ASSERT_EQ(sandbox.OnDrive({"read-iso", whole}).exitCode, 0);
  const uint32_t bad = SectorHolding(whole, trees[0].at("alpha.bin")) + 7;
  ASSERT_EQ(sandbox.Cli({"vdrive", "fault", "add", "read medium-error lba=" + std::to_string(bad) + " times=forever"})
                .exitCode,
            0);
  const std::string marker = "an earlier image";
  const struct {
    const char* What;
    bool Existing;
  } cases[] = {{"a new image", false}, {"over an earlier image", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    const std::string out = sandbox.dir().at(std::string(c.Existing ? "old" : "new") + ".iso");
    if (c.Existing)
      WriteFile(out, marker);
    const RunResult r = sandbox.OnDrive({"read-iso", out});
    EXPECT_EQ(r.exitCode, 1) << r.Describe();
    EXPECT_NE(r.err.find("READ ERROR AT SECTOR " + std::to_string(bad) + ": MEDIUM ERROR"), std::string::npos)
        << r.Describe();
    EXPECT_EQ(fs::exists(out) ? ReadRange(out, 0, 1000) : std::string("(none)"), c.Existing ? marker : "(none)");
    for (const auto& entry : fs::directory_iterator(sandbox.dir().path()))
      EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
  }
  // The disc's verify stops at the same sector, naming the file.
  const RunResult v = sandbox.OnDrive({"verify-iso", whole});
  EXPECT_EQ(v.exitCode, 1);
  EXPECT_EQ(v.out.substr(0, v.out.find('\n')),
            "VERIFY FAILED AT SECTOR " + std::to_string(bad) +
                " (FILE \\alpha.bin): READ ERROR: MEDIUM ERROR (UNRECOVERED READ ERROR)")
      << v.Describe();
}

// Run-out blocks that the drive counts in a CD track but can't read end the
// track's data; they are no read error.
TEST_F(ReadIso, UnreadableRunOutBlocksEndTheTrack) {
  ASSERT_NO_FATAL_FAILURE(BurnSessions({{{"alpha.bin", PositionPattern(100 * 1024, 1)}}}));
  const std::string whole = sandbox.dir().at("whole.iso");
  ASSERT_EQ(sandbox.OnDrive({"read-iso", whole}).exitCode, 0);
  const auto end = static_cast<uint32_t>(FileSize(whole) / SectorSize);
  ASSERT_EQ(sandbox.Cli({"vdrive", "fault", "add",
                         "read medium-error lba=" + std::to_string(end - 2) + " to=" + std::to_string(end - 1) +
                             " times=forever"})
                .exitCode,
            0);
  const std::string cut = sandbox.dir().at("cut.iso");
  const RunResult r = sandbox.OnDrive({"read-iso", cut});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  EXPECT_EQ(FileSize(cut), FileSize(whole) - 2 * SectorSize);
  EXPECT_EQ(ReadRange(cut, 0, FileSize(cut)), ReadRange(whole, 0, FileSize(cut)));
}

} // namespace
} // namespace qnzb::acceptance
