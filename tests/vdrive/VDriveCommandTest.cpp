// The vdrive command (qnzb-cli vdrive, qnzb-vdrive): managing the medium,
// the fault plan and the configuration in a state directory, its exit
// statuses, and the standalone tool reading a disc another process wrote.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "support/TempDir.h"
#include "tests/vdrive/RecorderHarness.h"
#include "vdrive/VDriveCommand.h"

namespace qnzb::vdrive::test {
namespace {

using qnzb::test::readFile;
using qnzb::test::TempDir;

struct CommandRun {
  int Status;
  std::string Out;
  std::string Err;
};

CommandRun Vdrive(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"--dir", dir.path()});
  std::ostringstream out, err;
  const int status = RunVDriveCommand(args, out, err);
  return {status, out.str(), err.str()};
}

DriveState Load(const TempDir& dir) {
  StateDirectory state(dir.path());
  DriveState s;
  std::string error;
  EXPECT_TRUE(state.Load(s, error)) << error;
  return s;
}

TEST(VDriveCommand, InsertStatusEjectReset) {
  TempDir dir;
  CommandRun status = Vdrive(dir, {"status"});
  ASSERT_EQ(status.Status, 0) << status.Err;
  EXPECT_NE(status.Out.find("medium: CD-R, 359849 blocks"), std::string::npos) << "a fresh drive has a blank CD-R\n"
                                                                                 << status.Out;
  EXPECT_NE(status.Out.find("disc: blank"), std::string::npos);

  const struct {
    const char* Kind;
    MediumKind Expected;
    uint16_t Profile;
    const char* Shown;
  } kinds[] = {
      {"cd-rw", MediumKind::CdRw, 0x000A, "medium: CD-RW"},
      {"DVD-R", MediumKind::DvdMinusR, 0x0011, "medium: DVD-R,"},
      {"dvd-rw", MediumKind::DvdMinusRw, 0x0014, "DVD-RW (sequential)"},
      {"dvd-rw-ro", MediumKind::DvdMinusRw, 0x0013, "disc: formatted, 2295104 blocks formatted"},
      {"dvd+r", MediumKind::DvdPlusR, 0x001B, "medium: DVD+R,"},
      {"dvd+rw", MediumKind::DvdPlusRw, 0x001A, "disc: unformatted"},
      {"dvd+rw-formatted", MediumKind::DvdPlusRw, 0x001A, "disc: formatted"},
      {"dvd-ram", MediumKind::DvdRam, 0x0012, "medium: DVD-RAM, 2236704 blocks"},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.Kind);
    CommandRun insert = Vdrive(dir, {"insert", k.Kind});
    ASSERT_EQ(insert.Status, 0) << insert.Err;
    const DriveState s = Load(dir);
    EXPECT_EQ(s.Medium.Kind(), k.Expected);
    EXPECT_EQ(s.Medium.Profile(), k.Profile);
    EXPECT_NE(Vdrive(dir, {"status"}).Out.find(k.Shown), std::string::npos) << Vdrive(dir, {"status"}).Out;
  }
  std::ostringstream out, err;
  const std::string fresh = dir.at("not/yet/there");
  ASSERT_EQ(RunVDriveCommand({"insert", "dvd-r", "--dir", fresh}, out, err), 0) << err.str();
  EXPECT_NE(readFile(fresh + "/drive.state").find("medium=dvd-r"), std::string::npos) << "directories created";
  ASSERT_EQ(Vdrive(dir, {"insert", "cd-r", "--capacity", "333000"}).Status, 0);
  EXPECT_EQ(Load(dir).Medium.Capacity(), 333'000u);
  ASSERT_EQ(Vdrive(dir, {"eject"}).Status, 0);
  EXPECT_FALSE(Load(dir).Medium.Present());
  EXPECT_NE(Vdrive(dir, {"status"}).Out.find("medium: none"), std::string::npos);
  ASSERT_EQ(Vdrive(dir, {"set", "vendor=PLEXTOR"}).Status, 0);
  ASSERT_EQ(Vdrive(dir, {"reset"}).Status, 0);
  EXPECT_EQ(Load(dir).Medium.Kind(), MediumKind::CdR);
  EXPECT_EQ(Load(dir).Config.Drive.Vendor, "QNZB");
}

