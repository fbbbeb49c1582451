// The ASPI entry points emulated over the storage driver's SCSI pass-through.

#include "engine/device/qnSPTI.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/device/ScsiSense.h"
#include "engine/device/Transport.h"
#include "platform/Drives.h"
#include "platform/ScsiPassThrough.h"

namespace qnzb {
namespace {

using platform::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;

// Scan-time INQUIRY: allocation length 96.
constexpr uint8_t ScanInquiryLength = 96;
// What the cache serves of the standard INQUIRY data.
constexpr uint32_t ServedInquiryLength = 36;

struct TSptiState {
  TSptiDriveTable table;
  bool scanned = false;
  uint8_t unaddressed = 0;  // drives without a SCSI address found by this scan
  // Guards the entries' handles, which commands open and close lazily.
  std::mutex handles;
  // The scan's INQUIRY data.
  std::array<uint8_t, 1025> scanBuffer{};
};

TSptiState& State() {
  static TSptiState state;
  return state;
}

void ClearTable(TSptiState& state) {
  state.table = TSptiDriveTable{};
}

// 1 + the highest HaId over entries 1..26; entries not present count as 0.
// Clamped: a host number of 255 must not wrap the count to 0.
uint8_t AdapterCountOf(const TSptiDriveTable& table) {
  int highest = 0;
  for (size_t i = 1; i < table.Drives.size(); ++i)
    highest = std::max<int>(highest, table.Drives[i].Present ? table.Drives[i].HaId : 0);
  return static_cast<uint8_t>(std::min(highest + 1, 255));
}

platform::TDriveHandle OpenLetter(uint8_t driveIndex) {
  return platform::OpenDrive(static_cast<char>('A' + driveIndex));
}

// The pass-through structure of a command, as the driver takes it.
void FillPassThrough(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& buffer, const uint8_t* cdb, uint8_t cdbLength,
                     uint8_t senseLength, uint8_t dataIn, uint32_t dataLength, void* data) {
  std::memset(&buffer, 0, sizeof buffer);
  platform::SCSI_PASS_THROUGH_DIRECT& spt = buffer.Spt;
  spt.Length = sizeof(platform::SCSI_PASS_THROUGH_DIRECT);
  spt.CdbLength = std::min<uint8_t>(cdbLength, sizeof spt.Cdb);
  spt.SenseInfoLength = std::min<uint8_t>(senseLength, sizeof buffer.SenseBuf);
  spt.DataIn = dataIn;
  spt.DataTransferLength = dataLength;
  // Whatever the caller's time-out: the executor above does the waiting.
  spt.TimeOutValue = SptiTimeoutSeconds;
  spt.DataBuffer = data;
  spt.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
  std::memcpy(spt.Cdb, cdb, spt.CdbLength);
}

void Probe(TSptiState& state, uint8_t number) {
  TSptiDrive& entry = state.table.Drives[number];
  const platform::TDriveHandle handle = OpenLetter(number);
  if (handle == platform::InvalidDriveHandle)
    return;
  const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, ScanInquiryLength, 0x00};
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER buffer;
  state.scanBuffer.fill(0);
  FillPassThrough(buffer, cdb, sizeof cdb, 24, platform::SCSI_IOCTL_DATA_IN, ScanInquiryLength,
                  state.scanBuffer.data());
  if (!platform::ScsiPassThroughDirect(handle, &buffer, sizeof buffer)) {
    platform::CloseDrive(handle);
    return;
  }
  std::memcpy(entry.InquiryCache.data(), state.scanBuffer.data(), entry.InquiryCache.size());
  platform::SCSI_ADDRESS address{};
  address.Length = sizeof address;
  if (platform::ScsiGetAddress(handle, address)) {
    entry.HaId = address.PortNumber;
    entry.Target = address.TargetId;
    entry.Lun = address.Lun;
  } else {
    entry.HaId = 0;
    entry.Target = state.unaddressed++;
    entry.Lun = SptiNoAddressLun;
  }
  entry.Present = true;
  entry.DriveIndex = number;
  entry.Handle = -1;
  platform::CloseDrive(handle);
}

TSptiDrive* FindDrive(TSptiDriveTable& table, uint8_t haId, uint8_t target, uint8_t lun) {
  for (size_t i = 2; i < table.Drives.size(); ++i) {
    TSptiDrive& d = table.Drives[i];
    if (d.Present && d.HaId == haId && d.Target == target && d.Lun == lun)
      return &d;
  }
  return nullptr;
}

uint32_t HaInquiry(TSptiState& state, SRB_HAInquiry& srb) {
  srb.HA_Count = state.table.AdapterCount;
  if (srb.SRB_HaId >= state.table.AdapterCount) {
    srb.SRB_Status = SS_INVALID_HA;
    return SS_INVALID_HA;
  }
  srb.HA_SCSI_ID = 7;
  std::memcpy(srb.HA_ManagerId, SptiManagerId, sizeof srb.HA_ManagerId);
  std::memset(srb.HA_Identifier, 0, sizeof srb.HA_Identifier);
  std::memcpy(srb.HA_Identifier, "SPTI ", 5);
  srb.HA_Identifier[5] = static_cast<uint8_t>('0' + srb.SRB_HaId);
  std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
  srb.HA_Unique[0] = 0x07;  // buffer alignment mask 0007h
  srb.HA_Unique[3] = 0x08;  // targets
  for (int i = 0; i < 4; ++i)
    srb.HA_Unique[4 + i] = static_cast<uint8_t>(SptiMaxTransfer >> (8 * i));
  srb.SRB_Status = SS_COMP;
  return SS_COMP;
}

uint32_t DeviceType(TSptiState& state, SRB_GDEVBlock& srb) {
  const bool found = FindDrive(state.table, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun) != nullptr;
  srb.SRB_Status = found ? SS_COMP : SS_NO_DEVICE;
  srb.SRB_DeviceType = found ? DTYPE_CDROM : DTYPE_UNKNOWN;
  return srb.SRB_Status;
}

uint32_t Execute(TSptiState& state, SRB_ExecSCSICmd& srb) {
  TSptiDrive* drive = FindDrive(state.table, srb.SRB_HaId, srb.SRB_Target, srb.SRB_Lun);
  if (!drive) {
    srb.SRB_Status = SS_NO_DEVICE;
    return SS_NO_DEVICE;
  }
  if (srb.CDBByte[0] == 0x12) {
    if (srb.SRB_HaId >= state.table.AdapterCount) {
      srb.SRB_Status = SS_INVALID_HA;
      return SS_INVALID_HA;
    }
    // 36 bytes whatever the allocation length, but never past the buffer.
    if (srb.SRB_BufPointer)
      std::memcpy(srb.SRB_BufPointer, drive->InquiryCache.data(), std::min(ServedInquiryLength, srb.SRB_BufLen));
    srb.SRB_Status = SS_COMP;
    return SS_COMP;
  }

  platform::TDriveHandle handle;
  {
    const std::lock_guard lock(state.handles);
    if (drive->Handle == platform::InvalidDriveHandle)
      drive->Handle = OpenLetter(drive->DriveIndex);
    handle = drive->Handle;
  }

  uint8_t dataIn = platform::SCSI_IOCTL_DATA_UNSPECIFIED;
  if (srb.SRB_Flags & SRB_DIR_IN)
    dataIn = platform::SCSI_IOCTL_DATA_IN;
  else if (srb.SRB_Flags & SRB_DIR_OUT)
    dataIn = platform::SCSI_IOCTL_DATA_OUT;
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER buffer;
  FillPassThrough(buffer, srb.CDBByte, srb.SRB_CDBLen, srb.SRB_SenseLen, dataIn, srb.SRB_BufLen,
                  srb.SRB_BufPointer);
  const bool passed = platform::ScsiPassThroughDirect(handle, &buffer, sizeof buffer);
  if (passed && buffer.Spt.ScsiStatus == ScsiStatusGood) {
    srb.SRB_Status = SS_COMP;
  } else {
    srb.SRB_Status = SS_ERR;
    // A failed call leaves target status 0 and the sense area zero.
    const size_t senseLength = passed ? std::min<size_t>(buffer.Spt.SenseInfoLength, sizeof buffer.SenseBuf) : 0;
    std::memcpy(srb.SenseArea, buffer.SenseBuf, senseLength);
    srb.SRB_TargStat = passed ? buffer.Spt.ScsiStatus : ScsiStatusGood;
  }

  if (CloseAfterCommand.load()) {
    const std::lock_guard lock(state.handles);
    if (drive->Handle != platform::InvalidDriveHandle && platform::CloseDrive(drive->Handle))
      drive->Handle = platform::InvalidDriveHandle;
  }
  return srb.SRB_Status;
}

} // namespace

