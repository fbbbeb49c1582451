// The pass-through back end over simulated drive letters: scan and address
// assignment, the emulated entry points, the pass-through structure and
// handles closed after commands.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "engine/device/qnDrvLib.h"
#include "engine/device/qnSPTI.h"
#include "engine/image/qnCDBC.h"
#include "platform/Drives.h"
#include "support/FakeNodes.h"
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
      {"two without address next to one on host 1",
       {{'E', 1}, {'F', std::nullopt}, {'G', std::nullopt}},
       2,
       {{'E', 0, 0, 0}, {'F', 1, 0, 0}, {'G', 1, 1, 0}}},
      {"none has an address: they share adapter 0",
       {{'D', std::nullopt}, {'H', std::nullopt}},
       1,
       {{'D', 0, 0, 0}, {'H', 0, 1, 0}}},
      // F's address is D's: it joins the drives without one.
      {"hosts numbered in scan order",
       {{'D', 2}, {'E', 0}, {'F', 2}},
       3,
       {{'D', 0, 0, 0}, {'E', 1, 0, 0}, {'F', 2, 0, 0}}},
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
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 1, 2, 0)));  // host 1: adapter 0
  ASSERT_EQ(ScanDrives(), 1);
  std::array<uint8_t, 8> capacity{};
  auto read = Command(0, 2, 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SRB_EVENT_NOTIFY | SRB_DIR_IN, capacity.data(), 8);
  EXPECT_EQ(SptiSendASPI32Command(&read), SS_COMP);
  EXPECT_EQ(drive.Commands.back()[0], 0x25);
  EXPECT_EQ(drive.Directions.back(), ScsiDirection::In);
  EXPECT_EQ(drive.DataSizes.back(), 8u);

  std::array<uint8_t, 60> page{};
  auto select =
      Command(0, 2, 0, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, SRB_EVENT_NOTIFY | SRB_DIR_OUT, page.data(), 60);
  EXPECT_EQ(SptiSendASPI32Command(&select), SS_COMP);
  EXPECT_EQ(drive.Directions.back(), ScsiDirection::Out);

  auto ready = Command(0, 2, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&ready), SS_COMP);
  EXPECT_EQ(drive.Directions.back(), ScsiDirection::None);
  EXPECT_EQ(drive.Commands.back().size(), 6u);

  // The handle opened lazily and stays open.
  EXPECT_NE(Entry('E').Handle, -1);
  EXPECT_EQ(platform::OpenDriveHandleCount(), 1u);

  // No drive at that address.
  auto elsewhere = Command(0, 3, 0, {0x00, 0, 0, 0, 0, 0});
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
  ASSERT_EQ(ScanDrives(), 1);  // drive without address: adapter 0

  drive.Failure = sense::MediumNotPresent;
  auto ready = Command(0, 0, 0, {0x00, 0, 0, 0, 0, 0});
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
  auto greedy = Command(0, 0, 0, {0x00, 0, 0, 0, 0, 0});
  greedy.SRB_SenseLen = 255;
  EXPECT_EQ(SptiSendASPI32Command(&greedy), SS_ERR);
  EXPECT_EQ(greedy.SenseArea[12], 0x24);

  // The call itself fails: status 4, target status 0, no sense, but a host
  // status and a reason.
  failing.PassThroughFails = true;
  CloseSpti();
  ASSERT_EQ(ScanDrives(), 1);
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', failing));
  auto lost = Command(0, 0, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiSendASPI32Command(&lost), SS_ERR);
  EXPECT_EQ(lost.SRB_TargStat, 0);
  EXPECT_EQ(lost.SRB_HaStat, HASTAT_PHASE_ERR);
  EXPECT_TRUE(std::all_of(std::begin(lost.SenseArea), std::end(lost.SenseArea), [](uint8_t b) { return b == 0; }));
  TExecDetails details;
  auto again = Command(0, 0, 0, {0x00, 0, 0, 0, 0, 0});
  EXPECT_EQ(SptiExecute(again, 10000, details), SS_ERR);
  EXPECT_EQ(details.Reason, "I/O ERROR ON DRIVE E:");
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
  TScriptedDrive second;
  ASSERT_TRUE(platform::AttachSimulatedDrive('E', Attached(&drive, 1, 4, 0)));  // adapter 0
  ASSERT_TRUE(platform::AttachSimulatedDrive('F', Attached(&second, 7, 0, 0)));  // adapter 1
  ASSERT_EQ(ScanDrives(), 2);

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
  dev.SRB_HaId = 0;
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
  disk.SRB_HaId = 0;
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

