// The device component's device list and selection over the real transport:
// the virtual recorder behind a simulated drive letter (pass-through back
// end) and behind its own manager library.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/device/qnConst.h"
#include "engine/device/qnDrvLib.h"
#include "engine/device/qnSPTI.h"
#include "FakeAspiManager.h"
#include "TransportFixture.h"
#include "vdrive/Recorder.h"

namespace qnzb {
namespace {

using test::Attached;
using test::TScriptedDrive;

// The recorder, with every CDB it received and the data sent with it.
class TRecordedRecorder final : public SimulatedDevice {
public:
  explicit TRecordedRecorder(const vdrive::Identity& identity = {}) {
    vdrive::DriveConfig config;
    config.Drive = identity;
    recorder_.SetConfig(config);
  }
  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                      std::span<uint8_t> sense) override {
    Commands.emplace_back(cdb.begin(), cdb.end());
    DataOut.emplace_back();
    if (direction == ScsiDirection::Out)
      DataOut.back().assign(data.begin(), data.end());
    const ScsiOutcome outcome = recorder_.Execute(cdb, data, direction, sense);
    Statuses.push_back(outcome.Status);
    return outcome;
  }
  vdrive::Recorder& Drive() { return recorder_; }

  std::vector<std::vector<uint8_t>> Commands;
  std::vector<std::vector<uint8_t>> DataOut;
  std::vector<uint8_t> Statuses;

private:
  vdrive::Recorder recorder_;
};

struct TMessage {
  std::string Text;
  uint8_t Type;
};

class DeviceList : public test::TransportTest {
protected:
  void SetUp() override {
    test::TransportTest::SetUp();
    device_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t type) {
      messages_.push_back({text, type});
    };
    device_.OnDeviceChange = [this](TObject* sender) {
      EXPECT_EQ(sender, &device_);
      ++changes_;
    };
  }
  size_t InvalidIdMessages() const {
    return static_cast<size_t>(std::count_if(messages_.begin(), messages_.end(), [](const TMessage& m) {
      return m.Text == "INVALID DEVICE ID / NOT A CD OR DVD DRIVE" && m.Type == mtPlain;
    }));
  }
  void ExpectDeselected() const {
    EXPECT_EQ(device_.HaId, 254);
    EXPECT_EQ(device_.Target, 254);
    EXPECT_EQ(device_.Lun, 254);
    EXPECT_EQ(device_.SelectedId, "");
  }

  TSCSIDevice device_{nullptr};
  std::vector<TMessage> messages_;
  int changes_ = 0;
};

