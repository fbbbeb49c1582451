// The ASPI entry points emulated over the storage driver's SCSI pass-through.

#include "engine/device/qnSPTI.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

#include "engine/device/ScsiSense.h"
#include "engine/device/Transport.h"
#include "engine/device/qnConst.h"
#include "engine/runtime/Strings.h"
#include "platform/Drives.h"
#include "platform/ScsiPassThrough.h"

namespace qnzb {
namespace {

using platform::SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER;

// Scan-time INQUIRY: allocation length 96.
constexpr uint8_t ScanInquiryLength = 96;
// What the cache serves of the standard INQUIRY data.
constexpr uint32_t ServedInquiryLength = 36;

// Targets per adapter the device list enumerates.
constexpr uint8_t TargetsPerAdapter = 8;

struct TSptiState {
  TSptiDriveTable table;
  bool scanned = false;
  std::vector<TSptiSkipped> skipped;
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

// Adapters 0, 1, ... in scan order, one per (host, channel) that holds a
// drive; drives without a usable address on the adapters after them,
// eight to an adapter. At least one adapter, as the table always had.
void AssignAddresses(TSptiDriveTable& table) {
  std::vector<std::pair<uint8_t, uint8_t>> hosts;
  std::set<std::tuple<uint8_t, uint8_t, uint8_t>> taken;
  std::vector<TSptiDrive*> homeless;
  for (size_t i = 2; i < table.Drives.size(); ++i) {
    TSptiDrive& d = table.Drives[i];
    if (!d.Present)
      continue;
    // The device list enumerates targets and units 0-7 only.
    if (!d.Addressed || d.Target >= TargetsPerAdapter || d.Lun >= TargetsPerAdapter) {
      homeless.push_back(&d);
      continue;
    }
    const std::pair<uint8_t, uint8_t> host(d.Host, d.Channel);
    auto at = std::find(hosts.begin(), hosts.end(), host);
    if (at == hosts.end())
      at = hosts.insert(hosts.end(), host);
    const auto adapter = static_cast<uint8_t>(at - hosts.begin());
    if (!taken.insert({adapter, d.Target, d.Lun}).second) {
      homeless.push_back(&d);
      continue;
    }
    d.HaId = adapter;
  }
  const size_t extra = hosts.size();
  for (size_t n = 0; n < homeless.size(); ++n) {
    homeless[n]->HaId = static_cast<uint8_t>(extra + n / TargetsPerAdapter);
    homeless[n]->Target = static_cast<uint8_t>(n % TargetsPerAdapter);
    homeless[n]->Lun = 0;
  }
  const size_t count = extra + (homeless.size() + TargetsPerAdapter - 1) / TargetsPerAdapter;
  table.AdapterCount = static_cast<uint8_t>(std::clamp<size_t>(count, 1, 255));
}

platform::TDriveHandle OpenLetter(TSptiDrive& entry) {
  const platform::TDriveHandle handle = platform::OpenDrive(static_cast<char>('A' + entry.DriveIndex));
  if (handle != platform::InvalidDriveHandle)
    entry.ReadOnly = platform::DriveOpenedReadOnly(handle);
  return handle;
}

// A drive as the user knows it: its device node, else its letter.
std::string Where(const std::string& node, uint8_t driveIndex) {
  return node.empty() ? Format("DRIVE %c:", 'A' + driveIndex) : node;
}

// A transport failure as the request block carries it: the host status, and
// the reason in words.
uint8_t HostStatusOf(platform::TDriveFault fault) {
  using platform::TDriveFault;
  switch (fault) {
    case TDriveFault::Timeout: return HASTAT_TIMEOUT;
    case TDriveFault::NoDrive:
    case TDriveFault::Gone: return HASTAT_SEL_TO;
    case TDriveFault::BusReset: return HASTAT_BUS_RESET;
    default: return HASTAT_PHASE_ERR;
  }
}

std::string ReasonOf(const platform::TDriveError& error, uint8_t driveIndex) {
  using platform::TDriveFault;
  const std::string where = Where(error.Path, driveIndex);
  switch (error.Fault) {
    case TDriveFault::Timeout: return whyNoAnswerInTime;
    case TDriveFault::NoDrive:
    case TDriveFault::Gone: return whyDriveGone;
    case TDriveFault::ReadOnly: return Format(whyNoWriteAccess, where.c_str());
    case TDriveFault::Denied: return Format(whyNoAccess, where.c_str());
    case TDriveFault::Busy: return msgDriveInUse;
    case TDriveFault::BusReset: return whyBusReset;
    case TDriveFault::HostError: return Format(whyHostError, unsigned{error.HostStatus});
    case TDriveFault::IoError: return Format(whyIoError, where.c_str());
    default:
      return Format(whySystemRefused, where.c_str(),
                    error.SystemError != 0 ? std::strerror(error.SystemError) : error.Text.c_str());
  }
}

// The pass-through structure of a command, as the driver takes it.
void FillPassThrough(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& buffer, const uint8_t* cdb, uint8_t cdbLength,
                     uint8_t senseLength, uint8_t dataIn, uint32_t dataLength, void* data, uint32_t seconds) {
  std::memset(&buffer, 0, sizeof buffer);
  platform::SCSI_PASS_THROUGH_DIRECT& spt = buffer.Spt;
  spt.Length = sizeof(platform::SCSI_PASS_THROUGH_DIRECT);
  spt.CdbLength = std::min<uint8_t>(cdbLength, sizeof spt.Cdb);
  spt.SenseInfoLength = std::min<uint8_t>(senseLength, sizeof buffer.SenseBuf);
  spt.DataIn = dataIn;
  spt.DataTransferLength = dataLength;
  spt.TimeOutValue = seconds;
  spt.DataBuffer = data;
  spt.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
  std::memcpy(spt.Cdb, cdb, spt.CdbLength);
}

void Skip(TSptiState& state, uint8_t number, const std::string& reason) {
  const char letter = static_cast<char>('A' + number);
  state.skipped.push_back({letter, platform::DriveDevicePath(letter), reason});
}

void Probe(TSptiState& state, uint8_t number) {
  TSptiDrive& entry = state.table.Drives[number];
  entry.DriveIndex = number;
  const platform::TDriveHandle handle = OpenLetter(entry);
  if (handle == platform::InvalidDriveHandle) {
    Skip(state, number, platform::LastDriveError().Text);
    return;
  }
  const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, ScanInquiryLength, 0x00};
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER buffer;
  state.scanBuffer.fill(0);
  FillPassThrough(buffer, cdb, sizeof cdb, 24, platform::SptDataIn, ScanInquiryLength,
                  state.scanBuffer.data(), SptiTimeoutSeconds);
  if (!platform::ScsiPassThroughDirect(handle, &buffer, sizeof buffer)) {
    Skip(state, number, platform::LastDriveError().Text);
    platform::CloseDrive(handle);
    return;
  }
  std::memcpy(entry.InquiryCache.data(), state.scanBuffer.data(), entry.InquiryCache.size());
  platform::SCSI_ADDRESS address{};
  address.Length = sizeof address;
  entry.Addressed = platform::ScsiGetAddress(handle, address);
  if (entry.Addressed) {
    entry.Host = address.PortNumber;
    entry.Channel = address.PathId;
    entry.Target = address.TargetId;
    entry.Lun = address.Lun;
  }
  entry.Present = true;
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

uint32_t Execute(TSptiState& state, SRB_ExecSCSICmd& srb, uint32_t seconds, TExecDetails& details) {
  details = TExecDetails{};
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
    details.Transferred = srb.SRB_BufPointer ? std::min(ServedInquiryLength, srb.SRB_BufLen) : 0;
    if (srb.SRB_BufPointer)
      std::memcpy(srb.SRB_BufPointer, drive->InquiryCache.data(), details.Transferred);
    srb.SRB_Status = SS_COMP;
    return SS_COMP;
  }

