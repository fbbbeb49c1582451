// What a burn that did not finish leaves behind, as a real drive shows it:
// nothing beyond the capacity, an incomplete session after a write fault or
// a killed writer that can be closed and appended to; and the state folder
// while programs use the drive: locked with the tray, untouched by queries.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "support/TempDir.h"
#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

using qnzb::test::readFile;
using qnzb::test::TempDir;

std::vector<uint8_t> Cdb10(uint8_t opcode, uint32_t lba = 0, uint16_t length = 0) {
  std::vector<uint8_t> cdb(10, 0);
  cdb[0] = opcode;
  Put32(cdb, 2, lba);
  Put16(cdb, 7, length);
  return cdb;
}
Result Write(Recorder& d, uint32_t lba, uint16_t blocks) {
  return Exec(d, Cdb10(0x2A, lba, blocks), ScsiDirection::Out, Pattern(lba, blocks, 3));
}
Result In(Recorder& d, std::vector<uint8_t> cdb, size_t length) {
  return Exec(d, cdb, ScsiDirection::In, std::vector<uint8_t>(length));
}
Result DiscInfo(Recorder& d) { return In(d, Cdb10(0x51, 0, 34), 34); }
Result TrackInfo(Recorder& d, uint32_t track) {
  std::vector<uint8_t> cdb = Cdb10(0x52, track, 48);
  cdb[1] = 1;
  return In(d, cdb, 48);
}
Result Close(Recorder& d, uint8_t function, uint16_t track = 0) {
  std::vector<uint8_t> cdb(10, 0);
  cdb[0] = 0x5B;
  cdb[2] = function;
  Put16(cdb, 4, track);
  return Exec(d, cdb, ScsiDirection::None, {});
}
Result Prevent(Recorder& d, bool on) {
  return Exec(d, {0x1E, 0, 0, 0, static_cast<uint8_t>(on ? 1 : 0), 0}, ScsiDirection::None, {});
}

// One closed 300-block CD session at 0; the next track starts at 11700.
void FirstSession(Recorder& d) {
  std::vector<uint8_t> list(8, 0);
  WriteParamsPage page = DefaultWriteParams();
  page[3] = 0xC4;  // next session allowed
  list.insert(list.end(), page.begin(), page.end());
  ASSERT_GOOD(Exec(d, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, ScsiDirection::Out, list));
  ASSERT_GOOD(Write(d, 0, 300));
  ASSERT_GOOD(Exec(d, Cdb10(0x35), ScsiDirection::None, {}));
  ASSERT_GOOD(Close(d, 2));
}

// The disc as a drive shows an unfinished second session: incomplete, the
// TOC with session 1 only; closing it makes the disc appendable again.
void ExpectUnfinishedSecondSession(Recorder& d) {
  Result disc = DiscInfo(d);
  EXPECT_EQ(disc.At(2) & 0x0F, 0x05) << "last session incomplete (01b), disc incomplete (01b)";
  Result toc = In(d, Cdb10(0x43, 0, 100), 100);
  ASSERT_GOOD(toc);
  EXPECT_EQ(toc.At(3), 1) << "the TOC ends with the complete session";
  EXPECT_GOOD(Close(d, 1, 2));
  EXPECT_GOOD(Close(d, 2));
  disc = DiscInfo(d);
  EXPECT_EQ(disc.At(2) & 0x0F, 0x01) << "new session empty, disc appendable";
  EXPECT_EQ(disc.At(4), 3) << "sessions";
}

TEST(Capacity, NothingStartsOrIsWrittenBeyondIt) {
  Harness h;
  h.Insert("cd-r", 1000);
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  EXPECT_SENSE(h.ReserveTrack(1001), sense::InvalidFieldInCdb);
  ASSERT_GOOD(h.Write(0, 900));
  Result past = h.Write(900, 200);
  EXPECT_SENSE(past, sense::LbaOutOfRange);
  ASSERT_GOOD(h.Write(900, 100));
  ASSERT_GOOD(h.SyncCache());
  EXPECT_EQ(h.drive.State().Medium.NextStart(), 1000u) << "no pre-gap past the end";
  Result invisible = h.ReadTrackInformation(2);
  EXPECT_EQ(invisible.At(7) & 0x01, 0) << "no NWA";
  EXPECT_EQ(invisible.U32(16), 0u) << "no free blocks";
  EXPECT_SENSE(h.Write(1000, 1), sense::LbaOutOfRange);

  // A state written before, with the start after the pre-gap, still loads
  // with its closed session readable.
  std::string text = FormatState(h.drive.State());
  const size_t at = text.find("next-start=1000\n");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 16, "next-start=1150\n");
  std::string error;
  auto state = ParseState(text, error);
  ASSERT_TRUE(state) << error;
  EXPECT_EQ(state->Medium.NextStart(), 1000u);
  ASSERT_EQ(state->Medium.Tracks().size(), 1u);
  EXPECT_EQ(state->Medium.Tracks()[0].Size, 1000u);
}