TEST_F(DeviceList, LinesOfThePassThroughDrives) {
  TRecordedRecorder recorder;
  TScriptedDrive worm(0x04, "WRITE ONCE");
  TScriptedDrive qualified(0x25, "NOT CONNECTED");
  TScriptedDrive disk(0x00, "HARD DISK");
  TScriptedDrive tape(0x01, "TAPE");
  TScriptedDrive vendor(0x85, "VENDOR QUALIFIER");
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&recorder, 1, 0, 0)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('F', Attached(&worm)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('G', Attached(&qualified)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('H', Attached(&disk)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('I', Attached(&tape)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('J', Attached(&vendor)));

  device_.DoDebug = true;
  ASSERT_TRUE(device_.InitializeTransport(true, ""));
  EXPECT_TRUE(device_.ASPIInitialized());
  // Host 1 is adapter 0; the drives without an address share adapter 1.
  EXPECT_EQ(device_.AdapterLimit, 2);
  const std::vector<std::string> expected = {
      "0:0:0,E: QNZB    VIRTUAL RECORDER1.00",
      "1:0:0,F: QNZBTESTWRITE ONCE      0.01 (not supported)",
  };
  EXPECT_EQ(device_.DeviceList, expected);
  // The enumeration leaves no device selected and no error behind.
  EXPECT_EQ(device_.HaId, 254);
  EXPECT_EQ(device_.LastErrorText, "");
  // INQUIRY is served from the scan's data: the recorder saw only the scan.
  EXPECT_EQ(recorder.Commands.size(), 1u);

  ASSERT_GE(messages_.size(), 3u);
  EXPECT_EQ(messages_[0].Text, ">>> QNASPI32");
  EXPECT_EQ(messages_[0].Type, mtProgress);
  EXPECT_EQ(messages_[1].Text, ">>> QNZB SPTI ASPI32 (SPTI 0)");
  EXPECT_EQ(messages_[2].Text, ">>> QNZB SPTI ASPI32 (SPTI 1)");

  // A second component built while the transport is up lists the same,
  // and without DoDebug says nothing.
  TSCSIDevice second(nullptr);
  std::vector<std::string> lines;
  second.OnDebugMessage = [&](TObject*, const std::string& text, uint8_t) { lines.push_back(text); };
  EXPECT_EQ(second.DeviceList, expected);
  second.RefreshDeviceList();
  EXPECT_EQ(second.DeviceList, expected);
  EXPECT_TRUE(lines.empty());
}

TEST_F(DeviceList, NoTransportNoList) {
  EXPECT_FALSE(device_.InitializeTransport(true, ""));
  EXPECT_FALSE(device_.ASPIInitialized());
  EXPECT_EQ(device_.QueryHostAdapter(0), -1);
  EXPECT_EQ(device_.AdapterLimit, -1);
  device_.RefreshDeviceList();
  EXPECT_TRUE(device_.DeviceList.empty());
  device_.SelectDevice("0:0:0,E: QNZB    VIRTUAL RECORDER1.00");
  ExpectDeselected();
  EXPECT_EQ(InvalidIdMessages(), 1u);
  EXPECT_EQ(changes_, 0);
}

TEST_F(DeviceList, SelectionAndWriteModeProbe) {
  TRecordedRecorder recorder;
  TScriptedDrive worm(0x04, "WRITE ONCE");
  ASSERT_TRUE(platform::AttachSimulatedDrive('D', Attached(&recorder, 0, 1, 0)));
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&worm)));
  ASSERT_TRUE(device_.InitializeTransport(true, ""));
  ASSERT_EQ(device_.DeviceList.size(), 2u);
  EXPECT_EQ(device_.DeviceList[0].substr(0, 9), "0:1:0,D: ");

  device_.SelectDevice(device_.DeviceList[0]);
  EXPECT_EQ(device_.HaId, 0);
  EXPECT_EQ(device_.Target, 1);
  EXPECT_EQ(device_.Lun, 0);
  EXPECT_EQ(device_.SelectedId, device_.DeviceList[0]);
  EXPECT_EQ(changes_, 1);
  EXPECT_EQ(InvalidIdMessages(), 0u);
  EXPECT_EQ(device_.DriveLetter(), 'D');
  EXPECT_NE(device_.Capabilities, 0u);  // the identity includes the capabilities

  // The probe: RAW, then session-at-once, then track-at-once, each a MODE
  // SENSE of page 05h and a MODE SELECT of the page with the write type set.
  std::vector<std::vector<uint8_t>> pages;
  for (size_t i = 0; i < recorder.Commands.size(); ++i)
    if (recorder.Commands[i][0] == 0x55)
      pages.push_back(recorder.DataOut[i]);
  ASSERT_EQ(pages.size(), 3u);
  const uint8_t types[3][2] = {{3, 1}, {2, 0}, {1, 0}};
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(pages[i].size(), 60u);
    const uint8_t* page = pages[i].data() + 8;
    EXPECT_EQ(page[0] & 0x3F, 0x05);
    EXPECT_EQ(page[2], types[i][0]);
    EXPECT_EQ(page[3], 0);
    EXPECT_EQ(page[4], types[i][1]);
    EXPECT_EQ(page[14], 0);
    EXPECT_EQ(page[15], 150);
  }
  // Track-at-once stays with the drive.
  EXPECT_EQ(recorder.Drive().State().WriteParams[2] & 0x0F, 1);

  // The write-once device's line is accepted.
  device_.SelectDevice(device_.DeviceList[1]);
  EXPECT_EQ(device_.HaId, 1);
  EXPECT_EQ(changes_, 2);
  EXPECT_EQ(device_.DriveLetter(), 'E');
}

TEST_F(DeviceList, RejectedLines) {
  TRecordedRecorder recorder;
  ASSERT_TRUE(platform::AttachSimulatedDrive('D', Attached(&recorder, 0)));
  ASSERT_TRUE(device_.InitializeTransport(true, ""));
  ASSERT_EQ(device_.DeviceList.size(), 1u);
  const std::string good = device_.DeviceList[0];
  const struct {
    const char* line;
    size_t messages;
  } rows[] = {
      {"", 0},                        // nothing chosen: no message
      {"0:0:", 1},                    // too short
      {"10:0:0,D: QNZB", 1},          // two digits: the unit is ":"
      {"0:0:5,D: QNZB", 1},           // no device there
      {"x:0:0,D: QNZB", 1},           // no number
      {"0:0:0", 0},                   // the shortest accepted form
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    device_.SelectDevice(good);
    ASSERT_EQ(device_.HaId, 0);
    messages_.clear();
    device_.SelectDevice(row.line);
    EXPECT_EQ(InvalidIdMessages(), row.messages);
    if (row.messages || !*row.line)
      ExpectDeselected();
    else
      EXPECT_EQ(device_.SelectedId, row.line);
  }
}

