// Burns that meet trouble on the virtual recorder, through `qnzb-cli burn`:
// a drive that is busy writing for a while, the user's Ctrl-C in the middle,
// the tray opened mid-burn, a source file gone before the cache reaches it.
// Every job ends with exactly one outcome (one success line, or one error line
// and no success), never with a crash, and whatever was written is either
// intact or left open for the drive, never closed into a session.
//
// Real-clock runs of the command line: the failing ones skip the closing's
// ready wait and take 2 to 5 s each; the successful ones about 7 s.

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "BurnSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t MiB = 1 << 20;

void SetFault(const BurnSandbox& sandbox, const std::string& rule) {
  const RunResult r = sandbox.Cli({"vdrive", "fault", "add", rule});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
}

std::string Status(const BurnSandbox& sandbox) {
  return sandbox.Cli({"vdrive", "status"}).out;
}

// Exactly one error, this one, and no success.
void ExpectOneError(const RunResult& r, const std::string& error) {
  EXPECT_NE(r.exitCode, 0) << r.Describe();
  EXPECT_EQ(r.signal, 0) << r.Describe();
  EXPECT_FALSE(r.timedOut) << r.Describe();
  EXPECT_EQ(ErrorLines(r), std::vector<std::string>{"qnzb-cli: " + error}) << r.Describe();
  EXPECT_TRUE(DoneLines(r).empty()) << r.Describe();
}

// A drive that answers NOT READY (long write in progress) to the 4th WRITE
// three times and then takes it: the job succeeds and the block lands where it
// belongs, so the files read back intact. On a CD-R (27-sector writes) and a
// DVD-R (32-sector writes, the DVD flush), side by side.
std::vector<std::string> LongWriteThenAccepted(const std::string& medium) {
  std::vector<std::string> problems;
  const BurnSandbox sandbox(medium);
  const TreeContent tree{{"large.bin", PositionPattern(MiB + 3, 31)}, {"small.txt", PositionPattern(10, 32)}};
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, tree);
  const RunResult fault = sandbox.Cli({"vdrive", "fault", "add", "write long-write after=3 times=3"});
  if (fault.exitCode != 0)
    return {medium + ": " + fault.Describe()};
  const RunResult r = sandbox.OnDrive({"burn", "--save-path", "unchecked", source});
  if (r.exitCode != 0 || DoneLines(r).size() != 1 || !ErrorLines(r).empty())
    return {medium + ": the burn did not end with one success: " + r.Describe()};
  const std::string status = Status(sandbox);
  if (status.find("fired=3") == std::string::npos)
    problems.push_back(medium + ": the fault did not fire three times:\n" + status);
  const std::vector<SessionRow> rows = sandbox.Sessions(problems);
  if (rows.size() != 1 || rows[0].Start != 0)
    problems.push_back(medium + ": expected one session at 0, " + std::to_string(rows.size()) + " listed");
  for (const std::string& p : sandbox.CheckSession(1, 0, tree, "retried"))
    problems.push_back(p);
  return problems;
}

TEST(BurnFaults, NotReadyThreeTimesThenAcceptedKeepsTheData) {
  if (!HaveTool("xorriso"))
    GTEST_SKIP() << "xorriso is not installed";
  std::vector<std::future<std::vector<std::string>>> runs;
  for (const std::string medium : {"cd-r", "dvd-r"})
    runs.push_back(std::async(std::launch::async, [medium] { return LongWriteThenAccepted(medium); }));
  for (auto& run : runs)
    for (const std::string& p : run.get())
      ADD_FAILURE() << p;
}

// Ctrl-C while the drive keeps the 5th WRITE waiting: the job ends with the
// abort message alone, the four blocks written stay on the disc and nothing
// after them, and no session is closed.
TEST(BurnFaults, InterruptMidBurnLeavesTheSessionOpen) {
  const BurnSandbox sandbox("cd-r");
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"large.bin", PositionPattern(2 * MiB, 41)}});
  SetFault(sandbox, "write long-write after=4 times=forever");
  const std::string disc = sandbox.DiscImage();
  // Four writes of 27 sectors have reached the disc from sector 0.
  auto fourBlocksWritten = [&] { return FileSize(disc) >= 4 * 27 * SectorSize; };
  bool interrupted = false;
  const RunResult r = RunInterrupted(sandbox, {"burn", "--virtual", "--save-path", "unchecked", source},
                                     fourBlocksWritten, std::chrono::seconds(60), interrupted);
  ASSERT_TRUE(interrupted) << "the burn never wrote four blocks: " << r.Describe();
  ExpectOneError(r, "OPERATION ABORTED BY USER");

  EXPECT_EQ(FileSize(disc), 4 * 27 * SectorSize) << "blocks after the interrupted one were written";
  // The flush (SYNCHRONIZE CACHE) ends the CD's track-at-once track, which the
  // drive pads to its 300-sector minimum; no session close follows.
  const std::string status = Status(sandbox);
  EXPECT_NE(status.find("track 1 (session 1): start 0, 300 blocks, closed"), std::string::npos) << status;
  EXPECT_NE(status.find("0 complete session(s)"), std::string::npos) << status;
}

// The tray opens under the 4th WRITE: one writer error naming the drive's
// complaint, the process survives, nothing is closed.
TEST(BurnFaults, TrayOpenedMidBurnEndsWithOneError) {
  const BurnSandbox sandbox("dvd+r");
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"large.bin", PositionPattern(MiB, 51)}});
  SetFault(sandbox, "write tray-open after=3");
  const RunResult r = sandbox.OnDrive({"burn", "--save-path", "unchecked", source});
  ExpectOneError(r, "WRITER ERROR [NOT READY (MEDIUM NOT PRESENT - TRAY OPEN)]");
  const std::string status = Status(sandbox);
  EXPECT_NE(status.find("tray: open"), std::string::npos) << status;
  EXPECT_NE(status.find("0 complete session(s)"), std::string::npos) << status;
}

// A file deleted after the layout was made but before the read-ahead cache
// opens it: the job ends with the cache's message for it, and no session is
// closed. The drive is kept busy for a few seconds after two writes so that
// the file is deleted while the cache, full with the first file, waits. Both
// files are too large for the cache to open them ahead of their turn.
TEST(BurnFaults, SourceFileGoneBeforeItsTurn) {
  const BurnSandbox sandbox("cd-r");
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"a first.bin", PositionPattern(6 * MiB, 61)}, {"z last.bin", PositionPattern(5 * MiB, 62)}});
  const std::string doomed = source + "/z last.bin";
  SetFault(sandbox, "write busy after=2 times=6");
  const std::string disc = sandbox.DiscImage();
  bool deleted = false;
  auto deleteOnceWriting = [&] {
    if (!deleted && FileSize(disc) > 0)
      deleted = fs::remove(doomed);
    return false;
  };
  bool interrupted = false;
  const RunResult r =
      RunInterrupted(sandbox, {"burn", "--virtual", "--cache-size", "2M", "--save-path", "unchecked", source},
                     deleteOnceWriting, std::chrono::seconds(60), interrupted);
  ASSERT_TRUE(deleted) << "the burn never started writing: " << r.Describe();
  ExpectOneError(r, "CAN'T OPEN FILE \"" + doomed + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
  const std::string status = Status(sandbox);
  EXPECT_NE(status.find("0 complete session(s)"), std::string::npos) << status;
}

} // namespace
} // namespace qnzb::acceptance
