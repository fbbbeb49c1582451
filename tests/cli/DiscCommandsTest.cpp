// qnzb-cli info, load, eject, ready and erase against a virtual recorder
// attached in-process to a drive letter.

#include <filesystem>
#include <memory>

#include "cli/CliContext.h"
#include "cli/CliFixture.h"
#include "cli/RawSession.h"
#include "cli/DeviceOptions.h"
#include "engine/device/DiscSummary.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Clock.h"
#include "platform/ScsiPassThrough.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

class DiscCommands : public CliTest {
protected:
  DiscCommands() {
    platform::TSimulatedDrive drive;
    drive.Device = &recorder;
    drive.Address = platform::SCSI_ADDRESS{};
    EXPECT_TRUE(platform::AttachSimulatedDrive('E', drive));
  }
  ~DiscCommands() override { platform::DetachAllSimulatedDrives(); }

  void Insert(const char* medium) { recorder.Insert(*vdrive::ParseMediumName(medium)); }

  // A first session of `blocks` sectors written track at once, left open for more.
  void RecordSession(uint16_t blocks) { WriteRawSession(recorder, 0x01, 0xC4, 0, blocks, 0x42); }

  TScopedEnv drives_{"QNZB_DRIVES", std::string()};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
  vdrive::Recorder recorder;
};

