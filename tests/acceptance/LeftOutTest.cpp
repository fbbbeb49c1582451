// Trees with the shapes users have (folders merged from several sources,
// duplicates, links, names too long or with characters Joliet forbids,
// unreadable parts, special files, a file too large) built with
// `qnzb-cli build-iso` and read back by two independent readers: every file
// is on the image, or the command names it as left out and ends with status 3.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "AcceptanceSupport.h"
#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

struct TShape {
  const char* Name;
  TreeContent Tree;                                        // written under the source folder
  std::vector<std::string> Sources;                        // PATH arguments, relative to it
  std::function<void(const std::string& root)> Prepare;    // links, pipes, permissions
  TreeContent OnImage;                                     // by the names the image carries
  std::vector<std::string> LeftOut;                        // relative source paths named NOT ADDED
  bool WithoutPermissionOverrides = false;                 // run as root without the read-anything capabilities
};
void PrintTo(const TShape& s, std::ostream* os) { *os << s.Name; }

std::string F(uint32_t seed) { return PositionPattern(3000 + seed, seed); }

std::vector<TShape> Shapes() {
  const std::string longFile = std::string(120, 'n') + ".txt";
  const std::string longFolder = std::string(115, 'd');
  return {
      {"MergedSubFoldersKeepTheirOtherFiles",
       {{"p/sub/same.txt", F(1)}, {"p/ptop.txt", F(2)}, {"q/sub/same.txt", F(3)}, {"q/qtop.txt", F(4)},
        {"q/zz/zfile.txt", F(5)}},
       {"p", "q"},
       {},
       {{"sub/same.txt", F(1)}, {"ptop.txt", F(2)}, {"qtop.txt", F(4)}, {"zz/zfile.txt", F(5)}},
       {"q/sub/same.txt"}},
      {"ADuplicateInTheFirstFolderDoesNotEndTheWalk",
       {{"mA/docs/z.txt", F(1)}, {"mB/docs/z.txt", F(2)}, {"mB/pics/p.jpg", F(3)}, {"mB/readme.txt", F(4)}},
       {"mA", "mB"},
       {},
       {{"docs/z.txt", F(1)}, {"pics/p.jpg", F(3)}, {"readme.txt", F(4)}},
       {"mB/docs/z.txt"}},
      {"TheSameFileReachedTwiceIsNoLoss",
       {{"a/x.txt", F(1)}, {"a/y/z.txt", F(2)}},
       {"a", "b"},
       [](const std::string& root) { fs::create_directory_symlink(root + "/a", root + "/b"); },
       {{"x.txt", F(1)}, {"y/z.txt", F(2)}},
       {}},
      {"LongAndForbiddenNamesGoOnUnderNamesTheDiscHolds",
       {{"s/" + longFile, F(1)}, {"s/" + longFolder + "/in.txt", F(2)}, {"s/what?.txt", F(3)},
        {"s/a:b;c.txt", F(4)}, {"s/ok.txt", F(5)}},
       {"s"},
       {},
       {{"___LONG___.txt", F(1)}, {"___LONGFOLDER___/in.txt", F(2)}, {"what_.txt", F(3)}, {"a_b_c.txt", F(4)},
        {"ok.txt", F(5)}},
       {}},
      {"SpecialFilesAndBrokenLinksAreNamed",
       {{"s/keep.txt", F(1)}, {"s/sub/keep2.txt", F(2)}},
       {"s"},
       [](const std::string& root) {
         ASSERT_EQ(::mkfifo((root + "/s/sub/pipe").c_str(), 0600), 0);
         fs::create_symlink(root + "/s/nowhere", root + "/s/dangling");
       },
       {{"keep.txt", F(1)}, {"sub/keep2.txt", F(2)}},
       {"s/dangling", "s/sub/pipe"}},
      {"UnreadableFilesAndFoldersAreNamedAndTheRestGoesOn",
       {{"s/ok/a.txt", F(1)}, {"s/locked/b.txt", F(2)}, {"s/secret.txt", F(3)}, {"s/z.txt", F(4)}},
       {"s"},
       [](const std::string& root) {
         ASSERT_EQ(::chmod((root + "/s/locked").c_str(), 0), 0);
         ASSERT_EQ(::chmod((root + "/s/secret.txt").c_str(), 0), 0);
       },
       {{"ok/a.txt", F(1)}, {"z.txt", F(4)}},
       {"s/locked/", "s/secret.txt"},
       true},
      {"AFileOfFourGibibytesIsNamed",
       {{"s/a.txt", F(1)}, {"s/sub/b.txt", F(2)}},
       {"s"},
       [](const std::string& root) {
         std::ofstream(root + "/s/sub/huge.bin").close();
         fs::resize_file(root + "/s/sub/huge.bin", uint64_t{1} << 32);
       },
       {{"a.txt", F(1)}, {"sub/b.txt", F(2)}},
       {"s/sub/huge.bin"}},
  };
}