// Device nodes of this system behind the pass-through (Windows has drive letters).
#if !defined(_WIN32)
// A drive that fills every data-in buffer whole: byte i is A0h + i.
class TFillingDrive final : public SimulatedDevice {
public:
  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                      std::span<uint8_t> sense) override {
    if (cdb[0] == 0x12 || direction != ScsiDirection::In)
      return identity_.Execute(cdb, data, direction, sense);
    for (size_t i = 0; i < data.size(); ++i)
      data[i] = static_cast<uint8_t>(0xA0 + i);
    ScsiOutcome outcome;
    outcome.Transferred = static_cast<uint32_t>(data.size());
    return outcome;
  }

private:
  TScriptedDrive identity_;
};

class SptiNodes : public Spti {
protected:
  platform::TScsiIdLun At(uint32_t host, uint8_t id = 0, uint8_t lun = 0) { return {host, 0, id, lun}; }
  // The component over the pass-through back end, the drive of `line` selected.
  void Start(size_t line = 0) {
    ASSERT_TRUE(device_.InitializeTransport(true, ""));
    ASSERT_LT(line, device_.DeviceList.size());
    device_.SelectDevice(device_.DeviceList[line]);
    ASSERT_FALSE(device_.SelectedId.empty());
  }

  test::TFakeNodes nodes_{dir_};
  TQNZBurner device_{nullptr};
};

TEST_F(SptiNodes, EveryHostNumberGivesASelectableLine) {
  // USB burners sit on hosts 10 and up; a target beyond 7 can't be listed
  // where the system puts it.
  TScriptedDrive drive;
  const struct {
    char Letter;
    platform::TScsiIdLun Address;
    const char* Line;
  } rows[] = {
      {'D', At(0), "0:0:0,D:"},   {'E', At(9), "1:0:0,E:"},   {'F', At(10), "2:0:0,F:"},
      {'G', At(127), "3:0:0,G:"}, {'H', At(200), "4:0:0,H:"}, {'I', At(200, 9), "5:0:0,I:"},
  };
  for (const auto& row : rows)
    nodes_.Add(row.Letter, &drive, row.Address);
  ASSERT_TRUE(device_.InitializeTransport(true, ""));
  ASSERT_EQ(device_.DeviceList.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].Letter);
    EXPECT_TRUE(device_.DeviceList[i].starts_with(rows[i].Line)) << device_.DeviceList[i];
    device_.SelectDevice(device_.DeviceList[i]);
    EXPECT_EQ(device_.SelectedId, device_.DeviceList[i]);
    EXPECT_EQ(device_.DriveLetter(), rows[i].Letter);
    const TSptiDrive* entry = SptiDriveOfLetter(rows[i].Letter);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Host, rows[i].Address.Host);  // kept for display
  }
}