const TSptiDriveTable& SptiDriveTable() {
  return State().table;
}

bool SptiScanned() {
  return State().scanned;
}

const TSptiDrive* SptiFindDrive(uint8_t haId, uint8_t target, uint8_t lun) {
  return FindDrive(State().table, haId, target, lun);
}

int ScanDrives() {
  TSptiState& state = State();
  if (state.scanned)
    return 0;
  ClearTable(state);
  state.unaddressed = 0;
  int found = 0;
  for (uint8_t number = 2; number <= 26; ++number) {
    TSptiDrive& entry = state.table.Drives[number];
    entry.Handle = platform::InvalidDriveHandle;
    // Number 26 is one past Z: no letter, never a drive.
    const char root[] = {static_cast<char>('A' + number), ':', '\\', '\0'};
    if (number > 25 || platform::GetDriveType(root) != platform::DRIVE_CDROM) {
      entry.Target = 120;
      continue;
    }
    Probe(state, number);
    if (entry.Present)
      ++found;
  }
  state.table.AdapterCount = AdapterCountOf(state.table);
  if (state.unaddressed != 0) {
    // Drives without a SCSI address share one adapter after the real ones.
    const uint8_t extra = state.table.AdapterCount;
    for (size_t i = 2; i < state.table.Drives.size(); ++i) {
      TSptiDrive& d = state.table.Drives[i];
      if (d.Present && d.Lun == SptiNoAddressLun) {
        d.Lun = 0;
        d.HaId = extra;
      }
    }
    state.table.AdapterCount = AdapterCountOf(state.table);
  }
  state.scanned = true;
  return found;
}