TEST_F(DeviceList, QuirksFollowTheIdentity) {
  struct TRow {
    const char* vendor;
    const char* product;
    bool underrunFree, linkSize, closeImmediate, slowReadyDrive, slowReady;
  };
  const TRow rows[] = {
      {"QNZB", "VIRTUAL RECORDER", false, false, true, false, false},
      {"SANYO", "CD-W512EB", true, false, true, false, false},
      {"PLEXTOR", "CRX175E", false, true, true, false, false},
      {"SONY", "CD-RW  CRX800E", false, true, true, false, false},
      {"LITE-ON", "CDRW321040X", false, false, false, false, false},
      {"MATSHITA", "UJDA750", false, false, true, true, false},
      {"TDK", "CDRW161040B", false, false, true, true, false},
      {"TD", "CDRW161040B", false, false, true, false, false},  // compared as five spaces
      {"PIONEER", "DVD-RW  DVR-103", false, false, true, false, true},
      {"PIONEER", "DVD-RW  DVR-104", false, false, true, false, true},
      {"PIONEER", "DVD-RW  DVR-105", false, false, true, false, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.product);
    CloseTransport();
    vdrive::Identity identity;
    identity.Vendor = row.vendor;
    identity.Product = row.product;
    TRecordedRecorder recorder(identity);
    ASSERT_TRUE(platform::AttachSimulatedDrive('D', Attached(&recorder, 0)));
    ASSERT_TRUE(device_.InitializeTransport(true, ""));
    ASSERT_EQ(device_.DeviceList.size(), 1u);
    device_.SelectDevice(device_.DeviceList[0]);
    ASSERT_EQ(device_.HaId, 0);
    EXPECT_EQ(device_.QuirkUnderrunFree, row.underrunFree);
    EXPECT_EQ(device_.QuirkLinkSize, row.linkSize);
    EXPECT_EQ(CloseImmediate.load(), row.closeImmediate);
    EXPECT_EQ(SlowReadyDrive.load(), row.slowReadyDrive);
    EXPECT_EQ(device_.QuirkSlowReady, row.slowReady);
    platform::DetachSimulatedDrive('D');
    CloseTransport();
  }
}

// A manager's answers to the host adapter query, adapter by adapter (-1: the
// query fails), over one drive at target 0, unit 0 of every adapter.
TEST(DeviceListScan, TheFirstAdapterCountHoldsForTheWholeScan) {
  const test::TScopedEnv noDrives("QNZB_DRIVES", std::string());
  const struct {
    const char* What;
    std::vector<int> Counts;
    size_t Listed;
  } rows[] = {
      {"0 adapters reported: 0 to 6 are scanned", {0}, 7},
      {"a query failing in the middle", {3, -1, 3}, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.What);
    test::TFakeAspiManager manager;
    manager.HostAdapter = [&row](SRB_HAInquiry& query) {
      const int count = query.SRB_HaId < row.Counts.size() ? row.Counts[query.SRB_HaId] : -1;
      query.SRB_Status = count < 0 ? SS_INVALID_HA : SS_COMP;
      query.HA_Count = static_cast<uint8_t>(std::max(count, 0));
    };
    manager.Respond = [](SRB_ExecSCSICmd& r) {
      if (r.CDBByte[0] != 0x12 || r.SRB_Target != 0 || r.SRB_Lun != 0)
        return test::Complete(r, SS_NO_DEVICE);
      std::fill_n(r.SRB_BufPointer, r.SRB_BufLen, uint8_t{' '});
      r.SRB_BufPointer[0] = DTYPE_CDROM;
      test::Complete(r, SS_COMP);
    };
    const TSCSIDevice device(nullptr);
    ASSERT_EQ(device.DeviceList.size(), row.Listed);
    EXPECT_EQ(device.DeviceList.back().substr(0, 6), std::to_string(row.Listed - 1) + ":0:0,");
    EXPECT_EQ(device.AdapterLimit, static_cast<int8_t>(row.Listed));
  }
}

#ifdef QNZB_BIN_DIR

// The pass-through scan takes any node that answers INQUIRY: with none that
// is a drive, the virtual recorder's library still gives one.
TEST_F(DeviceList, NodesThatAreNoDrivesLeaveTheLibrary) {
  TScriptedDrive disk(0x00, "HARD DISK");
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&disk)));
  ASSERT_TRUE(device_.InitializeTransport(true, std::string(QNZB_BIN_DIR) + "/WNASPI32.DLL"));
  EXPECT_EQ(Transport().Name, AspiTransportName);
  EXPECT_EQ(device_.DeviceList, std::vector<std::string>{"0:0:0,V: QNZB    VIRTUAL RECORDER1.00"});
  EXPECT_TRUE(Transport().SavedPreference);
}

TEST_F(DeviceList, TheVirtualRecordersLibrary) {
  const std::string manager = std::string(QNZB_BIN_DIR) + "/WNASPI32.DLL";
  device_.DoDebug = true;
  ASSERT_TRUE(device_.InitializeTransport(true, manager));
  EXPECT_EQ(Transport().Name, AspiTransportName);
  EXPECT_EQ(device_.AdapterLimit, 1);
  // No drive letter has the recorder's address: the manager's disk
  // information names its letter.
  ASSERT_EQ(device_.DeviceList, std::vector<std::string>{"0:0:0,V: QNZB    VIRTUAL RECORDER1.00"});
  EXPECT_EQ(messages_[0].Text, ">>> WNASPI32.DLL");
  EXPECT_EQ(messages_[1].Text, ">>> QNZB VDRIVE ASPI (VIRTUAL RECORDER)");
  device_.SelectDevice(device_.DeviceList[0]);
  EXPECT_EQ(device_.HaId, 0);
  EXPECT_EQ(changes_, 1);
  EXPECT_EQ(device_.DriveLetter(), 'V');
}

#endif

} // namespace
} // namespace qnzb
