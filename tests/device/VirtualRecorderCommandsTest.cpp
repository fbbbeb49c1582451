// Wrappers and capabilities against the virtual recorder's
// core, reached through a fake ASPI manager that runs each request on its own
// thread and signals the request's event, as a real manager does.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FakeAspiManager.h"
#include "engine/device/qnDrvLib.h"
#include "platform/Event.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {
namespace {

class VirtualRecorderCommandsTest : public testing::Test {
protected:
  VirtualRecorderCommandsTest() {
    device.HaId = device.Target = device.Lun = 0;
    manager.Asynchronous = true;
    manager.Respond = [this](SRB_ExecSCSICmd& r) { Forward(r); };
  }
  ~VirtualRecorderCommandsTest() override { JoinWorkers(); }

  void Forward(SRB_ExecSCSICmd& r) {
    workers.emplace_back([this, &r] {
      const ScsiDirection direction = (r.SRB_Flags & SRB_DIR_IN)    ? ScsiDirection::In
                                      : (r.SRB_Flags & SRB_DIR_OUT) ? ScsiDirection::Out
                                                                    : ScsiDirection::None;
      std::span<uint8_t> data(r.SRB_BufPointer, r.SRB_BufPointer ? r.SRB_BufLen : 0);
      const ScsiOutcome outcome = recorder->Execute(std::span<const uint8_t>(r.CDBByte, r.SRB_CDBLen), data,
                                                    direction, std::span<uint8_t>(r.SenseArea, SENSE_LEN));
      r.SRB_TargStat = outcome.Status;
      const uint8_t status = outcome.Status == ScsiStatusGood ? SS_COMP : SS_ERR;
      std::atomic_ref<uint8_t>(r.SRB_Status).store(status, std::memory_order_release);
      platform::SetEvent(PostProcToEvent(r.SRB_PostProc));
    });
  }

  void JoinWorkers() {
    for (auto& w : workers)
      w.join();
    workers.clear();
  }

  void Use(const vdrive::DriveConfig& config) { recorder->SetConfig(config); }

  std::unique_ptr<vdrive::Recorder> recorder = std::make_unique<vdrive::Recorder>();
  std::vector<std::thread> workers;
  TFakeAspiManager manager;
  TSCSIDevice device{nullptr};
};

TEST_F(VirtualRecorderCommandsTest, IdentityReadinessAndRefusals) {
  ASSERT_TRUE(device.Inquiry());
  EXPECT_EQ(device.InquiryData[0], 0x05);
  EXPECT_EQ(std::string(device.InquiryData.begin() + 8, device.InquiryData.begin() + 32),
            "QNZB    VIRTUAL RECORDER");
  EXPECT_TRUE(device.TestUnitReady(5000));
  EXPECT_EQ(device.LastErrorText, "");

  // A command the recorder doesn't know.
  SRB_ExecSCSICmd r{};
  r.CDBByte[0] = 0xAC;
  r.SRB_CDBLen = 12;
  r.SRB_Flags = SRB_EVENT_NOTIFY;
  ASSERT_EQ(device.ExecuteCommand(r, 0), 1);
  EXPECT_EQ(r.SRB_Status, SS_ERR);
  EXPECT_EQ(device.LastErrorText, "ILLEGAL REQUEST (INVALID COMMAND OPERATION CODE)");
  EXPECT_EQ(device.LastSense[2] & 0x0F, 0x05);
  EXPECT_EQ(device.LastSense[12], 0x20);

  recorder->Remove();
  EXPECT_FALSE(device.TestUnitReady(5000));
  EXPECT_EQ(device.LastErrorText, "NOT READY (MEDIUM NOT PRESENT - TRAY CLOSED)");
  EXPECT_FALSE(device.TargetBusy);
}

TEST_F(VirtualRecorderCommandsTest, CapabilitiesWithAndWithoutBlockDescriptor) {
  vdrive::DriveConfig config;
  const uint32_t all = CapReadCDR | CapReadCDRW | CapReadDVD | CapReadDVDR | CapReadDVDRW | CapReadDVDRAM |
                       CapReadDVDPR | CapReadDVDPRW | CapWriteCDR | CapWriteCDRW | CapWriteTest | CapWriteDVDR |
                       CapWriteDVDRW | CapWriteDVDRAM | CapWriteDVDPR | CapWriteDVDPRW | CapUnderrunProtection;
  for (const bool blockDescriptor : {false, true}) {
    SCOPED_TRACE(blockDescriptor);
    config.Drive.BlockDescriptor = blockDescriptor;
    Use(config);
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ(device.Capabilities & ~CapReadMode2Form, all);
    EXPECT_EQ(device.DeviceMaxWriteSpeed, 7056);
    EXPECT_EQ(device.DeviceMaxReadSpeed, 7056);
  }
}

TEST_F(VirtualRecorderCommandsTest, ReadsAndCapacitiesOfABlankDisc) {
  std::array<uint8_t, 34> disc{};
  ASSERT_TRUE(device.ReadDiscInformation(disc));
  EXPECT_EQ(disc[2] & 0x03, 0);  // blank
  ASSERT_TRUE(device.ReadTrackInformation(1));
  EXPECT_EQ(device.TrackInfo[8] | device.TrackInfo[9] | device.TrackInfo[10] | device.TrackInfo[11], 0);

  std::vector<uint8_t> sector(2048);
  EXPECT_FALSE(device.Read10(0, 1, sector));
  EXPECT_FALSE(device.LastErrorText.empty());

  EXPECT_TRUE(device.ReadBufferCapacity());
  EXPECT_EQ(device.DeviceBufferSize, 2048u * 1024u);
}

} // namespace
} // namespace qnzb::test