TEST(VDriveCommand, StatusShowsTheTracksAnotherDriveWrote) {
  TempDir dir;
  {
    std::string error;
    auto drive = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(drive) << error;
    drive->Insert(*ParseMediumName("dvd+r"));
    ASSERT_GOOD(Exec(*drive, {0x2A, 0, 0, 0, 0, 0, 0, 0, 32, 0}, ScsiDirection::Out, Pattern(0, 32)));
    ASSERT_GOOD(Exec(*drive, {0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0}, ScsiDirection::None));
    ASSERT_GOOD(Exec(*drive, {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, ScsiDirection::None));
  }
  // The standalone tool, a process of its own, reads what this one wrote.
  const std::string command = std::string(QNZB_VDRIVE_TOOL) + " --dir " + dir.path() + " status";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  char chunk[256];
  while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
    text.append(chunk, n);
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_NE(text.find("disc: appendable, 1 complete session(s)"), std::string::npos) << text;
  EXPECT_NE(text.find("track 1 (session 1): start 0, 32 blocks, closed"), std::string::npos) << text;
  EXPECT_NE(text.find("next writable address: " + std::to_string(32 + DvdFirstSessionGap)), std::string::npos) << text;
}

TEST(VDriveCommand, InsertEmptiesTheImage) {
  TempDir dir;
  {
    std::string error;
    auto drive = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(drive) << error;
    drive->Insert(*ParseMediumName("dvd-ram"));
    ASSERT_GOOD(Exec(*drive, {0x2A, 0, 0, 0, 0, 0, 0, 0, 4, 0}, ScsiDirection::Out, Pattern(0, 4)));
  }
  EXPECT_EQ(readFile(dir.at("disc.img")).size(), 4u * 2048);
  ASSERT_EQ(Vdrive(dir, {"insert", "dvd-ram"}).Status, 0);
  EXPECT_EQ(readFile(dir.at("disc.img")).size(), 0u) << "a new disc has no old blocks";
}

TEST(VDriveCommand, FaultPlanAndConfiguration) {
  TempDir dir;
  ASSERT_EQ(Vdrive(dir, {"fault", "add", "write", "busy", "after=3", "times=2"}).Status, 0);
  ASSERT_EQ(Vdrive(dir, {"fault", "add", "any", "tray-open", "after=100"}).Status, 0);
  CommandRun list = Vdrive(dir, {"fault", "list"});
  EXPECT_EQ(list.Out, "write busy after=3 times=2\nany tray-open after=100 times=1\n");
  EXPECT_EQ(Load(dir).Faults.Rules().size(), 2u);
  ASSERT_EQ(Vdrive(dir, {"fault", "clear"}).Status, 0);
  EXPECT_TRUE(Load(dir).Faults.Empty());

  ASSERT_EQ(Vdrive(dir, {"set", "product=DVD-RW  DVR-103", "page-30h=1", "cd-write-speeds=4234,2822"}).Status, 0);
  const DriveState s = Load(dir);
  EXPECT_EQ(s.Config.Drive.Product, "DVD-RW  DVR-103");
  EXPECT_TRUE(s.Config.Drive.Page30);
  EXPECT_EQ(s.Config.Drive.CdWriteSpeeds, (std::vector<uint16_t>{4234, 2822}));
  EXPECT_NE(Vdrive(dir, {"config"}).Out.find("page-30h=1\n"), std::string::npos);
  // Dropping test write from a drive whose page has the bit set resets the page.
  {
    std::string error;
    auto drive = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(drive);
    WriteParamsPage page = DefaultWriteParams();
    page[2] |= 0x10;
    std::vector<uint8_t> list8(8, 0);
    list8.insert(list8.end(), page.begin(), page.end());
    ASSERT_GOOD(Exec(*drive, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, ScsiDirection::Out, list8));
  }
  ASSERT_EQ(Vdrive(dir, {"set", "test-write=0"}).Status, 0);
  EXPECT_EQ(Load(dir).WriteParams[2] & 0x10, 0);
}

TEST(VDriveCommand, UsageErrorsAndUnreadableStates) {
  TempDir dir;
  const struct {
    std::vector<std::string> Args;
    const char* Message;
  } usage[] = {
      {{}, "a command is needed"},
      {{"spin"}, "unknown command"},
      {{"insert"}, "insert needs one KIND"},
      {{"insert", "floppy"}, "unknown medium"},
      {{"insert", "cd-r", "--capacity", "0"}, "--capacity needs"},
      {{"status", "--capacity", "5"}, "--capacity goes with insert"},
      {{"status", "now"}, "takes no arguments"},
      {{"fault", "add", "write"}, "needs a command and a kind"},
      {{"fault", "remove"}, "fault needs"},
      {{"set", "colour=blue"}, "unknown key"},
      {{"set", "vendor"}, "KEY=VALUE"},
      {{"--bogus", "status"}, "unknown option"},
  };
  for (const auto& u : usage) {
    SCOPED_TRACE(u.Message);
    CommandRun r = Vdrive(dir, u.Args);
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find(u.Message), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("usage:"), std::string::npos);
  }
  std::ostringstream out, err;
  EXPECT_EQ(RunVDriveCommand({"--help"}, out, err), 0);
  EXPECT_NE(out.str().find("insert KIND"), std::string::npos);

  dir.write("drive.state", "this is not a state file\n");
  for (const char* command : {"status", "eject", "config"}) {
    CommandRun r = Vdrive(dir, {command});
    EXPECT_EQ(r.Status, 1) << command;
    EXPECT_NE(r.Err.find("expected key=value"), std::string::npos) << r.Err;
  }
  EXPECT_EQ(readFile(dir.at("drive.state")), "this is not a state file\n") << "left alone";
  CommandRun insert = Vdrive(dir, {"insert", "dvd+r"});
  EXPECT_EQ(insert.Status, 0);
  EXPECT_NE(insert.Err.find("replacing a state that can't be read"), std::string::npos);
  EXPECT_EQ(Load(dir).Medium.Kind(), MediumKind::DvdPlusR);
}

} // namespace
} // namespace qnzb::vdrive::test
