// The Windows pass-through structures carried out as SG_IO, or handed to a
// simulated device for letters attached to one.

#include "platform/ScsiPassThrough.h"

#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <span>

#include "platform/posix/DriveRegistry.h"

namespace qnzb::platform {
namespace {

struct THookState {
  std::mutex mutex;
  TSgIoHook hook;
};

THookState& HookState() {
  static THookState state;
  return state;
}

int RealSgIo(int descriptor, TSgIoRequest& request) {
  sg_io_hdr_t header{};
  header.interface_id = 'S';
  switch (request.Direction) {
    case TSgIoRequest::TDirection::None: header.dxfer_direction = SG_DXFER_NONE; break;
    case TSgIoRequest::TDirection::ToDevice: header.dxfer_direction = SG_DXFER_TO_DEV; break;
    case TSgIoRequest::TDirection::FromDevice: header.dxfer_direction = SG_DXFER_FROM_DEV; break;
  }
  header.cmd_len = request.CdbLength;
  header.cmdp = const_cast<unsigned char*>(request.Cdb);
  header.dxferp = request.Data;
  header.dxfer_len = request.DataLength;
  header.sbp = request.Sense;
  header.mx_sb_len = request.SenseCapacity;
  header.timeout = request.TimeoutMs;
  int rc;
  do {
    rc = ::ioctl(descriptor, SG_IO, &header);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0)
    return rc;
  request.Status = header.status;
  request.HostStatus = header.host_status;
  request.DriverStatus = header.driver_status;
  request.SenseWritten = header.sb_len_wr;
  request.Residual = header.resid;
  request.DurationMs = header.duration;
  return 0;
}

int SgIo(int descriptor, TSgIoRequest& request) {
  TSgIoHook hook;
  {
    THookState& state = HookState();
    const std::lock_guard lock(state.mutex);
    hook = state.hook;
  }
  return hook ? hook(descriptor, request) : RealSgIo(descriptor, request);
}

// The parts of the structure every path needs, checked: false when it can't
// be carried out safely.
struct TChecked {
  SCSI_PASS_THROUGH_DIRECT* Spt;
  uint8_t* Sense;
  uint8_t SenseCapacity;
};

bool Check(void* buffer, uint32_t length, TChecked& out) {
  if (!buffer || length < sizeof(SCSI_PASS_THROUGH_DIRECT))
    return false;
  auto* spt = static_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer);
  if (spt->CdbLength == 0 || spt->CdbLength > sizeof spt->Cdb)
    return false;
  if (spt->DataTransferLength > 0 && !spt->DataBuffer)
    return false;
  if (spt->DataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
    return false;
  // Data with no direction is not something SG_IO can carry.
  if (spt->DataIn == SCSI_IOCTL_DATA_UNSPECIFIED && spt->DataTransferLength > 0)
    return false;
  uint8_t* sense = nullptr;
  uint8_t capacity = 0;
  if (spt->SenseInfoLength > 0) {
    // The sense buffer must lie after the structure and inside the buffer.
    if (spt->SenseInfoOffset < sizeof(SCSI_PASS_THROUGH_DIRECT) || spt->SenseInfoOffset >= length)
      return false;
    sense = static_cast<uint8_t*>(buffer) + spt->SenseInfoOffset;
    const uint32_t room = length - spt->SenseInfoOffset;
    capacity = static_cast<uint8_t>(spt->SenseInfoLength < room ? spt->SenseInfoLength : room);
  }
  out = {spt, sense, capacity};
  return true;
}

bool RunSimulated(SimulatedDevice& device, const TChecked& c) {
  SCSI_PASS_THROUGH_DIRECT& spt = *c.Spt;
  ScsiDirection direction = ScsiDirection::None;
  if (spt.DataTransferLength > 0)
    direction = spt.DataIn == SCSI_IOCTL_DATA_IN ? ScsiDirection::In : ScsiDirection::Out;
  uint8_t sense[255] = {};
  const ScsiOutcome outcome =
      device.Execute(std::span<const uint8_t>(spt.Cdb, spt.CdbLength),
                     std::span<uint8_t>(static_cast<uint8_t*>(spt.DataBuffer), spt.DataTransferLength), direction,
                     std::span<uint8_t>(sense, c.SenseCapacity));
  spt.ScsiStatus = outcome.Status;
  const uint8_t senseLength = outcome.SenseLength < c.SenseCapacity ? outcome.SenseLength : c.SenseCapacity;
  if (senseLength > 0)
    std::memcpy(c.Sense, sense, senseLength);
  spt.SenseInfoLength = senseLength;
  if (outcome.Transferred < spt.DataTransferLength)
    spt.DataTransferLength = outcome.Transferred;
  return true;
}

bool RunSgIo(int descriptor, const TChecked& c) {
  SCSI_PASS_THROUGH_DIRECT& spt = *c.Spt;
  TSgIoRequest request;
  if (spt.DataTransferLength > 0)
    request.Direction = spt.DataIn == SCSI_IOCTL_DATA_IN ? TSgIoRequest::TDirection::FromDevice
                                                         : TSgIoRequest::TDirection::ToDevice;
  request.Cdb = spt.Cdb;
  request.CdbLength = spt.CdbLength;
  request.Data = spt.DataBuffer;
  request.DataLength = spt.DataTransferLength;
  constexpr uint32_t maxSeconds = std::numeric_limits<uint32_t>::max() / 1000;
  request.TimeoutMs = (spt.TimeOutValue < maxSeconds ? spt.TimeOutValue : maxSeconds) * 1000;
  request.Sense = c.Sense;
  request.SenseCapacity = c.SenseCapacity;
  if (SgIo(descriptor, request) != 0)
    return false;
  spt.ScsiStatus = request.Status;
  spt.SenseInfoLength = request.SenseWritten < c.SenseCapacity ? request.SenseWritten : c.SenseCapacity;
  if (request.Residual > 0 && static_cast<uint32_t>(request.Residual) <= spt.DataTransferLength)
    spt.DataTransferLength -= static_cast<uint32_t>(request.Residual);
  // A status with an adapter error (time-out, reset, no connect) is a failed
  // transport, not an answer of the device.
  return request.HostStatus == 0;
}

} // namespace

bool ScsiPassThroughDirect(TDriveHandle handle, void* buffer, uint32_t length) {
  TChecked checked{};
  if (!Check(buffer, length, checked))
    return false;
  const std::optional<posix::TOpenDrive> drive = posix::LookUpDrive(handle);
  if (!drive)
    return false;
  if (drive->Simulated) {
    if (drive->Simulated->PassThroughFails || !drive->Simulated->Device)
      return false;
    return RunSimulated(*drive->Simulated->Device, checked);
  }
  return RunSgIo(drive->Descriptor, checked);
}

bool ScsiGetAddress(TDriveHandle handle, SCSI_ADDRESS& address) {
  const std::optional<posix::TOpenDrive> drive = posix::LookUpDrive(handle);
  if (!drive)
    return false;
  if (drive->Simulated) {
    if (!drive->Simulated->Address)
      return false;
    address = *drive->Simulated->Address;
    address.Length = sizeof(SCSI_ADDRESS);
    return true;
  }
  // dev_id: id in bits 0-7, lun 8-15, channel 16-23, host 24-31.
  struct {
    int dev_id;
    int host_unique_id;
  } idlun{};
  if (::ioctl(drive->Descriptor, SCSI_IOCTL_GET_IDLUN, &idlun) != 0)
    return false;
  int bus = 0;
  if (::ioctl(drive->Descriptor, SCSI_IOCTL_GET_BUS_NUMBER, &bus) != 0)
    bus = (idlun.dev_id >> 24) & 0xFF;
  address.Length = sizeof(SCSI_ADDRESS);
  address.PortNumber = static_cast<uint8_t>(bus);
  address.PathId = static_cast<uint8_t>((idlun.dev_id >> 16) & 0xFF);
  address.TargetId = static_cast<uint8_t>(idlun.dev_id & 0xFF);
  address.Lun = static_cast<uint8_t>((idlun.dev_id >> 8) & 0xFF);
  return true;
}

void SetSgIoHook(TSgIoHook hook) {
  THookState& state = HookState();
  const std::lock_guard lock(state.mutex);
  state.hook = std::move(hook);
}

} // namespace qnzb::platform