void CloseSpti() {
  TSptiState& state = State();
  if (!state.scanned)
    return;
  {
    const std::lock_guard lock(state.handles);
    for (size_t i = 2; i < state.table.Drives.size(); ++i) {
      TSptiDrive& d = state.table.Drives[i];
      if (d.Present && d.Handle != platform::InvalidDriveHandle)
        platform::CloseDrive(d.Handle);
    }
  }
  ClearTable(state);
  state.scanned = false;
}

uint32_t SptiGetASPI32SupportInfo() {
  const uint8_t count = State().table.AdapterCount;
  return count != 0 ? MakeSupportInfo(SS_COMP, count) : MakeSupportInfo(SS_NO_ADAPTERS, 0);
}

uint32_t SptiSendASPI32Command(void* request) {
  if (!request)
    return SS_ERR;
  TSptiState& state = State();
  auto* header = static_cast<uint8_t*>(request);
  switch (header[0]) {
    case SC_HA_INQUIRY: return HaInquiry(state, *static_cast<SRB_HAInquiry*>(request));
    case SC_GET_DEV_TYPE: return DeviceType(state, *static_cast<SRB_GDEVBlock*>(request));
    case SC_EXEC_SCSI_CMD: return Execute(state, *static_cast<SRB_ExecSCSICmd*>(request));
    case SC_GET_DISK_INFO:
      // No disk information here: the drive letter comes from the table.
      header[1] = SS_PENDING;
      return SS_ERR;
    default:
      header[1] = SS_ERR;
      return SS_ERR;
  }
}

} // namespace qnzb
