// Readiness polling (command sequences and time budgets under the virtual
// clock) and the tray operations the front ends share.

#include "RecorderDevice.h"

namespace qnzb::test {
namespace {

using Codes = std::vector<uint8_t>;
constexpr uint8_t Tur = 0x00, Sense = 0x03, Rdi = 0x51;

class TrayTest : public RecorderDeviceTest {
protected:
  uint64_t Now() { return clock.clock().TickCount(); }
  void RealTime(uint32_t formatMs) {
    vdrive::DriveConfig config;
    config.Time.RealTime = true;
    config.Time.FullFormatMs = formatMs;
    config.Time.FormatMs = formatMs;
    Use(config);
  }
};

TEST_F(TrayTest, WaitUntilReadyOnAReadyDrive) {
  Insert("cd-r");
  ForgetSent();
  uint64_t start = Now();
  EXPECT_TRUE(device.WaitUntilReady(30000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Rdi, Tur}));
  EXPECT_EQ(Now() - start, 5000u);

  // The time left is checked before the drive is asked whether it is busy:
  // a budget shorter than one step gives up after the first poll.
  start = Now();
  EXPECT_FALSE(device.WaitUntilReady(3000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Rdi}));
  EXPECT_EQ(Now() - start, 5000u);

  // Slow drives get TEST UNIT READY polls 1.5 s apart first.
  device.QuirkSlowReady = true;
  start = Now();
  EXPECT_TRUE(device.WaitUntilReady(30000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Tur, Rdi, Tur}));
  EXPECT_EQ(Now() - start, 6500u);
}

TEST_F(TrayTest, FullWaitThroughAFormat) {
  // DVD-RAM skips the disc information polls: TEST UNIT READY every step
  // while the format runs, then REQUEST SENSE until the drive reports nothing.
  RealTime(20000);
  Insert("dvd-ram");
  const std::array<uint8_t, 12> list = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20, 0x00, 0x00, 0x08, 0x00};
  ASSERT_TRUE(device.FormatUnit(0x11, list)) << device.LastErrorText;
  CurrentMediaKind = MediaDvdRam;
  ForgetSent();
  const uint64_t start = Now();
  EXPECT_TRUE(device.WaitUntilReady(30000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Tur, Tur, Tur, Tur, Sense}));
  EXPECT_EQ(Now() - start, 20000u);

  // Every other medium polls the disc information while the drive is busy.
  ASSERT_TRUE(device.FormatUnit(0x11, list));
  CurrentMediaKind = MediaCdRw;
  ForgetSent();
  EXPECT_TRUE(device.WaitUntilReady(30000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Rdi, Rdi, Rdi, Rdi, Tur}));

  // A budget that runs out while the drive is busy.
  ASSERT_TRUE(device.FormatUnit(0x11, list));
  ForgetSent();
  EXPECT_FALSE(device.WaitUntilReady(10000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Rdi, Rdi, Rdi}));
}

TEST_F(TrayTest, LoadEjectAndReady) {
  Insert("cd-r");
  EXPECT_TRUE(device.CheckReady());
  EXPECT_TRUE(device.EjectMedium());
  EXPECT_FALSE(device.CheckReady());
  EXPECT_EQ(device.LastErrorText, "NOT READY (MEDIUM NOT PRESENT - TRAY OPEN)");
  EXPECT_TRUE(device.LoadMedium());
  EXPECT_TRUE(device.CheckReady());
  EXPECT_EQ(Log, (std::vector<std::string>{"0 >>> DRIVE IS READY", "0 >>> EJECT MEDIUM COMMAND DONE.",
                                           "0 >>> DRIVE IS NOT READY ", "0 >>> LOAD MEDIUM COMMAND DONE.",
                                           "0 >>> DRIVE IS READY"}));

  // The eject flushes and unlocks first; a refused eject is logged.
  ASSERT_TRUE(device.AllowMediumRemoval(false));
  ForgetSent();
  EXPECT_TRUE(device.EjectMedium());
  EXPECT_EQ(Opcodes(), (Codes{0x35, 0x1E, 0x1B}));
  Fail(0x1B, vdrive::FaultKind::MediumError);
  Log.clear();
  EXPECT_FALSE(device.EjectMedium());
  EXPECT_EQ(Log, (std::vector<std::string>{"0 >>> EJECT MEDIUM COMMAND FAILED."}));
}

TEST_F(TrayTest, ARefusedRequestSenseIsNoReadyDrive) {
  // DVD-RAM goes straight to TEST UNIT READY and then REQUEST SENSE; a
  // REQUEST SENSE that fails leaves its buffer zero, which must not read as
  // "nothing to report".
  Insert("dvd-ram");
  CurrentMediaKind = MediaDvdRam;
  Fail(Sense, vdrive::FaultKind::MediumError, 100);
  ForgetSent();
  EXPECT_FALSE(device.WaitUntilReady(30000, 5000));
  const Codes sent = Opcodes();
  EXPECT_GT(std::count(sent.begin(), sent.end(), Sense), 1);

  // A drive the transport can't reach at all is given up at once.
  manager.Respond = [](SRB_ExecSCSICmd& r) { Complete(r, SS_ERR, HASTAT_SEL_TO); };
  const uint64_t start = Now();
  EXPECT_FALSE(device.WaitUntilReady(30000, 5000));
  EXPECT_EQ(Opcodes(), (Codes{Tur, Sense}));
  EXPECT_EQ(Now() - start, 5000u);
}

} // namespace
} // namespace qnzb::test
