// Three sessions burnt with `qnzb-cli burn` on every kind of medium the
// virtual recorder offers, each later one carrying the previous session over
// (--import-session -1), adding files and replacing some (--replace). After
// every burn each session is read back from the recorder's image by xorriso
// and by our own `extract` and `ls`, and every file is compared with its
// source.
//
// Runs through the command line with the real clock: a burn spends about 7 s
// in the drive's ready waits, which are sleeps. The media run side by side in
// threads, each with its own sandbox and recorder, so the whole matrix costs
// about three burns (some 40 s) rather than 27.

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

constexpr uint64_t KiB = 1024;

// What each burn adds. Sizes straddle sector and 27/32-sector block ends, so a
// shifted or dropped block shows; replaced files change their length both ways.
std::vector<TreeContent> SessionSources() {
  uint32_t seed = 100;
  auto file = [&seed](uint64_t size) { return PositionPattern(size, seed++); };
  TreeContent first{
      {"alpha.bin", file(300 * KiB + 17)},
      {"keep.txt", file(100)},
      {"replace me.txt", file(3000)},
      {"empty.txt", ""},
      {"docs/guide.txt", file(2049)},
      {"docs/deep/note.dat", file(2 * 65536 + 5)},
  };
  TreeContent second{
      {"beta.bin", file(70000)},
      {"replace me.txt", file(5000)},
      {"docs/added.txt", file(10)},
  };
  TreeContent third{
      {"gamma.bin", file(200 * KiB)},
      {"docs/guide.txt", file(100)},
      {"docs/deep/third.txt", file(1)},
      {"replace me.txt", file(2048)},
  };
  return {first, second, third};
}

// Media whose sessions stay apart, each with its own start.
bool KeepsSessions(const std::string& medium) {
  return medium == "cd-r" || medium == "cd-rw" || medium == "dvd-r" || medium == "dvd+r";
}

// Burns the three sessions on `medium` and checks the disc after each;
// the problems found, empty when the medium passed.
std::vector<std::string> BurnThreeSessions(const std::string& medium) {
  std::vector<std::string> problems;
  const BurnSandbox sandbox(medium);
  const std::vector<TreeContent> sources = SessionSources();
  TreeContent expected;  // the newest session's whole tree
  std::vector<TreeContent> sessionTrees;
  for (size_t k = 0; k < sources.size(); ++k) {
    const std::string source = sandbox.dir().mkdir("source" + std::to_string(k + 1));
    WriteTree(source, sources[k]);
    for (const auto& [rel, content] : sources[k])
      expected[rel] = content;
    sessionTrees.push_back(expected);

    std::vector<std::string> args{"burn", "--save-path", "unchecked"};
    if (k > 0)
      args.insert(args.end(), {"--import-session", "-1", "--replace"});
    args.push_back(source);
    const RunResult r = sandbox.OnDrive(args);
    const std::string burn = medium + " burn " + std::to_string(k + 1) + ": ";
    if (r.exitCode != 0 || DoneLines(r).size() != 1 || !ErrorLines(r).empty()) {
      problems.push_back(burn + "did not end with one success: " + r.Describe());
      return problems;
    }

    const std::vector<SessionRow> rows = sandbox.Sessions(problems);
    const std::string tag = "after" + std::to_string(k + 1);
    if (KeepsSessions(medium)) {
      if (rows.size() != k + 1) {
        problems.push_back(burn + std::to_string(rows.size()) + " sessions listed");
        return problems;
      }
      for (size_t j = 0; j < rows.size(); ++j) {
        if (rows[j].Number != static_cast<int>(j + 1) || (j == 0 && rows[j].Start != 0) ||
            (j > 0 && rows[j].Start <= rows[j - 1].Start))
          problems.push_back(burn + "session row " + std::to_string(j + 1) + " is number " +
                             std::to_string(rows[j].Number) + " at " + std::to_string(rows[j].Start));
        // Every earlier session still reads as it was burnt.
        for (const std::string& p : sandbox.CheckSession(rows[j].Number, rows[j].Start, sessionTrees[j],
                                                         tag + "-s" + std::to_string(j + 1)))
          problems.push_back(p);
      }
    } else {
      // No session structure: the descriptors at the start always describe
      // the newest tree, earlier files included.
      if (rows.size() != 1 || rows[0].Number != 1 || rows[0].Start != 0) {
        problems.push_back(burn + "expected one session at 0, " + std::to_string(rows.size()) + " listed");
        return problems;
      }
      for (const std::string& p : sandbox.CheckSession(1, 0, expected, tag))
        problems.push_back(p);
    }
    if (!problems.empty())
      return problems;  // later burns would only repeat the damage
  }

  // The same disc in drives that lack READ TRACK INFORMATION (as QEMU's do),
  // and in a read-only drive lacking READ DISC INFORMATION too: the same
  // sessions, each read back whole.
  const RunResult listed = sandbox.OnDrive({"sessions"});
  const std::vector<std::vector<std::string>> drives = {
      {"read-track-information=0"},
      {"read-track-information=0", "read-disc-information=0", "read-only=1"},
  };
  for (const std::vector<std::string>& quirks : drives) {
    std::vector<std::string> args{"vdrive", "set"};
    args.insert(args.end(), quirks.begin(), quirks.end());
    const RunResult set = sandbox.Cli(args);
    const std::string drive = medium + " in a drive with " + quirks.back() + ": ";
    if (set.exitCode != 0) {
      problems.push_back(drive + "vdrive set failed: " + set.Describe());
      return problems;
    }
    const RunResult again = sandbox.OnDrive({"sessions"});
    const std::vector<std::string> was = LinesStartingWith(listed.out, "  ");
    const std::vector<std::string> now = LinesStartingWith(again.out, "  ");
    bool same = again.exitCode == 0 && now.size() == was.size();
    for (size_t j = 0; same && j < now.size(); ++j) {
      // Earlier DVD sessions are sized by their volumes, without the padding
      // the writer left after one: only their number and start must agree.
      const bool sized = medium.starts_with("cd") || j + 1 == now.size();
      same = sized ? now[j] == was[j] : now[j].substr(0, 17) == was[j].substr(0, 17);
    }
    if (!same) {
      problems.push_back(drive + "sessions differ from\n" + listed.out + "as listed then: " + again.Describe());
      continue;
    }
    const bool apart = KeepsSessions(medium);
    const std::vector<SessionRow> rows = sandbox.Sessions(problems);
    for (size_t j = 0; j < rows.size(); ++j)
      for (const std::string& p : sandbox.CheckSession(rows[j].Number, rows[j].Start,
                                                       apart ? sessionTrees[j] : expected,
                                                       quirks.back() + "-s" + std::to_string(j + 1)))
        problems.push_back(drive + p);
  }
  return problems;
}

