// burn and burn-iso refuse what the disc can't take with the engine's own
// words, on one error line, before anything reaches the disc; a virtual
// recorder attached in-process, the engine's waits on a virtual clock.

#include "cli/CliContext.h"
#include "cli/CliFixture.h"
#include "engine/runtime/Clock.h"
#include "platform/ScsiPassThrough.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

class BurnChecksCommand : public CliTest {
protected:
  BurnChecksCommand() {
    platform::TSimulatedDrive drive;
    drive.Device = &recorder;
    drive.Address = platform::SCSI_ADDRESS{};
    EXPECT_TRUE(platform::AttachSimulatedDrive('E', drive));
    tmp.write("files/a.bin", std::string(3 << 20, 'a'));
  }
  ~BurnChecksCommand() override { platform::DetachAllSimulatedDrives(); }

  TScopedEnv drives_{"QNZB_DRIVES", std::string()};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
  TScopedVirtualClock clock;
  vdrive::Recorder recorder;
};

TEST_F(BurnChecksCommand, RefusalsAreOneErrorLineAndTheDiscIsUntouched) {
  ASSERT_EQ(Run({"build-iso", "--quick", tmp.at("image.iso"), tmp.at("files")}).status, 0);
  const struct {
    const char* Medium;
    uint32_t Capacity;
    std::vector<std::string> Args;
    std::string Error;  // the start of the one error line
  } rows[] = {
      {"dvd+r", 0, {"burn", "--test-write", tmp.at("files")}, "DVD+R DISCS HAVE NO TEST WRITE"},
      {"dvd-ram", 0, {"burn-iso", "--test-write", tmp.at("image.iso")}, "DVD-RAM DISCS HAVE NO TEST WRITE"},
      {"cd-r", 1000, {"burn", tmp.at("files")}, "THE SESSION NEEDS 3."},
      {"dvd+r", 1024, {"burn-iso", tmp.at("image.iso")}, "THE IMAGE NEEDS 3."},
      {"none", 0, {"burn", tmp.at("files")}, "NO DISC IN THE DRIVE: INSERT A BLANK OR APPENDABLE DISC"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Error);
    recorder.Insert(*vdrive::ParseMediumName(row.Medium), row.Capacity);
    const TCliRun run = Run(row.Args);
    EXPECT_EQ(run.status, cli::ExitFailure);
    const std::string line = "qnzb-cli: " + row.Error;
    EXPECT_NE(run.err.find(line), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(line), run.err.rfind("qnzb-cli: ")) << run.err;
    EXPECT_EQ(run.out.find("PROCESS DONE ("), std::string::npos) << run.out;
    EXPECT_TRUE(recorder.State().Medium.Tracks().empty());
  }
}

} // namespace
} // namespace qnzb::test
