// The pass-through back end over simulated drive letters: scan and address
// assignment, the emulated entry points, the pass-through structure and
// handles closed after commands.

#include <gtest/gtest.h>

#include <cstring>

#include "engine/device/qnSPTI.h"
#include "platform/Drives.h"
#include "TransportFixture.h"

namespace qnzb {
namespace {

using test::Attached;
using test::TScriptedDrive;

struct TAddress {
  char Letter;
  uint8_t HaId, Target, Lun;
};

const TSptiDrive& Entry(char letter) {
  return SptiDriveTable().Drives[static_cast<size_t>(letter - 'A')];
}

class Spti : public test::TransportTest {
protected:
  SRB_ExecSCSICmd Command(uint8_t ha, uint8_t target, uint8_t lun, std::initializer_list<uint8_t> cdb,
                          uint8_t flags = SRB_EVENT_NOTIFY, uint8_t* buffer = nullptr, uint32_t length = 0) {
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = ha;
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
    srb.SRB_Flags = flags;
    srb.SRB_SenseLen = 24;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
    srb.SRB_BufPointer = buffer;
    srb.SRB_BufLen = length;
    return srb;
  }
};

TEST_F(Spti, AddressesWithAndWithoutScsiAddress) {
  struct TCase {
    const char* what;
    std::vector<std::pair<char, std::optional<uint8_t>>> drives;  // letter, port
    uint8_t adapters;
    std::vector<TAddress> expected;
  };
  const TCase cases[] = {
      {"two without address next to one on port 1",
       {{'E', 1}, {'F', std::nullopt}, {'G', std::nullopt}},
       3,
       {{'E', 1, 0, 0}, {'F', 2, 0, 0}, {'G', 2, 1, 0}}},
      {"none has an address: adapter 0 stays empty",
       {{'D', std::nullopt}, {'H', std::nullopt}},
       2,
       {{'D', 1, 0, 0}, {'H', 1, 1, 0}}},
      {"all addressed", {{'D', 0}, {'E', 2}}, 3, {{'D', 0, 0, 0}, {'E', 2, 0, 0}}},
      {"no drive at all", {}, 1, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    CloseSpti();
    platform::DetachAllSimulatedDrives();
    std::vector<std::unique_ptr<TScriptedDrive>> devices;
    for (const auto& [letter, port] : c.drives) {
      devices.push_back(std::make_unique<TScriptedDrive>());
      ASSERT_TRUE(platform::AttachSimulatedDrive(letter, Attached(devices.back().get(), port)));
    }
    EXPECT_EQ(ScanDrives(), static_cast<int>(c.drives.size()));
    EXPECT_EQ(SptiDriveTable().AdapterCount, c.adapters);
    EXPECT_EQ(SptiGetASPI32SupportInfo(), 0x0100u + c.adapters);
    for (const TAddress& a : c.expected) {
      const TSptiDrive& d = Entry(a.Letter);
      EXPECT_TRUE(d.Present) << a.Letter;
      EXPECT_EQ(d.HaId, a.HaId) << a.Letter;
      EXPECT_EQ(d.Target, a.Target) << a.Letter;
      EXPECT_EQ(d.Lun, a.Lun) << a.Letter;
      EXPECT_EQ(d.DriveIndex, a.Letter - 'A');
      EXPECT_EQ(d.Handle, -1);
      const TSptiDrive* found = SptiFindDrive(a.HaId, a.Target, a.Lun);
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->DriveIndex, a.Letter - 'A');
    }
    // Letters that are no CD drive carry target 120 and stay absent.
    EXPECT_FALSE(Entry('C').Present);
    EXPECT_EQ(Entry('C').Target, 120);
    EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);
  }
}

TEST_F(Spti, DrivesThatCannotBeReachedAreNotListed) {
  TScriptedDrive good, unopenable, silent;
  platform::TSimulatedDrive noOpen = Attached(&unopenable);
  noOpen.OpenFails = true;
  platform::TSimulatedDrive noAnswer = Attached(&silent);
  noAnswer.PassThroughFails = true;
  ASSERT_TRUE(platform::AttachSimulatedDrive('D', noOpen));
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', noAnswer));
  ASSERT_TRUE(platform::AttachSimulatedDrive('F', Attached(&good)));
  EXPECT_EQ(ScanDrives(), 1);
  EXPECT_FALSE(Entry('D').Present);
  EXPECT_FALSE(Entry('E').Present);
  EXPECT_TRUE(Entry('F').Present);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);  // probe handles closed, failed ones too
  // A second scan while scanned finds nothing and changes nothing.
  EXPECT_EQ(ScanDrives(), 0);
  EXPECT_TRUE(Entry('F').Present);
}

