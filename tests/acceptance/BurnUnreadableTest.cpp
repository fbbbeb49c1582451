// A file the user can't read, late in a large compilation, burnt with
// `qnzb-cli burn` on the virtual recorder: it is named and left out before
// anything is written, and the session holds every other file intact.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

TEST(BurnUnreadable, ALateUnreadableFileIsNamedAndTheSessionHoldsTheRest) {
  if (!HaveTool("xorriso") || !HaveTool("setpriv"))
    GTEST_SKIP() << "xorriso and setpriv are needed";
  const BurnSandbox sandbox("cd-r");
  const std::string source = sandbox.dir().mkdir("source");
  TreeContent tree;
  for (int i = 0; i < 2000; ++i)
    tree["d" + std::to_string(i % 20) + "/f" + std::to_string(1000 + i) + ".txt"] = PositionPattern(50 + i, i);
  WriteTree(source, tree);
  // The last file of its folder, among the last ones the walk reaches.
  const std::string locked = "d19/f2999.txt";
  ASSERT_EQ(::chmod((source + "/" + locked).c_str(), 0), 0);
  tree.erase(locked);
  // Root reads every file; without these capabilities it is any user.
  const RunResult r = sandbox.Tool({"setpriv", "--bounding-set", "-dac_override,-dac_read_search", CliPath(),
                                    "burn", "--save-path", "unchecked", source, "--virtual"});
  EXPECT_EQ(r.exitCode, 3) << r.Describe();
  EXPECT_NE(r.err.find("NOT ADDED: " + source + "/" + locked), std::string::npos) << r.Describe();
  EXPECT_NE(r.err.find("1 FILE(S) LEFT OUT"), std::string::npos) << r.Describe();
  EXPECT_EQ(DoneLines(r).size(), 1u) << r.Describe();
  std::vector<std::string> problems;
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  ASSERT_EQ(rows.size(), 1u);
  for (const std::string& p : sandbox.CheckSession(1, rows[0].Start, tree, "unreadable"))
    problems.push_back(p);
  for (const std::string& p : problems)
    ADD_FAILURE() << p;
}

} // namespace
} // namespace qnzb::acceptance
