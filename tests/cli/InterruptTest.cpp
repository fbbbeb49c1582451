// A signal during an image build: the job stops through its abort, the
// command says why and ends with 128 + the signal's number, and no image
// (whole, partial or side file) is left. Every mode, every signal a user or
// a session manager sends.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>

#include "support/SignalRun.h"
#include "support/TempDir.h"

namespace qnzb::test {
namespace {

#ifdef QNZB_CLI_PATH
struct TInterruptCase {
  const char* Mode;  // "--quick" or the cached default
  int Signal;
};
void PrintTo(const TInterruptCase& c, std::ostream* os) { *os << (*c.Mode ? c.Mode : "cached") << " sig" << c.Signal; }

class CliInterrupt : public testing::TestWithParam<TInterruptCase> {};

TEST_P(CliInterrupt, StopsTheBuildAndLeavesNoImage) {
  TempDir tmp;
  // Sparse sources cost nothing to make, and a build of a gigabyte stays
  // busy long enough to be hit even when this process waits for a core.
  for (int i = 0; i < 4; ++i)
    tmp.writeSparse("src/big" + std::to_string(i) + ".bin", int64_t{256} << 20);
  setenv("QNZB_INI", tmp.at("QNZB.ini").c_str(), 1);
  std::vector<std::string> argv = {QNZB_CLI_PATH, "build-iso", "--cache-size", "2097152"};
  if (*GetParam().Mode)
    argv.emplace_back(GetParam().Mode);
  argv.insert(argv.end(), {tmp.at("out.iso"), tmp.at("src")});
  // Interrupted as soon as the image's side file is being written. A build
  // that finished before the signal came (a loaded machine) proves nothing
  // either way and is run again.
  TSignalRun run;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::filesystem::remove(tmp.at("out.iso"));
    run = RunAndSignalOnCreate(argv, tmp.path(), ".out.iso.", GetParam().Signal, tmp.at("err.txt"));
    const bool finishedFirst = (WIFSIGNALED(run.Status) && WTERMSIG(run.Status) == GetParam().Signal) ||
                               (WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0);
    if (!finishedFirst)
      break;
  }
  unsetenv("QNZB_INI");
  ASSERT_TRUE(run.Seen) << run.Err;
  ASSERT_TRUE(WIFEXITED(run.Status)) << run.Err;
  EXPECT_EQ(WEXITSTATUS(run.Status), 128 + GetParam().Signal) << run.Err;
  EXPECT_NE(run.Err.find("OPERATION ABORTED BY USER"), std::string::npos) << run.Err;
  std::set<std::string> left;
  for (const auto& item : std::filesystem::directory_iterator(tmp.path()))
    left.insert(item.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"src", "err.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Signals, CliInterrupt,
                         testing::Values(TInterruptCase{"", SIGINT}, TInterruptCase{"", SIGTERM},
                                         TInterruptCase{"--quick", SIGINT}, TInterruptCase{"--quick", SIGHUP}));
#endif

} // namespace
} // namespace qnzb::test