TEST_F(Spti, InquiryComesFromTheCacheWithoutDriveAccess) {
  TScriptedDrive drive;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 0, 3, 0)));
  ASSERT_EQ(ScanDrives(), 1);
  const size_t scanned = drive.CommandCount();
  EXPECT_EQ(drive.Commands[0], (std::vector<uint8_t>{0x12, 0, 0, 0, 96, 0}));
  EXPECT_EQ(drive.DataSizes[0], 96u);
  EXPECT_EQ(Entry('E').InquiryCache[39], 39);  // 40 bytes cached

  std::array<uint8_t, 128> data;
  data.fill(0xEE);
  auto srb = Command(0, 3, 0, {0x12, 0, 0, 0, 128, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN, data.data(), 128);
  EXPECT_EQ(SptiSendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 36, drive.InquiryBytes().begin()));
  EXPECT_EQ(data[36], 0xEE);  // exactly 36 bytes
  EXPECT_EQ(drive.CommandCount(), scanned);

  // A buffer smaller than 36 bytes gets only what fits.
  std::array<uint8_t, 12> small;
  small.fill(0xEE);
  std::array<uint8_t, 8> guard;
  guard.fill(0xEE);
  srb = Command(0, 3, 0, {0x12, 0, 0, 0, 12, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN, small.data(), 12);
  EXPECT_EQ(SptiSendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(small[0], 0x05);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);
}

TEST_F(Spti, CommandsGoThroughThePassThrough) {
  TScriptedDrive drive;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 1, 2, 0)));
  ASSERT_EQ(ScanDrives(), 1);
  std::array<uint8_t, 8> capacity{};
  auto read = Command(1, 2, 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN, capacity.data(), 8);
  EXPECT_EQ(SptiSendASPI32Command(&read), SS_COMP);
  EXPECT_EQ(drive.Commands.back()[0], 0x25);
  EXPECT_EQ(drive.Directions.back(), ScsiDirection::In);
  EXPECT_EQ(drive.DataSizes.back(), 8u);

  std::array<uint8_t, 60> page{};
  auto select = Command(1, 2, 0, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, SRB_EVENT_NOTIFY | SRB_DIR_OUT, page.data(), 60);
  EXPECT_EQ(SptiSendASPI32Command(&select), SS_COMP);
  EXPECT_EQ(drive.Directions.back(), ScsiDirection::Out);

  auto ready = Command(1, 2, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_COMP);
  EXPECT_EQ(drive.Directions.back(), ScsiDirection::None);
  EXPECT_EQ(drive.Commands.back().size(), 6u);

  // The handle opened lazily and stays open.
  EXPECT_NE(Entry('E').Handle, -1);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 1u);

  // No drive at that address.
  auto elsewhere = Command(1, 3, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&elsewhere), SS_NO_DEVICE);
  EXPECT_EQ(elsewhere.SRB_Status, SS_NO_DEVICE);
  CloseSpti();
  EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);
  EXPECT_EQ(SptiGetASPI32SupportInfo(), 0xE800u);
}

TEST_F(Spti, FailuresBringStatusAndSenseBack) {
  TScriptedDrive drive;
  platform::TSimulatedDrive failing = Attached(&drive);
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', failing));
  ASSERT_EQ(ScanDrives(), 1);  // drive without address: adapter 1

  drive.Failure = sense::MediumNotPresent;
  auto ready = Command(1, 0, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_ERR);
  EXPECT_EQ(ready.SRB_Status, SS_ERR);
  EXPECT_EQ(ready.SRB_TargStat, ScsiStatusCheckCondition);
  EXPECT_EQ(ready.SRB_HaStat, 0);
  EXPECT_EQ(ready.SenseArea[0], 0x70);
  EXPECT_EQ(ready.SenseArea[2], SenseKeyNotReady);
  EXPECT_EQ(ready.SenseArea[12], 0x3A);
  EXPECT_EQ(ready.SenseArea[18], 0);  // 18 bytes of sense, nothing more

  // A sense length beyond the sense area is held to it.
  drive.Failure = sense::InvalidFieldInCdb;
  auto greedy = Command(1, 0, 0, {0x00, 0, 0, 0, 0, 0});
  greedy.SRB_SenseLen = 255;
  EXPECT_EQ(SptiSendASPI32Command(&greedy), SS_ERR);
  EXPECT_EQ(greedy.SenseArea[12], 0x24);

  // The call itself fails: status 4, target status 0, no sense.
  failing.PassThroughFails = true;
  CloseSpti();
  ASSERT_EQ(ScanDrives(), 1);
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', failing));
  auto lost = Command(1, 0, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&lost), SS_ERR);
  EXPECT_EQ(lost.SRB_TargStat, 0);
  EXPECT_TRUE(std::all_of(std::begin(lost.SenseArea), std::end(lost.SenseArea), [](uint8_t b) { return b == 0; }));

}

