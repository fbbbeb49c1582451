// qnzb-cli drives: the device list lines of drives attached in-process to
// simulated letters, --drive, a machine without any drive and, run as its
// own program, the virtual recorder's library next to it.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "cli/CliFixture.h"
#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "support/FakeNodes.h"

namespace qnzb::test {
namespace {

// A drive that only answers INQUIRY: type, vendor, product, revision.
class TInquiryDrive final : public SimulatedDevice {
public:
  TInquiryDrive(uint8_t type, const std::string& identification) {
    data_[0] = type;
    data_[4] = 31;
    for (size_t i = 0; i < identification.size() && 8 + i < data_.size(); ++i)
      data_[8 + i] = static_cast<uint8_t>(identification[i]);
  }
  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection,
                      std::span<uint8_t>) override {
    ScsiOutcome outcome;
    if (!cdb.empty() && cdb[0] == 0x12) {
      const size_t n = std::min(data.size(), data_.size());
      std::copy_n(data_.begin(), n, data.begin());
      outcome.Transferred = static_cast<uint32_t>(n);
    }
    return outcome;
  }

private:
  std::array<uint8_t, 96> data_{};
};

platform::TSimulatedDrive At(SimulatedDevice* device, uint8_t port) {
  platform::TSimulatedDrive drive;
  drive.Device = device;
  platform::SCSI_ADDRESS address{};
  address.PortNumber = port;
  drive.Address = address;
  return drive;
}

class DrivesCommand : public CliTest {
protected:
  ~DrivesCommand() override { platform::DetachAllSimulatedDrives(); }
  TScopedEnv drives_{"QNZB_DRIVES", std::string()};
  TScopedEnv vdrive_{"QNZB_VDRIVE", tmp.at("vdrive")};
};

TEST_F(DrivesCommand, ListsEveryDriveLine) {
  TInquiryDrive first(0x05, "VENDOR01PRODUCT ONE     1.10");
  TInquiryDrive second(0x05, "VENDOR02PRODUCT TWO     2.20");
  TInquiryDrive worm(0x04, "VENDOR03WORM            3.30");
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', At(&first, 0)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('F', At(&second, 1)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('G', At(&worm, 2)));

  TCliRun run = Run({"drives"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "0:0:0,E: VENDOR01PRODUCT ONE     1.10\n"
            "1:0:0,F: VENDOR02PRODUCT TWO     2.20\n"
            "2:0:0,G: VENDOR03WORM            3.30 (not supported)\n");

  // Every run starts from a fresh scan: a drive gone is gone from the list,
  // and the adapters are numbered again.
  platform::DetachSimulatedDrive('F');
  run = Run({"drives"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "0:0:0,E: VENDOR01PRODUCT ONE     1.10\n"
            "1:0:0,G: VENDOR03WORM            3.30 (not supported)\n");
  run = Run({"drives", "--drive", "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "1:0:0,G: VENDOR03WORM            3.30 (not supported)\n");
}

#if !defined(_WIN32)
TEST_F(DrivesCommand, RealNodesAndTheDrivesThatWereSkipped) {
  TInquiryDrive drive(0x05, "VENDOR01PRODUCT ONE     1.10");
  TFakeNodes nodes(tmp);
  TFakeNodes::TNode& denied = nodes.Add('D', &drive, platform::TScsiIdLun{0, 0, 0, 0});
  denied.OpenError = EACCES;  // a user outside the node's group
  const std::string usb = nodes.Add('E', &drive, platform::TScsiIdLun{10, 0, 0, 0}).Path;
  TFakeNodes::TNode& readOnly = nodes.Add('F', &drive, platform::TScsiIdLun{3, 0, 0, 0});
  readOnly.ReadWriteError = EACCES;

  TCliRun run = Run({"drives"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string first = "0:0:0,E: VENDOR01PRODUCT ONE     1.10  " + usb + " (host 10)";
  const std::string second = "1:0:0,F: VENDOR01PRODUCT ONE     1.10  " + readOnly.Path + " (host 3, read-only)";
  EXPECT_EQ(run.out, first + "\n" + second + "\n");
  EXPECT_NE(run.err.find("warning: drive D: (" + denied.Path + ") skipped: permission denied on " + denied.Path),
            std::string::npos)
      << run.err;

  const struct {
    std::string node;
    int status;
    std::string out, error;
  } rows[] = {
      {usb, 0, first + "\n", ""},
      {readOnly.Path, 0, second + "\n", ""},
      {denied.Path, 1, "", "no drive on " + denied.Path + ": it was skipped: permission denied on " + denied.Path},
      {tmp.at("sr9"), 1, "", "no drive on " + tmp.at("sr9") + ": it is not in the device list"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.node);
    run = Run({"drives", "--drive", row.node});
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_EQ(run.out, row.out);
    EXPECT_NE(run.err.find(row.error), std::string::npos) << run.err;
  }

  // A drive opened read-only is refused a burn or an erase before anything is written.
  const std::string image = tmp.write("image.iso", std::string(4096, 'x'));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"burn-iso", "--drive", readOnly.Path, image},
        std::vector<std::string>{"erase", "--quick", "--drive", readOnly.Path}}) {
    SCOPED_TRACE(args[0]);
    nodes.Seen.clear();
    run = Run(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("NO WRITE ACCESS TO " + readOnly.Path), std::string::npos) << run.err;
    EXPECT_TRUE(std::none_of(nodes.Seen.begin(), nodes.Seen.end(), [](const TFakeNodes::TSeen& s) {
      return s.Cdb[0] == 0x2A || s.Cdb[0] == 0xA1 || s.Cdb[0] == 0x04;
    }));
  }
}
#endif

TEST_F(DrivesCommand, BadDriveChoices) {
  TInquiryDrive drive(0x05, "VENDOR01PRODUCT ONE     1.10");
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', At(&drive, 0)));
  const struct {
    std::vector<std::string> args;
    int status;
    const char* error;
  } rows[] = {
      {{"drives", "--drive", "1"}, 1, "no drive 1: the device list has 1 line(s)"},
      {{"drives", "--drive", "-1"}, 2, "--drive"},
      {{"drives", "--drive", "x"}, 2, "--drive"},
      {{"drives", "--drive", "sr0"}, 2, "--drive"},
  };
  for (const auto& row : rows) {
    const TCliRun run = Run(row.args);
    EXPECT_EQ(run.status, row.status) << row.args.back();
    EXPECT_NE(run.err.find(row.error), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_F(DrivesCommand, NoDriveAtAll) {
  // No drive letter, and no manager library next to the test program.
  for (const char* flag : {"--virtual", "--quiet"}) {
    const TCliRun run = Run({"drives", flag});
    EXPECT_EQ(run.status, 1) << flag;
    EXPECT_NE(run.err.find("no drive access"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// Through the shell of this system (the Windows acceptance run covers qnzb-cli.exe).
#if defined(QNZB_CLI_PATH) && !defined(_WIN32)

// The program itself, with its manager library next to it, on a machine
// without an optical drive: the virtual recorder's line.
TEST_F(DrivesCommand, FreshMachineShowsTheVirtualRecorder) {
  const std::string command = "QNZB_DRIVES= QNZB_VDRIVE='" + tmp.at("vdrive") + "' QNZB_INI='" + tmp.at("QNZB.ini") +
                              "' '" + QNZB_CLI_PATH + "' drives 2>&1";
  for (const char* extra : {"", " --virtual", " --drive 0"}) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + extra).c_str(), "r"), ::pclose);
    ASSERT_TRUE(pipe);
    std::string output;
    char buffer[256];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get()))
      output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe.release()), 0) << output;
    EXPECT_EQ(output, "0:0:0,V: QNZB    VIRTUAL RECORDER1.00\n") << extra;
  }
}

#endif

} // namespace
} // namespace qnzb::test
