// The Windows pass-through structures carried out as SG_IO, or handed to a
// simulated device for letters attached to one.

#include "platform/ScsiPassThrough.h"

#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

#include "platform/posix/DriveRegistry.h"

namespace qnzb::platform {
namespace {

struct THookState {
  std::mutex mutex;
  TSgIoHook hook;
  TAddressHook address;
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

// The adapter's host status (DID_* of the kernel's SCSI layer) and the
// driver's time-out flag.
constexpr uint16_t DidNoConnect = 0x01;
constexpr uint16_t DidTimeOut = 0x03;
constexpr uint16_t DidBadTarget = 0x04;
constexpr uint16_t DidReset = 0x08;
constexpr uint16_t DidTransportFailfast = 0x0F;
constexpr uint16_t DriverTimeout = 0x06;

bool Fail(TDriveError error) {
  posix::SetDriveError(std::move(error));
  return false;
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02Xh", value & 0xFFFFu);
  return text;
}

// The node was removed or now names another device: the drive went away.
bool NodeChanged(int descriptor, const std::string& path) {
  struct stat open {}, now {};
  if (::fstat(descriptor, &open) != 0 || ::stat(path.c_str(), &now) != 0)
    return true;
  return open.st_rdev != now.st_rdev || open.st_ino != now.st_ino;
}

// A failing SG_IO ioctl in words. Without write access the kernel refuses
// every command that changes the medium or the drive's settings.
TDriveError IoctlError(const posix::TOpenDrive& drive, int error) {
  TDriveError e;
  e.SystemError = error;
  e.Path = drive.Path;
  const std::string what = std::strerror(error);
  switch (error) {
    case EPERM:
    case EACCES:
    case EBADF:
      e.Fault = drive.ReadOnly ? TDriveFault::ReadOnly : TDriveFault::Refused;
      e.Text = drive.ReadOnly ? "no write access to " + drive.Path + " (opened read-only)"
                              : "the system refused the command on " + drive.Path + ": " + what;
      break;
    case ENODEV:
    case ENXIO:
      e.Fault = TDriveFault::Gone;
      e.Text = "the drive of " + drive.Path + " is gone";
      break;
    case EIO:
      e.Fault = NodeChanged(drive.Descriptor, drive.Path) ? TDriveFault::Gone : TDriveFault::IoError;
      e.Text = e.Fault == TDriveFault::Gone ? "the drive of " + drive.Path + " is gone"
                                            : "I/O error on " + drive.Path;
      break;
    case ETIMEDOUT:
      e.Fault = TDriveFault::Timeout;
      e.Text = "the drive of " + drive.Path + " did not answer in time";
      break;
    default:
      e.Fault = TDriveFault::Refused;
      e.Text = "the system refused the command on " + drive.Path + ": " + what;
      break;
  }
  return e;
}

// An adapter error of a command that came back.
TDriveError HostError(const posix::TOpenDrive& drive, const TSgIoRequest& request) {
  TDriveError e;
  e.HostStatus = request.HostStatus;
  e.Path = drive.Path;
  switch (request.HostStatus) {
    case 0:  // only the driver's time-out brings us here
    case DidTimeOut:
      e.Fault = TDriveFault::Timeout;
      e.Text = "the drive of " + drive.Path + " did not answer in time";
      break;
    case DidNoConnect:
    case DidBadTarget:
    case DidTransportFailfast:
      e.Fault = TDriveFault::Gone;
      e.Text = "the drive of " + drive.Path + " is gone";
      break;
    case DidReset:
      e.Fault = TDriveFault::BusReset;
      e.Text = "the bus of " + drive.Path + " was reset during the command";
      break;
    default:
      e.Fault = TDriveFault::HostError;
      e.Text = "the adapter of " + drive.Path + " reported host status " + Hex2(request.HostStatus);
      break;
  }
  return e;
}

int RealIdLun(int descriptor, TScsiIdLun& address) {
  // dev_id: id in bits 0-7, lun 8-15, channel 16-23, host 24-31.
  struct {
    int dev_id;
    int host_unique_id;
  } idlun{};
  if (::ioctl(descriptor, SCSI_IOCTL_GET_IDLUN, &idlun) != 0)
    return errno;
  // The bus number is the whole host number; dev_id holds its low byte only.
  int bus = 0;
  if (::ioctl(descriptor, SCSI_IOCTL_GET_BUS_NUMBER, &bus) != 0)
    bus = (idlun.dev_id >> 24) & 0xFF;
  address.Host = static_cast<uint32_t>(bus);
  address.Channel = static_cast<uint8_t>((idlun.dev_id >> 16) & 0xFF);
  address.Id = static_cast<uint8_t>(idlun.dev_id & 0xFF);
  address.Lun = static_cast<uint8_t>((idlun.dev_id >> 8) & 0xFF);
  return 0;
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
  if (spt->DataIn > SptDataUnspecified)
    return false;
  // Data with no direction is not something SG_IO can carry.
  if (spt->DataIn == SptDataUnspecified && spt->DataTransferLength > 0)
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
    direction = spt.DataIn == SptDataIn ? ScsiDirection::In : ScsiDirection::Out;
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

bool RunSgIo(const posix::TOpenDrive& drive, const TChecked& c) {
  SCSI_PASS_THROUGH_DIRECT& spt = *c.Spt;
  TSgIoRequest request;
  request.Node = drive.Path;
  if (spt.DataTransferLength > 0)
    request.Direction = spt.DataIn == SptDataIn ? TSgIoRequest::TDirection::FromDevice
                                                         : TSgIoRequest::TDirection::ToDevice;
  request.Cdb = spt.Cdb;
  request.CdbLength = spt.CdbLength;
  request.Data = spt.DataBuffer;
  request.DataLength = spt.DataTransferLength;
  constexpr uint32_t maxSeconds = std::numeric_limits<uint32_t>::max() / 1000;
  request.TimeoutMs = (spt.TimeOutValue < maxSeconds ? spt.TimeOutValue : maxSeconds) * 1000;
  request.Sense = c.Sense;
  request.SenseCapacity = c.SenseCapacity;
  if (SgIo(drive.Descriptor, request) != 0)
    return Fail(IoctlError(drive, errno));
  spt.ScsiStatus = request.Status;
  spt.SenseInfoLength = request.SenseWritten < c.SenseCapacity ? request.SenseWritten : c.SenseCapacity;
  if (request.Residual > 0 && static_cast<uint32_t>(request.Residual) <= spt.DataTransferLength)
    spt.DataTransferLength -= static_cast<uint32_t>(request.Residual);
  // A status with an adapter error (time-out, reset, no connect) is a failed
  // transport, not an answer of the device.
  if (request.HostStatus != 0 || (request.DriverStatus & 0x0F) == DriverTimeout)
    return Fail(HostError(drive, request));
  posix::ClearDriveError();
  return true;
}

} // namespace

bool ScsiPassThroughDirect(TDriveHandle handle, void* buffer, uint32_t length) {
  TChecked checked{};
  if (!Check(buffer, length, checked))
    return Fail({TDriveFault::Malformed, EINVAL, 0, {}, "malformed pass-through request"});
  const std::optional<posix::TOpenDrive> drive = posix::LookUpDrive(handle);
  if (!drive)
    return Fail({TDriveFault::NotOpen, EBADF, 0, {}, "the drive is not open"});
  if (drive->Simulated) {
    const std::string name = std::string("drive ") + drive->Letter + ":";
    if (!drive->Simulated->Device)
      return Fail({TDriveFault::Gone, ENODEV, 0, {}, "the drive of " + name + " is gone"});
    if (drive->Simulated->PassThroughFails)
      return Fail({TDriveFault::IoError, EIO, 0, {}, "I/O error on " + name});
    posix::ClearDriveError();
    return RunSimulated(*drive->Simulated->Device, checked);
  }
  return RunSgIo(*drive, checked);
}

bool ScsiGetAddress(TDriveHandle handle, SCSI_ADDRESS& address) {
  const std::optional<posix::TOpenDrive> drive = posix::LookUpDrive(handle);
  if (!drive)
    return Fail({TDriveFault::NotOpen, EBADF, 0, {}, "the drive is not open"});
  if (drive->Simulated) {
    if (!drive->Simulated->Address)
      return Fail({TDriveFault::Refused, ENOTTY, 0, {}, "the drive has no SCSI address"});
    posix::ClearDriveError();
    address = *drive->Simulated->Address;
    address.Length = sizeof(SCSI_ADDRESS);
    return true;
  }
  TAddressHook hook;
  {
    THookState& state = HookState();
    const std::lock_guard lock(state.mutex);
    hook = state.address;
  }
  TScsiIdLun found;
  const int error = hook ? hook(drive->Path, found) : RealIdLun(drive->Descriptor, found);
  if (error != 0)
    return Fail({TDriveFault::Refused, error, 0, drive->Path, drive->Path + " has no SCSI address"});
  posix::ClearDriveError();
  address.Length = sizeof(SCSI_ADDRESS);
  // The Windows layout has one byte for the host: numbers from 256 on wrap.
  address.PortNumber = static_cast<uint8_t>(found.Host);
  address.PathId = found.Channel;
  address.TargetId = found.Id;
  address.Lun = found.Lun;
  return true;
}

void SetSgIoHook(TSgIoHook hook) {
  THookState& state = HookState();
  const std::lock_guard lock(state.mutex);
  state.hook = std::move(hook);
}

void SetAddressHook(TAddressHook hook) {
  THookState& state = HookState();
  const std::lock_guard lock(state.mutex);
  state.address = std::move(hook);
}

} // namespace qnzb::platform
