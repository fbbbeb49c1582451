// The state directory: the text state round-trips, garbage is refused with a
// clear error and left alone, a disc written by one process is read by
// another, the image holds each block at its address, and a running drive
// notices when another process changes its disc.

#include <gtest/gtest.h>

#include <sys/stat.h>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/TempDir.h"
#include "tests/vdrive/RecorderHarness.h"
#include "vdrive/VDriveCommand.h"

namespace qnzb::vdrive::test {
namespace {

using qnzb::test::readFile;
using qnzb::test::TempDir;

// A disc as the engine leaves it: one closed CD session (27 + 27 blocks,
// padded to 300) and an open track in the second session.
void BurnTwoTracks(Recorder& drive) {
  auto run = [&](std::vector<uint8_t> cdb, ScsiDirection d, std::vector<uint8_t> data) {
    Result r = Exec(drive, cdb, d, std::move(data));
    EXPECT_GOOD(r) << "opcode " << int(cdb[0]);
  };
  std::vector<uint8_t> list(8, 0);
  WriteParamsPage page = DefaultWriteParams();
  page[3] = 0xC4;  // next session allowed, data track
  list.insert(list.end(), page.begin(), page.end());
  run({0x55, 0x10, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(list.size()), 0}, ScsiDirection::Out, list);
  run({0x2A, 0, 0, 0, 0, 0, 0, 0, 27, 0}, ScsiDirection::Out, Pattern(0, 27, 7));
  run({0x2A, 0, 0, 0, 0, 27, 0, 0, 27, 0}, ScsiDirection::Out, Pattern(27, 27, 7));
  run({0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, ScsiDirection::None, {});
  // The second session starts 11400 blocks after the first one's end.
  run({0x2A, 0, 0, 0, 0x2D, 0xB4, 0, 0, 10, 0}, ScsiDirection::Out, Pattern(11'700, 10, 8));
}

TEST(StateText, RoundTripsEverything) {
  DriveState s;
  s.Config.Drive.Vendor = "PIONEER";
  s.Config.Drive.Product = "DVD-RW  DVR-104";
  s.Config.Drive.Page30 = true;
  s.Config.Drive.CdWriteSpeeds = {4234, 1411};
  s.Config.Time.RealTime = true;
  s.Config.Time.CloseMs = 1234;
  Harness h(s);
  h.Insert("dvd-r");
  ASSERT_GOOD(h.SetWriteParams(0, 3, false, 5));
  ASSERT_GOOD(h.ReserveTrack(64));
  ASSERT_GOOD(h.Write(0, 32));
  ASSERT_GOOD(h.SetCdSpeed(5000, 5540));
  FaultPlan plan;
  std::string error;
  plan.Add(*FaultPlan::ParseRule("write busy after=2 times=4 lba=16", error));
  h.drive.SetFaultPlan(plan);
  const DriveState state = h.drive.State();
  const std::string text = FormatState(state);
  auto parsed = ParseState(text, error);
  ASSERT_TRUE(parsed) << error << "\n" << text;
  EXPECT_EQ(FormatState(*parsed), text);
  EXPECT_EQ(parsed->Medium.Tracks().size(), 1u);
  EXPECT_EQ(parsed->Medium.Tracks()[0].Recorded, 32u);
  EXPECT_TRUE(parsed->Medium.Tracks()[0].Reserved);
  EXPECT_EQ(parsed->Config.Drive.Product, "DVD-RW  DVR-104");
  EXPECT_EQ(parsed->WriteSpeed, 5540);
}

TEST(StateText, GarbageIsRefusedWithAReason) {
  const std::string valid = FormatState(DriveState{});
  auto replace = [&](const std::string& what, const std::string& with) {
    std::string t = valid;
    const size_t at = t.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return at == std::string::npos ? t : t.replace(at, what.size(), with);
  };
  const struct {
    const char* What;
    std::string Text;
    const char* Reason;
  } cases[] = {
      {"binary junk", std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10), "line 1"},
      {"empty", "", "not a virtual recorder state"},
      {"no version", replace("version=1\n", ""), "not a virtual recorder state"},
      {"future version", replace("version=1", "version=2"), "unsupported version"},
      {"unknown key", valid + "colour=blue\n", "unknown key"},
      {"no equals sign", valid + "medium cd-r\n", "expected key=value"},
      {"bad number", replace("capacity=359849", "capacity=lots"), "capacity"},
      {"capacity zero", replace("capacity=359849", "capacity=0"), "capacity out of range"},
      {"unknown medium", replace("medium=cd-r", "medium=floppy"), "unknown medium"},
      {"bad track", valid + "track=1 1 0\n", "track needs"},
      {"track beyond the disc", replace("next-start=0", "next-start=359849") + "track=1 1 359000 900 900 c\n",
       "beyond the capacity"},
      {"overlapping tracks",
       replace("closed-sessions=0", "closed-sessions=1") + "track=1 1 0 500 500 c\ntrack=2 2 400 0 10 -\n",
       "overlap"},
      {"open track in a closed session", replace("closed-sessions=0", "closed-sessions=1") + "track=1 1 0 0 10 -\n",
       "open track in a closed session"},
      {"next track inside the last one", replace("next-start=0", "next-start=100") + "track=1 1 0 300 300 c\n",
       "next track start"},
      {"open track away from the next start", valid + "track=1 1 16 0 10 -\n", "next track start"},
      {"tracks on DVD+RW", replace("medium=cd-r", "medium=dvd+rw") + "track=1 1 0 0 10 -\n", "overwritable"},
      {"short write parameters", replace("write-params=0532", "write-params=05"), "write-params"},
      {"raw write type", replace("write-params=053201", "write-params=053203"), "write-params"},
      {"bad fault", valid + "fault=write explode\n", "fault"},
      {"bad speed list", valid + "cd-write-speeds=fast\n", "cd-write-speeds"},
      {"overlong vendor", valid + "vendor=MUCH TOO LONG\n", "vendor"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.What);
    std::string error;
    EXPECT_FALSE(ParseState(k.Text, error));
    EXPECT_NE(error.find(k.Reason), std::string::npos) << error;
  }
}

TEST(StateDirectoryTest, AnUnreadableStateIsReportedAndLeftAlone) {
  TempDir dir;
  const std::string garbage = "version=1\nmedium=cd-r\ntrack=9 9 9\n";
  dir.write("drive.state", garbage);
  std::string error;
  EXPECT_EQ(Recorder::Open(dir.path(), error), nullptr);
  EXPECT_NE(error.find(dir.at("drive.state")), std::string::npos) << error;
  EXPECT_NE(error.find("line 3"), std::string::npos) << error;
  EXPECT_EQ(readFile(dir.at("drive.state")), garbage);
  dir.writeSparse("drive.state", 4 << 20);
  EXPECT_EQ(Recorder::Open(dir.path(), error), nullptr);
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
}

#if !defined(_WIN32)
TEST(StateDirectoryTest, ADiscWrittenByOneProcessIsReadByAnother) {
  TempDir dir;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto drive = Recorder::Open(dir.path(), error);
    if (!drive)
      _exit(10);
    BurnTwoTracks(*drive);
    drive.reset();  // the state is saved when the drive goes
    _exit(::testing::Test::HasFailure() ? 11 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::string error;
  auto drive = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(drive) << error << "\n" << readFile(dir.at("drive.state"));
  Result toc = Exec(*drive, {0x43, 0, 0, 0, 0, 0, 0, 0, 20, 0}, ScsiDirection::In, std::vector<uint8_t>(20));
  ASSERT_GOOD(toc);
  EXPECT_EQ(toc.U32(16), 300u) << "lead-out of the closed session";
  Result read = Exec(*drive, {0x28, 0, 0, 0, 0, 0, 0, 0, 54, 0}, ScsiDirection::In, std::vector<uint8_t>(54 * 2048));
  ASSERT_GOOD(read);
  std::vector<uint8_t> expected = Pattern(0, 27, 7);
  const auto second = Pattern(27, 27, 7);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(read.Data, expected);
  const DriveState state = drive->State();
  ASSERT_EQ(state.Medium.Tracks().size(), 2u);
  EXPECT_EQ(state.Medium.Tracks()[1].Start, 11'700u);
  EXPECT_EQ(state.Medium.Tracks()[1].Recorded, 10u) << "the open track survived too";
}
#endif

TEST(StateDirectoryTest, TheImageHoldsEachBlockAtItsAddressAndStaysSparse) {
  TempDir dir;
  {
    std::string error;
    auto drive = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(drive) << error;
    BurnTwoTracks(*drive);
  }
  const std::string image = readFile(dir.at("disc.img"));
  ASSERT_EQ(image.size(), (11'700u + 10) * 2048);
  const auto first = Pattern(0, 27, 7);
  EXPECT_EQ(image.substr(0, first.size()), std::string(first.begin(), first.end()));
  const auto later = Pattern(11'700, 10, 8);
  EXPECT_EQ(image.substr(11'700u * 2048), std::string(later.begin(), later.end()));
#if !defined(_WIN32)
  struct stat st {};
  ASSERT_EQ(stat(dir.at("disc.img").c_str(), &st), 0);
  EXPECT_LT(static_cast<int64_t>(st.st_blocks) * 512, st.st_size / 4) << "the gap is a hole";
#endif
}

TEST(StateDirectoryTest, ASingleSessionImageReadsAsAnIsoImage) {
  if (std::system("command -v xorriso >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "xorriso not installed";
  TempDir dir;
  dir.write("tree/hello.txt", "hello from the virtual recorder\n");
  const std::string iso = dir.at("in.iso");
  ASSERT_EQ(std::system(("xorriso -outdev " + iso + " -map " + dir.at("tree") + " / >/dev/null 2>&1").c_str()), 0);
  const std::string bytes = readFile(iso);
  ASSERT_EQ(bytes.size() % 2048, 0u);
  const auto blocks = static_cast<uint32_t>(bytes.size() / 2048);
  {
    std::string error;
    auto drive = Recorder::Open(dir.at("state"), error);
    ASSERT_TRUE(drive) << error;
    auto choice = ParseMediumName("dvd+r");
    drive->Insert(*choice);
    for (uint32_t lba = 0; lba < blocks; lba += 32) {
      const uint32_t n = std::min<uint32_t>(32, blocks - lba);
      std::vector<uint8_t> data(bytes.begin() + lba * 2048, bytes.begin() + (lba + n) * 2048);
      std::vector<uint8_t> cdb{0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0};
      Put32(cdb, 2, lba);
      Put16(cdb, 7, n);
      ASSERT_GOOD(Exec(*drive, cdb, ScsiDirection::Out, std::move(data)));
    }
    ASSERT_GOOD(Exec(*drive, {0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0}, ScsiDirection::None));
  }
  const std::string listing = dir.at("listing.txt");
  ASSERT_EQ(std::system(("xorriso -indev " + dir.at("state/disc.img") + " -find / -name hello.txt >" + listing +
                         " 2>/dev/null")
                            .c_str()),
            0);
  EXPECT_NE(readFile(listing).find("hello.txt"), std::string::npos);
}

TEST(StateDirectoryTest, ARunningDriveNoticesAnotherProcessChangingTheDisc) {
  TempDir dir;
  std::string error;
  auto drive = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(drive) << error;
  BurnTwoTracks(*drive);
  std::ostringstream out, err;
  ASSERT_EQ(RunVDriveCommand({"--dir", dir.path(), "insert", "dvd+rw-formatted"}, out, err), 0) << err.str();
  Result config = Exec(*drive, {0x46, 0, 0, 0, 0, 0, 0, 0, 16, 0}, ScsiDirection::In, std::vector<uint8_t>(16));
  ASSERT_GOOD(config);
  EXPECT_EQ(config.U16(6), 0x001A) << "the new disc is a DVD+RW";
  Result block = Exec(*drive, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, ScsiDirection::In, std::vector<uint8_t>(2048, 0xEE));
  ASSERT_GOOD(block);
  EXPECT_EQ(block.Data, std::vector<uint8_t>(2048, 0)) << "none of the old disc's blocks";
}

} // namespace
} // namespace qnzb::vdrive::test