TEST(BurnSessions, ThreeSessionsReadBackOnEveryMedium) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  // dvd-rw is sequential: its first burn quick-formats it into restricted overwrite.
  const std::vector<std::string> media = {"cd-r",          "cd-rw",  "dvd-r",  "dvd-rw",          "dvd-rw-ro",
                                          "dvd+r",         "dvd+rw", "dvd+rw-formatted", "dvd-ram"};
  std::vector<std::future<std::vector<std::string>>> runs;
  for (const std::string& medium : media)
    runs.push_back(std::async(std::launch::async, [medium] { return BurnThreeSessions(medium); }));
  for (size_t i = 0; i < runs.size(); ++i) {
    std::vector<std::string> problems;
    try {
      problems = runs[i].get();
    } catch (const std::exception& e) {
      problems.push_back(media[i] + ": " + e.what());
    }
    for (const std::string& p : problems)
      ADD_FAILURE() << p;
  }
}

// Without --replace a file whose name the carried-over session already holds
// keeps its earlier content, and the burn names the newer file as left out;
// the new session still holds both sessions' files.
TEST(BurnSessions, WithoutReplaceTheEarlierFileStays) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  const BurnSandbox sandbox("dvd+r");
  const TreeContent first{{"same name.txt", PositionPattern(4000, 1)}, {"one.bin", PositionPattern(9000, 2)}};
  const TreeContent second{{"same name.txt", PositionPattern(100, 3)}, {"two.bin", PositionPattern(5000, 4)}};
  const std::string s1 = sandbox.dir().mkdir("s1");
  const std::string s2 = sandbox.dir().mkdir("s2");
  WriteTree(s1, first);
  WriteTree(s2, second);
  RunResult r = sandbox.OnDrive({"burn", "--save-path", "unchecked", s1});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  r = sandbox.OnDrive({"burn", "--save-path", "unchecked", "--import-session", "-1", s2});
  // The new content is not on the disc: the command says so by name.
  EXPECT_EQ(r.exitCode, 3) << r.Describe();
  EXPECT_NE(r.err.find("NOT ADDED: " + s2 + "/same name.txt"), std::string::npos) << r.Describe();
  EXPECT_NE(r.err.find("1 FILE(S) LEFT OUT"), std::string::npos) << r.Describe();

  std::vector<std::string> problems;
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  ASSERT_EQ(rows.size(), 2u);
  TreeContent expected = first;
  expected["two.bin"] = second.at("two.bin");
  for (const std::string& p : sandbox.CheckSession(2, rows[1].Start, expected, "second"))
    problems.push_back(p);
  for (const std::string& p : problems)
    ADD_FAILURE() << p;
}

} // namespace
} // namespace qnzb::acceptance