TEST_F(SptiNodes, CommandsReachSgIoWithTheirOwnTimeOut) {
  // The drive is unit 1 of its target: the pass-through addresses it, so CDB
  // byte 1 carries no unit bits.
  TScriptedDrive drive;
  nodes_.Add('D', &drive, At(3, 0, 1));
  Start();
  const struct {
    const char* Name;
    std::function<bool(TQNZBurner&)> Call;
    uint8_t Opcode;
    uint32_t TimeoutMs;
  } rows[] = {
      {"TestUnitReady 5000, raised", [](TQNZBurner& d) { return d.TestUnitReady(5000); }, 0x00, 10000},
      {"TestUnitReady 10500, rounded up", [](TQNZBurner& d) { return d.TestUnitReady(10500); }, 0x00, 11000},
      {"Write10", [](TQNZBurner& d) { return d.Write10(0, 1, 0x50, std::vector<uint8_t>(2048)); }, 0x2A, 120000},
      {"CloseTrackSession", [](TQNZBurner& d) { return d.CloseTrackSession(true, false, false); }, 0x5B, 180000},
      {"SendOpcInformation", [](TQNZBurner& d) { return d.SendOpcInformation(); }, 0x54, 150000},
      {"Blank", [](TQNZBurner& d) { return d.Blank(1); }, 0xA1, 4800000},
      {"ReadTrackInformation", [](TQNZBurner& d) { return d.ReadTrackInformation(1); }, 0x52, 60000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    nodes_.Seen.clear();
    EXPECT_TRUE(row.Call(device_));
    ASSERT_EQ(nodes_.Seen.size(), 1u);
    EXPECT_EQ(nodes_.Seen[0].Cdb[0], row.Opcode);
    EXPECT_EQ(nodes_.Seen[0].TimeoutMs, row.TimeoutMs);
    EXPECT_EQ(nodes_.Seen[0].Cdb[1] & 0xE0, 0);
    EXPECT_EQ(nodes_.Seen[0].SenseCapacity, SENSE_LEN);  // room for descriptor sense
  }
}

TEST_F(SptiNodes, TransportFailuresCarryHostStatusAndReason) {
  TScriptedDrive drive;
  test::TFakeNodes::TNode& node = nodes_.Add('D', &drive, At(0));
  Start();
  struct TRow {
    const char* What;
    std::function<void(test::TFakeNodes::TNode&)> Fault;
    uint8_t HaStat;
    std::string Reason;
    bool Closed;  // the handle is closed, so the next command opens the drive afresh
  };
  const TRow rows[] = {
      {"ENODEV", [](auto& n) { n.IoctlError = ENODEV; }, HASTAT_SEL_TO, "DRIVE IS GONE", true},
      {"ENXIO", [](auto& n) { n.IoctlError = ENXIO; }, HASTAT_SEL_TO, "DRIVE IS GONE", true},
      {"EIO", [](auto& n) { n.IoctlError = EIO; }, HASTAT_PHASE_ERR, "I/O ERROR ON " + node.Path, false},
      {"EPERM", [](auto& n) { n.IoctlError = EPERM; }, HASTAT_PHASE_ERR,
       "THE SYSTEM REFUSED THE COMMAND ON " + node.Path + " (Operation not permitted)", false},
      {"no connect", [](auto& n) { n.HostStatus = 0x01; }, HASTAT_SEL_TO, "DRIVE IS GONE", true},
      {"time-out", [](auto& n) { n.HostStatus = 0x03; }, HASTAT_TIMEOUT, "DRIVE DID NOT ANSWER IN TIME", false},
      {"bus reset", [](auto& n) { n.HostStatus = 0x08; }, HASTAT_BUS_RESET, "BUS RESET DURING THE COMMAND", false},
      {"other host error", [](auto& n) { n.HostStatus = 0x07; }, HASTAT_PHASE_ERR,
       "DRIVE CONNECTION ERROR (HOST STATUS 07h)", false},
      {"the node can't be opened again", [](auto& n) { n.IoctlError = ENODEV; n.OpenError = ENOENT; },
       HASTAT_SEL_TO, "DRIVE IS GONE", true},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.What);
    ASSERT_TRUE(device_.TestUnitReady(5000));  // opens the drive
    row.Fault(node);
    EXPECT_FALSE(device_.TestUnitReady(5000));
    EXPECT_TRUE(device_.TransportFailed);
    EXPECT_EQ(device_.LastErrorText, row.Reason);
    const TSptiDrive* entry = SptiDriveOfLetter('D');
    EXPECT_EQ(entry->Handle == platform::InvalidDriveHandle, row.Closed);
    if (node.OpenError != 0) {
      // Still gone at the next command: the open's reason.
      EXPECT_FALSE(device_.TestUnitReady(5000));
      EXPECT_EQ(device_.LastErrorText, row.Reason);
    }
    node.IoctlError = node.OpenError = 0;
    node.HostStatus = 0;
    EXPECT_TRUE(device_.TestUnitReady(5000)) << device_.LastErrorText;
  }
  // The request block carries the host status.
  node.HostStatus = 0x03;
  SRB_ExecSCSICmd srb{};
  srb.SRB_Flags = SRB_EVENT_NOTIFY;
  srb.SRB_CDBLen = 6;
  ASSERT_EQ(device_.ExecuteCommand(srb, 0), SS_COMP);
  EXPECT_EQ(srb.SRB_Status, SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(srb.SRB_TargStat, 0);
}

TEST_F(SptiNodes, ShortRepliesLeaveNothingBehind) {
  TFillingDrive drive;
  test::TFakeNodes::TNode& node = nodes_.Add('D', &drive, At(0));
  Start();
  ASSERT_TRUE(device_.ReadTrackInformation(1));
  EXPECT_EQ(device_.LastTransferred, 40u);
  EXPECT_EQ(device_.TrackInfo[39], 0xA0 + 39);
  // The next reply is 12 bytes: nothing of the first may stay.
  node.ShortBy = 28;
  ASSERT_TRUE(device_.ReadTrackInformation(2));
  EXPECT_EQ(device_.LastTransferred, 12u);
  EXPECT_EQ(device_.TrackInfo[11], 0xA0 + 11);
  EXPECT_TRUE(std::all_of(device_.TrackInfo.begin() + 12, device_.TrackInfo.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(device_.TrackLastRecorded(), 0u);
  // A reply too short for the fields a wrapper converts is a failure.
  node.ShortBy = 4;
  uint32_t lba = 1, length = 1;
  EXPECT_FALSE(device_.ReadCapacity(lba, length));
  EXPECT_EQ(device_.LastErrorText, "SHORT REPLY FROM THE DRIVE (4 OF 8 BYTES)");
  EXPECT_EQ(length, 0u);
  node.ShortBy = 0;
  EXPECT_TRUE(device_.ReadCapacity(lba, length));
}

TEST_F(SptiNodes, ADriveOpenedReadOnlyIsRefusedWritesAndErases) {
  TScriptedDrive drive;
  test::TFakeNodes::TNode& node = nodes_.Add('D', &drive, At(0));
  node.ReadWriteError = EACCES;
  Start();
  const std::string reason = "NO WRITE ACCESS TO " + node.Path;
  std::string why;
  EXPECT_FALSE(device_.DriveWritable(why));
  EXPECT_EQ(why, reason);

  // A write that reaches the system anyway fails at once with the reason.
  node.IoctlError = EPERM;
  EXPECT_FALSE(device_.Write10(0, 1, 0x50, std::vector<uint8_t>(2048)));
  EXPECT_EQ(device_.LastErrorText, reason);
  EXPECT_TRUE(device_.TransportFailed);
  node.IoctlError = 0;

  // Jobs are refused before anything is sent.
  nodes_.Seen.clear();
  EXPECT_FALSE(device_.StartErase(1));
  EXPECT_EQ(device_.LastErrorText, reason);
  std::vector<std::string> done;
  device_.OnWriteDone = [&](TObject*, const std::string& message) { done.push_back(message); };
  EXPECT_FALSE(device_.BurnImageFile(dir_.write("image.iso", std::string(4096, 'x'))));
  EXPECT_EQ(done, std::vector<std::string>{"WRITER ERROR [" + reason + "]"});
  EXPECT_TRUE(nodes_.Seen.empty());

  // Write access granted later (the user joined the group): known at once.
  node.ReadWriteError = 0;
  EXPECT_TRUE(device_.DriveWritable(why)) << why;
}

TEST_F(SptiNodes, SkippedDrivesAreNamedWithTheReason) {
  TScriptedDrive drive;
  test::TFakeNodes::TNode& denied = nodes_.Add('D', &drive, At(0));
  denied.OpenError = EACCES;
  test::TFakeNodes::TNode& silent = nodes_.Add('E', &drive, At(1));
  silent.IoctlError = ENODEV;
  nodes_.Add('F', &drive, At(2));
  ASSERT_EQ(ScanDrives(), 1);
  const auto& skipped = SptiSkippedDrives();
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_EQ(skipped[0].Letter, 'D');
  EXPECT_EQ(skipped[0].Node, denied.Path);
  EXPECT_TRUE(skipped[0].Reason.starts_with("permission denied on " + denied.Path + ": ")) << skipped[0].Reason;
  EXPECT_EQ(skipped[1].Letter, 'E');
  EXPECT_EQ(skipped[1].Reason, "the drive of " + silent.Path + " is gone");
  // The drive that could be used got the first adapter.
  EXPECT_EQ(SptiDriveOfLetter('F')->HaId, 0);
}

#endif
} // namespace
} // namespace qnzb
