// Two programs on one drive, and the burn after one that never ended, through
// `qnzb-cli` on the virtual recorder. A running burn keeps every other job
// and command of another process off its drive; a session left open by a
// write error, a signal or a killed process is shown as incomplete and closed
// by the next burn, after which every complete session reads back intact.

#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

constexpr uint64_t MiB = 1 << 20;
const std::string InUse = "the drive is in use by another program";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A burn paced like a real drive (the recorder's slowest CD speed, 4X: about
// six seconds for 4 MiB) while other processes try the same drive: every other job and
// command is refused with the reason, and the burn itself ends well.
TEST(DriveSafety, ABurnKeepsOtherProcessesOffItsDrive) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  const BurnSandbox sandbox("cd-r");
  ASSERT_EQ(sandbox.Cli({"vdrive", "set", "real-time=1"}).exitCode, 0);
  const TreeContent tree{{"paced.bin", PositionPattern(4 * MiB, 71)}};
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, tree);
  const std::string disc = sandbox.DiscImage();

  auto burn = std::async(std::launch::async, [&] {
    return sandbox.OnDrive({"burn", "--speed", "1", "--save-path", "unchecked", source});
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (FileSize(disc) == 0 && std::chrono::steady_clock::now() < deadline &&
         burn.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
  }
  ASSERT_GT(FileSize(disc), 0u) << "the burn never started writing";

  const std::vector<std::vector<std::string>> intruders{
      {"burn", "--save-path", "unchecked", source}, {"erase", "--quick"}, {"eject"}, {"info"}, {"sessions"}};
  for (const auto& args : intruders) {
    const RunResult r = sandbox.OnDrive(args);
    EXPECT_NE(r.exitCode, 0) << args[0] << ": " << r.Describe();
    EXPECT_TRUE(Contains(r.err, InUse)) << args[0] << ": " << r.Describe();
  }
  // Nor can the disc be changed under it: the job locked the tray.
  const RunResult swap = sandbox.Cli({"vdrive", "insert", "cd-rw"});
  EXPECT_NE(swap.exitCode, 0) << swap.Describe();
  EXPECT_TRUE(Contains(swap.err, "its tray is locked")) << swap.Describe();
  // A user polling the disc while it burns.
  int polls = 0;
  while (burn.wait_for(std::chrono::milliseconds(500)) != std::future_status::ready && polls < 120) {
    const RunResult r = sandbox.OnDrive({"info"});
    ++polls;
    if (burn.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      EXPECT_TRUE(r.exitCode == 0 || Contains(r.err, InUse)) << r.Describe();
    }
  }
  const RunResult r = burn.get();
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  EXPECT_GT(polls, 2) << "the burn was too short to be polled";
  for (const std::string& problem : sandbox.CheckSession(1, 0, tree, "paced"))
    ADD_FAILURE() << problem;
}

struct TBrokenBurn {
  const char* Name;
  const char* Fault;  // a fault plan rule, or empty
  int Signal;         // sent once writing began, or 0
};
void PrintTo(const TBrokenBurn& c, std::ostream* os) { *os << c.Name; }

class AfterBrokenBurn : public testing::TestWithParam<TBrokenBurn> {};

// A good session, then one that breaks off, then a burn that imports the
// first: the broken one (a write error, a signal, or a killed process whose
// drive knows what was written) shows as incomplete, the next burn closes it and
// appends, and both good sessions read back with their files.
TEST_P(AfterBrokenBurn, TheNextBurnClosesItAndAppends) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  const TBrokenBurn& c = GetParam();
  const BurnSandbox sandbox("cd-r");
  ASSERT_EQ(sandbox.Cli({"vdrive", "set", "time.close=300"}).exitCode, 0);
  const TreeContent first{{"first.txt", PositionPattern(70000, 81)}};
  const TreeContent second{{"second.bin", PositionPattern(2 * MiB, 82)}};
  const TreeContent third{{"third.txt", PositionPattern(5000, 83)}};
  const std::string a = sandbox.dir().mkdir("a"), b = sandbox.dir().mkdir("b"), t = sandbox.dir().mkdir("c");
  WriteTree(a, first);
  WriteTree(b, second);
  WriteTree(t, third);
  RunResult r = sandbox.OnDrive({"burn", "--save-path", "unchecked", a});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  std::vector<std::string> problems;
  const auto before = sandbox.Sessions(problems);
  ASSERT_EQ(before.size(), 1u);

  const std::string disc = sandbox.DiscImage();
  const uint64_t written = FileSize(disc);
  if (*c.Fault) {
    ASSERT_EQ(sandbox.Cli({"vdrive", "fault", "add", c.Fault}).exitCode, 0);
  }
  RunOptions options;
  options.timeout = std::chrono::seconds(90);
  if (c.Signal) {
    // Held back after a few writes so that the signal lands mid-session.
    ASSERT_EQ(sandbox.Cli({"vdrive", "fault", "add", "write long-write after=6 times=forever"}).exitCode, 0);
    options.interruptSignal = c.Signal;
    options.interruptWhen = [&] { return FileSize(disc) >= written + 6 * 27 * SectorSize; };
  }
  r = sandbox.OnDrive({"burn", "--save-path", "unchecked", b}, options);
  ASSERT_NE(r.exitCode, 0) << r.Describe();
  ASSERT_EQ(r.interrupted, c.Signal != 0) << r.Describe();
  ASSERT_EQ(sandbox.Cli({"vdrive", "fault", "clear"}).exitCode, 0);

  // Listed after the first, for what it holds.
  const RunResult listed = sandbox.OnDrive({"sessions"});
  const auto open = LinesStartingWith(listed.out, "  002       11700 ");
  EXPECT_TRUE(open.size() == 1 && open[0].ends_with(" MB (incomplete)")) << listed.Describe();
  const RunResult info = sandbox.OnDrive({"info"});
  EXPECT_TRUE(Contains(info.out, "Sessions : 1")) << info.Describe();

  r = sandbox.OnDrive({"burn", "--import-session", "-1", "--save-path", "unchecked", t});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  const auto after = sandbox.Sessions(problems);
  ASSERT_EQ(after.size(), 3u) << sandbox.OnDrive({"sessions"}).Describe();
  EXPECT_EQ(after[0].Start, before[0].Start);
  TreeContent carried = first;
  carried.insert(third.begin(), third.end());
  for (const std::string& problem : sandbox.CheckSession(1, after[0].Start, first, "first"))
    ADD_FAILURE() << problem;
  for (const std::string& problem : sandbox.CheckSession(3, after[2].Start, carried, "third"))
    ADD_FAILURE() << problem;
  for (const std::string& problem : problems)
    ADD_FAILURE() << problem;
}

INSTANTIATE_TEST_SUITE_P(Breaks, AfterBrokenBurn,
                         testing::Values(TBrokenBurn{"WriteError", "write write-error after=5", 0},
                                         TBrokenBurn{"Terminate", "", SIGTERM}, TBrokenBurn{"Killed", "", SIGKILL},
                                         TBrokenBurn{"HangUp", "", SIGHUP}),
                         [](const auto& param) { return std::string(param.param.Name); });

} // namespace
} // namespace qnzb::acceptance