TEST_F(Spti, CloseAfterCommandClosesTheHandle) {
  TScriptedDrive drive;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 0)));
  ASSERT_EQ(ScanDrives(), 1);
  auto ready = Command(0, 0, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_COMP);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 1u);

  CloseAfterCommand.store(true);
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_COMP);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);
  EXPECT_EQ(Entry('E').Handle, -1);
  // Reopened for the next command, closed again after it.
  const size_t before = drive.CommandCount();
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_COMP);
  EXPECT_EQ(drive.CommandCount(), before + 1);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);
  // Failed commands close it too.
  drive.Failure = sense::MediumNotPresent;
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_ERR);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 0u);
}

TEST_F(Spti, OtherRequestTypes) {
  TScriptedDrive drive;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 1, 4, 0)));
  ASSERT_EQ(ScanDrives(), 1);

  EXPECT_EQ(SptiSendASPI32Command(nullptr), SS_ERR);

  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  ha.SRB_HaId = 1;
  EXPECT_EQ(SptiSendASPI32Command(&ha), SS_COMP);
  EXPECT_EQ(ha.HA_Count, 2);
  EXPECT_EQ(ha.HA_SCSI_ID, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_ManagerId), 16), SptiManagerId);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_Identifier), 16), std::string("SPTI 1\0\0\0\0\0\0\0\0\0\0", 16));
  const uint8_t unique[16] = {0x07, 0, 0, 0x08, 0x00, 0x00, 0xFF, 0x00};
  EXPECT_EQ(std::memcmp(ha.HA_Unique, unique, 16), 0);
  ha.SRB_HaId = 2;
  EXPECT_EQ(SptiSendASPI32Command(&ha), SS_INVALID_HA);
  EXPECT_EQ(ha.SRB_Status, SS_INVALID_HA);

  SRB_GDEVBlock dev{};
  dev.SRB_Cmd = SC_GET_DEV_TYPE;
  dev.SRB_HaId = 1;
  dev.SRB_Target = 4;
  EXPECT_EQ(SptiSendASPI32Command(&dev), SS_COMP);
  EXPECT_EQ(dev.SRB_DeviceType, DTYPE_CDROM);
  dev.SRB_Lun = 1;
  EXPECT_EQ(SptiSendASPI32Command(&dev), SS_NO_DEVICE);
  EXPECT_EQ(dev.SRB_DeviceType, DTYPE_UNKNOWN);

  // Disk information: none here; the status stays 0.
  SRB_GetDiskInfo disk{};
  disk.SRB_Cmd = SC_GET_DISK_INFO;
  disk.SRB_Status = 0x55;
  disk.SRB_HaId = 1;
  disk.SRB_Target = 4;
  EXPECT_EQ(SptiSendASPI32Command(&disk), SS_ERR);
  EXPECT_EQ(disk.SRB_Status, 0);

  for (uint8_t type : {SC_ABORT_SRB, SC_RESET_DEV, uint8_t{5}, uint8_t{7}, uint8_t{0xFF}}) {
    SRB_Abort other{};
    other.SRB_Cmd = type;
    EXPECT_EQ(SptiSendASPI32Command(&other), SS_ERR) << int(type);
    EXPECT_EQ(other.SRB_Status, SS_ERR) << int(type);
  }
  EXPECT_EQ(drive.CommandCount(), 1u);  // only the scan reached the drive
}

} // namespace
} // namespace qnzb
