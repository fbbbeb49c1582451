// qnzb-cli caps: the capability names, maximum speeds and accepted write
// speeds of a virtual recorder attached in-process to a drive letter.

#include <memory>

#include "cli/CliFixture.h"
#include "platform/ScsiPassThrough.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

class CapsCommand : public CliTest {
protected:
  ~CapsCommand() override { platform::DetachAllSimulatedDrives(); }

  void Attach(vdrive::Recorder& recorder) {
    platform::TSimulatedDrive drive;
    drive.Device = &recorder;
    drive.Address = platform::SCSI_ADDRESS{};
    ASSERT_TRUE(platform::AttachSimulatedDrive('E', drive));
  }

  TScopedEnv drives_{"QNZB_DRIVES", std::string()};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
};

TEST_F(CapsCommand, AFullRecorderWithACd) {
  vdrive::Recorder recorder;
  Attach(recorder);
  const TCliRun shown = Run({"caps"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out,
            "0:0:0,E: QNZB    VIRTUAL RECORDER1.00\n"
            "Capabilities: ReadCDR ReadCDRW ReadDVD ReadDVDR ReadDVDRW ReadDVDRAM ReadDVDPR ReadDVDPRW WriteCDR "
            "WriteCDRW WriteTest WriteDVDR WriteDVDRW WriteDVDRAM WriteDVDPR WriteDVDPRW UnderrunProtection\n"
            "Max Write Speed : 7056 KB/s\n"
            "Max Read Speed  : 7056 KB/s\n"
            "Write Speeds: Max, 40X (7,056 KB/s), 32X (5,645 KB/s), 24X (4,234 KB/s), 16X (2,822 KB/s), "
            "8X (1,411 KB/s), 4X (706 KB/s)\n");
}

TEST_F(CapsCommand, ACdRecorderWithADvdSpeedTableOnADvd) {
  vdrive::DriveState state;
  auto& id = state.Config.Drive;
  id.ReadDvdMinus = id.ReadDvdRam = id.ReadDvdPlus = false;
  id.WriteDvdMinusR = id.WriteDvdMinusRw = id.WriteDvdRam = id.WriteDvdPlusR = id.WriteDvdPlusRw = false;
  id.UnderrunProtection = false;
  id.TestWrite = false;
  id.DvdWriteSpeeds = {5540, 2770};
  id.DvdReadSpeeds = {11080};
  vdrive::Recorder recorder(state);
  recorder.Insert(*vdrive::ParseMediumName("dvd+rw"));
  Attach(recorder);
  const TCliRun run = Run({"caps", "--drive", "0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "0:0:0,E: QNZB    VIRTUAL RECORDER1.00\n"
            "Capabilities: ReadCDR ReadCDRW ReadDVD WriteCDR WriteCDRW\n"
            "Max Write Speed : 5540 KB/s\n"
            "Max Read Speed  : 11080 KB/s\n"
            "Write Speeds: Max, 4.0X (5,540 KB/s), 2.0X (2,770 KB/s)\n");
}

TEST_F(CapsCommand, ALineThatIsNotThere) {
  vdrive::Recorder recorder;
  Attach(recorder);
  const TCliRun run = Run({"caps", "--drive", "1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("no drive 1"), std::string::npos) << run.err;
}

} // namespace
} // namespace qnzb::test