TEST(InterruptedBurn, AWriteFaultLeavesAnIncompleteSession) {
  TempDir dir;
  std::string error;
  auto d = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(d) << error;
  FirstSession(*d);
  FaultPlan plan;
  auto rule = FaultPlan::ParseRule("write write-error after=2", error);
  ASSERT_TRUE(rule) << error;
  plan.Add(*rule);
  d->SetFaultPlan(plan);
  ASSERT_GOOD(Write(*d, 11'700, 32));
  ASSERT_GOOD(Write(*d, 11'732, 32));
  EXPECT_SENSE(Write(*d, 11'764, 32), sense::WriteError);
  // The engine gives up; a fresh process finds the disc as the drive left it.
  d.reset();
  d = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(d) << error;
  Result track = TrackInfo(*d, 2);
  EXPECT_EQ(track.At(7) & 0x01, 1) << "NWA valid";
  EXPECT_EQ(track.U32(12), 11'764u) << "after the blocks that were written";
  ExpectUnfinishedSecondSession(*d);
}

TEST(InterruptedBurn, AKilledWriterLeavesTheTrackItWasWriting) {
  TempDir dir;
  constexpr uint32_t Written = 3000;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto d = Recorder::Open(dir.path(), error, [] { return uint64_t{5}; });
    if (!d)
      _exit(10);
    FirstSession(*d);
    for (uint32_t done = 0; done < Written; done += 30)
      if (!Write(*d, 11'700 + done, 30).Good())
        _exit(11);
    _exit(::testing::Test::HasFailure() ? 12 : 0);  // as killed: the drive is never closed
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::string error;
  auto d = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(d) << error << "\n" << readFile(dir.at("drive.state"));
  Result track = TrackInfo(*d, 2);
  ASSERT_EQ(track.At(7) & 0x01, 1) << "NWA valid";
  const uint32_t nwa = track.U32(12);
  EXPECT_GT(nwa, 11'700u + Written - 2048) << "at most 4 MiB behind";
  EXPECT_LE(nwa, 11'700u + Written);
  std::vector<uint8_t> block(2048);
  ASSERT_TRUE(d->ReadBlocks(nwa - 1, block));
  EXPECT_EQ(block, Pattern(nwa - 1, 1, 3)) << "the blocks are on the disc";
  ExpectUnfinishedSecondSession(*d);
}

int Tool(const TempDir& dir, const std::string& args, std::string& output) {
  const std::string command = std::string(QNZB_VDRIVE_TOOL) + " --dir " + dir.path() + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe)
    return -1;
  output.clear();
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    output.append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StateFolder, ALockedTrayKeepsTheToolFromChangingTheDrive) {
  TempDir dir;
  std::string error;
  auto d = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(d) << error;
  ASSERT_GOOD(Write(*d, 0, 10));
  ASSERT_GOOD(Prevent(*d, true));
  std::string out;
  for (const char* command : {"insert dvd-r", "eject", "reset", "fault add write busy", "set page-30h=1"}) {
    EXPECT_EQ(Tool(dir, command, out), 1) << command;
    EXPECT_NE(out.find("the drive is in use by another program: its tray is locked"), std::string::npos) << out;
  }
  EXPECT_EQ(Tool(dir, "status", out), 0) << "looking is fine: " << out;
  EXPECT_EQ(d->State().Medium.Tracks().size(), 1u) << "the disc under the burn is still there";
  ASSERT_GOOD(Prevent(*d, false));
  EXPECT_EQ(Tool(dir, "insert dvd-r", out), 0) << out;
}

TEST(StateFolder, QueriesLeaveTheStateFileAlone) {
  TempDir dir;
  std::string error;
  {
    auto d = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(d) << error;
    FirstSession(*d);
  }
  const std::string before = readFile(dir.at("drive.state"));
  const FileStamp stamp = StampOf(dir.at("drive.state"));
  ASSERT_FALSE(before.empty());
  {
    // What an information query sends: the write-type probe (raw, session-
    // and track-at-once), the page for the medium, speeds, disc queries.
    auto d = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(d) << error;
    for (uint8_t type : {3, 2, 1, 1}) {
      std::vector<uint8_t> list(8, 0);
      WriteParamsPage page = DefaultWriteParams();
      page[2] = type;
      page[4] = type == 1 ? 0 : 8;
      list.insert(list.end(), page.begin(), page.end());
      (void)Exec(*d, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, ScsiDirection::Out, list);
    }
    EXPECT_GOOD(Exec(*d, {0xBB, 0, 0xFF, 0xFF, 0x10, 0x00, 0, 0, 0, 0, 0, 0}, ScsiDirection::None, {}));
    EXPECT_GOOD(Exec(*d, {0x00, 0, 0, 0, 0, 0}, ScsiDirection::None, {}));
    EXPECT_GOOD(DiscInfo(*d));
    EXPECT_GOOD(TrackInfo(*d, 1));
    EXPECT_GOOD(In(*d, Cdb10(0x43, 0, 100), 100));
  }
  EXPECT_EQ(readFile(dir.at("drive.state")), before);
  EXPECT_TRUE(StampOf(dir.at("drive.state")) == stamp) << "not even rewritten with the same text";
}

} // namespace
} // namespace qnzb::vdrive::test