  platform::TDriveHandle handle;
  platform::TDriveError openError;
  {
    const std::lock_guard lock(state.handles);
    if (drive->Handle == platform::InvalidDriveHandle) {
      drive->Handle = OpenLetter(*drive);
      if (drive->Handle == platform::InvalidDriveHandle)
        openError = platform::LastDriveError();
    }
    handle = drive->Handle;
  }

  uint8_t dataIn = platform::SptDataUnspecified;
  if (srb.SRB_Flags & SRB_DIR_IN)
    dataIn = platform::SptDataIn;
  else if (srb.SRB_Flags & SRB_DIR_OUT)
    dataIn = platform::SptDataOut;
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER buffer;
  FillPassThrough(buffer, srb.CDBByte, srb.SRB_CDBLen, srb.SRB_SenseLen, dataIn, srb.SRB_BufLen,
                  srb.SRB_BufPointer, seconds);
  const bool passed =
      handle != platform::InvalidDriveHandle && platform::ScsiPassThroughDirect(handle, &buffer, sizeof buffer);
  if (passed) {
    details.Transferred = buffer.Spt.DataTransferLength;
    srb.SRB_TargStat = buffer.Spt.ScsiStatus;
    if (buffer.Spt.ScsiStatus == ScsiStatusGood) {
      srb.SRB_Status = SS_COMP;
    } else {
      srb.SRB_Status = SS_ERR;
      std::memcpy(srb.SenseArea, buffer.SenseBuf, std::min<size_t>(buffer.Spt.SenseInfoLength, sizeof buffer.SenseBuf));
    }
  } else {
    // The command never got an answer: no target status, no sense, but the
    // host status and the reason say what happened.
    const platform::TDriveError error =
        handle == platform::InvalidDriveHandle ? openError : platform::LastDriveError();
    srb.SRB_Status = error.Fault == platform::TDriveFault::Malformed ? SS_INVALID_SRB : SS_ERR;
    srb.SRB_TargStat = ScsiStatusGood;
    srb.SRB_HaStat = srb.SRB_Status == SS_ERR ? HostStatusOf(error.Fault) : HASTAT_OK;
    details.Reason = ReasonOf(error, drive->DriveIndex);
    // A handle on a drive that went away stays useless: the next command
    // opens the drive afresh (a drive plugged in again works again).
    if (error.Fault == platform::TDriveFault::Gone) {
      const std::lock_guard lock(state.handles);
      if (drive->Handle != platform::InvalidDriveHandle) {
        platform::CloseDrive(drive->Handle);
        drive->Handle = platform::InvalidDriveHandle;
      }
    }
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

const TSptiDrive* SptiDriveOfLetter(char letter) {
  if (letter < 'C' || letter > 'Z')
    return nullptr;
  const TSptiDrive& d = State().table.Drives[static_cast<size_t>(letter - 'A')];
  return d.Present ? &d : nullptr;
}

const std::vector<TSptiSkipped>& SptiSkippedDrives() {
  return State().skipped;
}

std::optional<bool> SptiDriveWritable(uint8_t haId, uint8_t target, uint8_t lun, std::string& why) {
  TSptiState& state = State();
  TSptiDrive* drive = FindDrive(state.table, haId, target, lun);
  if (!drive)
    return std::nullopt;
  const std::lock_guard lock(state.handles);
  if (drive->Handle == platform::InvalidDriveHandle || drive->ReadOnly) {
    // Permissions may have changed since the drive was opened: ask the
    // system now, and let the commands to come use what it grants.
    const platform::TDriveHandle handle = OpenLetter(*drive);
    if (handle == platform::InvalidDriveHandle) {
      why = ReasonOf(platform::LastDriveError(), drive->DriveIndex);
      return false;
    }
    if (drive->Handle != platform::InvalidDriveHandle)
      platform::CloseDrive(drive->Handle);
    drive->Handle = handle;
  }
  if (!drive->ReadOnly)
    return true;
  const std::string where = Where(platform::DriveDevicePath(static_cast<char>('A' + drive->DriveIndex)), drive->DriveIndex);
  why = Format(whyNoWriteAccess, where.c_str());
  return false;
}

bool SptiSetExclusive(uint8_t haId, uint8_t target, uint8_t lun, bool exclusive, std::string& why) {
  TSptiState& state = State();
  TSptiDrive* drive = FindDrive(state.table, haId, target, lun);
  if (!drive)
    return true;
  const char letter = static_cast<char>('A' + drive->DriveIndex);
  const std::lock_guard lock(state.handles);
  platform::SetDriveExclusive(letter, exclusive);
  const platform::TDriveHandle handle = OpenLetter(*drive);
  if (handle == platform::InvalidDriveHandle) {
    why = ReasonOf(platform::LastDriveError(), drive->DriveIndex);
    platform::SetDriveExclusive(letter, !exclusive);
    return false;
  }
  // The old handle goes only now: until the new one is open the drive is
  // held as it was.
  if (drive->Handle != platform::InvalidDriveHandle)
    platform::CloseDrive(drive->Handle);
  drive->Handle = handle;
  return true;
}

int ScanDrives() {
  TSptiState& state = State();
  if (state.scanned)
    return 0;
  ClearTable(state);
  state.skipped.clear();
  int found = 0;
  for (uint8_t number = 2; number <= 26; ++number) {
    TSptiDrive& entry = state.table.Drives[number];
    entry.Handle = platform::InvalidDriveHandle;
    // Number 26 is one past Z: no letter, never a drive.
    const char root[] = {static_cast<char>('A' + number), ':', '\\', '\0'};
    if (number > 25 || platform::DriveTypeOf(root) != platform::TDriveType::CdRom) {
      entry.Target = 120;
      continue;
    }
    Probe(state, number);
    if (entry.Present)
      ++found;
  }
  AssignAddresses(state.table);
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

uint32_t SptiExecute(SRB_ExecSCSICmd& request, uint32_t timeoutMs, TExecDetails& details) {
  // SG_IO and the Windows structure count whole seconds: round up, so that
  // a drive gets at least the time the caller granted.
  const uint32_t seconds = timeoutMs / 1000 + (timeoutMs % 1000 != 0 ? 1 : 0);
  request.SRB_Cmd = SC_EXEC_SCSI_CMD;
  return Execute(State(), request, std::max<uint32_t>(seconds, 1), details);
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
    case SC_EXEC_SCSI_CMD: {
      TExecDetails details;
      return Execute(state, *static_cast<SRB_ExecSCSICmd*>(request), SptiTimeoutSeconds, details);
    }
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