TEST_F(DiscCommands, InfoShowsTheMediumAndItsSessions) {
  Insert("cd-r");
  RecordSession(1024);
  const TCliRun run = Run({"info"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Medium      : CD-R\n"
            "Disc Size   : 703.12 MB\n"
            "Used Space  : 24.27 MB,  Sessions : 1\n"
            "Free Space  : 678.56 MB, Disc is Open\n"
            " Number     Start     Size\n"
            "  001           0      2 MB\n");

  Insert("none");
  // The engine's ready wait passes on a virtual clock.
  const TScopedVirtualClock clock;
  const TCliRun empty = Run({"info"});
  EXPECT_EQ(empty.status, cli::ExitFailure);
  EXPECT_EQ(empty.out, "");
  EXPECT_NE(empty.err.find("qnzb-cli: no disc information: NOT READY (MEDIUM NOT PRESENT"), std::string::npos)
      << empty.err;
}

// Overwritable discs take more sessions whatever their disc status says.
TEST_F(DiscCommands, InfoCallsOverwritableDiscsOpen) {
  for (const char* medium : {"dvd-ram", "dvd+rw-formatted"}) {
    SCOPED_TRACE(medium);
    Insert(medium);
    const TCliRun run = Run({"info"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Disc is Open\n"), std::string::npos) << run.out;
  }
}

TEST_F(DiscCommands, TrayCommands) {
  Insert("dvd+r");
  TCliRun run = Run({"ready"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find(">>> DRIVE IS READY\n"), std::string::npos) << run.err;
  run = Run({"eject"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find(">>> EJECT MEDIUM COMMAND DONE.\n"), std::string::npos) << run.err;
  run = Run({"ready"});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find(">>> DRIVE IS NOT READY \n"), std::string::npos) << run.err;
  run = Run({"load", "--quiet"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Run({"ready"}).status, 0);
}

// A DVD-ROM drive that has no READ TRACK INFORMATION, with a closed disc: the
// disc's size is what it holds, and the drive offers no write speed.
TEST_F(DiscCommands, AReadOnlyDriveWithAClosedDisc) {
  const TScopedVirtualClock clock;
  Insert("dvd+r");
  tmp.write("src/a.txt", std::string(5000, 'a'));
  ASSERT_EQ(Run({"burn", "--close-disc", tmp.at("src")}).status, 0);
  vdrive::DriveConfig config;
  config.Drive.ReadOnly = true;
  config.Drive.ReadTrackInformation = false;
  recorder.SetConfig(config);

  const uint32_t recorded = recorder.State().Medium.RecordedEnd();
  const TCliRun info = Run({"info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out, "Medium      : DVD-ROM\n"
                      "Disc Size   : " + BlocksAsMegabytes(recorded) + "\n"
                      "Used Space  : " + BlocksAsMegabytes(recorded) + ",  Sessions : 1\n"
                      "Free Space  : 0.00 MB, Disc Closed/Finalized\n"
                      " Number     Start     Size\n" +
                      SessionLine(1, 0, recorded) + "\n");
  const TCliRun caps = Run({"caps"});
  ASSERT_EQ(caps.status, 0) << caps.err;
  EXPECT_NE(caps.out.find("Capabilities: ReadCDR ReadCDRW ReadDVD ReadDVDR ReadDVDRW ReadDVDRAM ReadDVDPR "
                          "ReadDVDPRW\nMax Write Speed : none\nMax Read Speed  : 22160 KB/s\n"
                          "Write Speeds: none (the drive writes no medium)\n"),
            std::string::npos)
      << caps.out;
}

TEST_F(DiscCommands, EraseChecksTheDiscFirst) {
  Insert("cd-r");
  TCliRun run = Run({"erase", "--quick"});
  EXPECT_EQ(run.status, cli::ExitFailure);
  EXPECT_NE(run.err.find("qnzb-cli: Disc is not Erasable\n"), std::string::npos) << run.err;
  EXPECT_EQ(recorder.State().Medium.Kind(), vdrive::MediumKind::CdR);

  EXPECT_EQ(Run({"erase"}).status, cli::ExitUsage);
  EXPECT_EQ(Run({"erase", "--quick", "--complete"}).status, cli::ExitUsage);

  Insert("cd-rw");
  RecordSession(300);
  run = Run({"erase", "--quick", "--speed", "16X"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, ">>> ERASE PROCESS DONE\n");
  const TCliRun info = Run({"info"});
  EXPECT_NE(info.out.find("Sessions : 0"), std::string::npos) << info.out;
}

#if !defined(_WIN32)
// A drive on a device node (a file standing in for /dev/sr0, its SG_IO
// requests answered by the recorder) and a mount table of the test's own.
class MountedDisc : public CliTest {
protected:
  MountedDisc() {
    tmp.write("dev/sr0", "");
    std::filesystem::create_symlink("sr0", tmp.at("dev/cdrom"));
    platform::SetSgIoHook([this](int, platform::TSgIoRequest& r) {
      using TDirection = platform::TSgIoRequest::TDirection;
      const ScsiDirection direction = r.Direction == TDirection::FromDevice ? ScsiDirection::In
                                      : r.Direction == TDirection::ToDevice ? ScsiDirection::Out
                                                                            : ScsiDirection::None;
      const ScsiOutcome outcome = recorder.Execute(std::span<const uint8_t>(r.Cdb, r.CdbLength),
                                                   std::span<uint8_t>(static_cast<uint8_t*>(r.Data), r.DataLength),
                                                   direction, std::span<uint8_t>(r.Sense, r.SenseCapacity));
      r.Status = outcome.Status;
      r.SenseWritten = outcome.SenseLength;
      r.Residual = static_cast<int32_t>(r.DataLength - outcome.Transferred);
      return 0;
    });
  }
  ~MountedDisc() override { platform::SetSgIoHook(nullptr); }

  TScopedEnv mounts_{"QNZB_MOUNTS", tmp.at("mounts")};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
  vdrive::Recorder recorder;
};

TEST_F(MountedDisc, EjectRefusesADiscTheSystemHasMounted) {
  const struct {
    const char* What;
    std::string Node;   // the drive's device node
    std::string Table;  // the mount table
    const char* MountedAt;  // nullptr: not mounted
  } rows[] = {
      {"the node", "dev/sr0", tmp.at("dev/sr0") + " /media/disc iso9660 ro 0 0\n", "/media/disc"},
      {"the node through its link", "dev/cdrom", tmp.at("dev/sr0") + " /media/disc iso9660 ro 0 0\n", "/media/disc"},
      {"mounted through the link", "dev/sr0",
       "proc /proc proc rw 0 0\n" + tmp.at("dev/cdrom") + " /media/My\\040Disc udf ro 0 0\n", "/media/My Disc"},
      {"another device mounted", "dev/sr0", "/dev/sda1 / ext4 rw 0 0\n", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.What);
    const TScopedEnv drives("QNZB_DRIVES", "E=" + tmp.at(row.Node));
    tmp.write("mounts", row.Table);
    recorder.Insert(*vdrive::ParseMediumName("dvd+r"));
    const TCliRun run = Run({"eject"});
    if (row.MountedAt) {
      EXPECT_EQ(run.status, cli::ExitFailure);
      EXPECT_NE(run.err.find(std::string("qnzb-cli: the disc is mounted at ") + row.MountedAt +
                             ": unmount it first\n"),
                std::string::npos)
          << run.err;
      EXPECT_FALSE(recorder.State().TrayOpen);
    } else {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(recorder.State().TrayOpen);
    }
  }
}
#endif

TEST_F(DiscCommands, NothingIsSentWhileTheDriveErases) {
  std::ostringstream out, err;
  cli::TCliContext context(out, err);
  TQNZBurner burner(nullptr);
  EXPECT_TRUE(cli::DriveIsFree(burner, context));
  burner.Erasing = true;
  EXPECT_FALSE(cli::DriveIsFree(burner, context));
  burner.Erasing = false;
  EXPECT_EQ(err.str(), "qnzb-cli: the drive is erasing: wait until the erase has ended, then try again\n");
}

} // namespace
} // namespace qnzb::test