// The files a reader extracted, with long names folded back to the markers
// the table uses: what a shortened name looks like is the engine's business,
// that it is there with its content is the reader's.
TreeContent Folded(const TreeContent& read) {
  TreeContent out;
  for (const auto& [path, content] : read) {
    std::string p = path;
    const size_t slash = p.find('/');
    if (p.starts_with(std::string(90, 'n')) && p.find('~') != std::string::npos && p.ends_with(".txt"))
      p = "___LONG___.txt";
    else if (slash != std::string::npos && p.starts_with(std::string(90, 'd')) && p.find('~') < slash)
      p = "___LONGFOLDER___" + p.substr(slash);
    out[p] = content;
  }
  return out;
}

std::vector<std::string> Names(const TreeContent& tree) {
  std::vector<std::string> names;
  for (const auto& [path, content] : tree)
    names.push_back(path);
  return names;
}

class LeftOut : public ::testing::TestWithParam<TShape> {};

TEST_P(LeftOut, EveryFileIsOnTheImageOrNamed) {
  if (!HaveTool("xorriso") || !HaveTool("isoinfo"))
    GTEST_SKIP() << "xorriso and isoinfo are needed";
  const TShape& shape = GetParam();
  if (shape.WithoutPermissionOverrides && !HaveTool("setpriv"))
    GTEST_SKIP() << "setpriv is needed to drop the read-anything capabilities";
  CliSandbox sandbox;
  const std::string root = sandbox.dir().mkdir("source");
  WriteTree(root, shape.Tree);
  if (shape.Prepare)
    shape.Prepare(root);
  const std::string image = sandbox.dir().at("out.iso");
  std::vector<std::string> args{"build-iso", "--save-path", "unchecked", image};
  for (const std::string& s : shape.Sources)
    args.push_back(root + "/" + s);
  RunResult r;
  if (shape.WithoutPermissionOverrides) {
    // Root reads every file; without these capabilities it is any user.
    std::vector<std::string> argv{"setpriv", "--bounding-set", "-dac_override,-dac_read_search", CliPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    r = sandbox.Tool(argv);
  } else {
    r = sandbox.Cli(args);
  }
  EXPECT_EQ(r.exitCode, shape.LeftOut.empty() ? 0 : 3) << r.Describe();
  for (const std::string& rel : shape.LeftOut)
    EXPECT_NE(r.err.find("NOT ADDED: " + root + "/" + rel), std::string::npos) << rel << "\n" << r.Describe();
  if (!shape.LeftOut.empty()) {
    EXPECT_NE(r.err.find(std::to_string(shape.LeftOut.size()) + " FILE(S) LEFT OUT"), std::string::npos)
        << r.Describe();
  }
  ASSERT_TRUE(fs::exists(image)) << r.Describe();

  // Reader one: xorriso extracts the Joliet tree.
  const std::string out = sandbox.dir().at("xorriso");
  const RunResult x = sandbox.Extract(image, out);
  ASSERT_EQ(x.exitCode, 0) << x.Describe();
  const TreeContent read = Folded(ReadTree(out));
  const TreeContent expected = AsJolietNames(shape.OnImage);
  EXPECT_EQ(Names(read), Names(expected));
  for (const auto& [path, content] : expected)
    EXPECT_TRUE(read.contains(path) && read.at(path) == content) << path << " differs";
  // Reader two: isoinfo lists the same number of files in the Joliet tree.
  const RunResult list = sandbox.Tool({"isoinfo", "-J", "-f", "-i", image});
  ASSERT_EQ(list.exitCode, 0) << list.Describe();
  size_t files = 0;
  for (const std::string& line : LinesStartingWith(list.out, "/"))
    files += line.ends_with(";1") ? 1 : 0;
  EXPECT_EQ(files, shape.OnImage.size()) << list.out;
}

INSTANTIATE_TEST_SUITE_P(Trees, LeftOut, ::testing::ValuesIn(Shapes()),
                         [](const auto& row) { return std::string(row.param.Name); });

// A folder that gained a file since the last burn: the new file goes on the
// next session, the unchanged ones are carried over without a word.
TEST(LeftOutBurn, AnIncrementalBurnTakesTheNewFile) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  const BurnSandbox sandbox("cd-r");
  const std::string inc = sandbox.dir().mkdir("inc");
  TreeContent tree{{"top.txt", F(1)}, {"sub/a.txt", F(2)}, {"sub/deeper/b.txt", F(3)}};
  WriteTree(inc, tree);
  RunResult r = sandbox.OnDrive({"burn", "--save-path", "unchecked", inc});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  tree["zz_new.txt"] = F(4);
  WriteTree(inc, {{"zz_new.txt", F(4)}});
  r = sandbox.OnDrive({"burn", "--save-path", "unchecked", "--import-session", "-1", inc});
  EXPECT_EQ(r.exitCode, 0) << r.Describe();
  EXPECT_EQ(r.err.find("NOT ADDED"), std::string::npos) << r.Describe();
  std::vector<std::string> problems;
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  ASSERT_EQ(rows.size(), 2u);
  for (const std::string& p : sandbox.CheckSession(2, rows[1].Start, tree, "second"))
    problems.push_back(p);
  for (const std::string& p : problems)
    ADD_FAILURE() << p;
}

} // namespace
} // namespace qnzb::acceptance
