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

#include "platform/common/PassThroughRequest.h"
#include "platform/posix/DriveRegistry.h"

namespace qnzb::platform {
namespace {

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
  const TSgIoHook hook = common::CurrentSgIoHook();
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
  common::SetDriveError(std::move(error));
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
TDriveError IoctlError(const common::TOpenDrive& drive, int error) {
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
      e.Fault = NodeChanged(static_cast<int>(drive.System), drive.Path) ? TDriveFault::Gone : TDriveFault::IoError;
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
TDriveError HostError(const common::TOpenDrive& drive, const TSgIoRequest& request) {
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

bool RunSgIo(const common::TOpenDrive& drive, const common::TCheckedRequest& c) {
  TSgIoRequest request = common::SeamRequest(drive.Path, c);
  if (SgIo(static_cast<int>(drive.System), request) != 0)
    return Fail(IoctlError(drive, errno));
  common::ApplySeamReply(request, c);
  // A status with an adapter error (time-out, reset, no connect) is a failed
  // transport, not an answer of the device.
  if (request.HostStatus != 0 || (request.DriverStatus & 0x0F) == DriverTimeout)
    return Fail(HostError(drive, request));
  common::ClearDriveError();
  return true;
}

} // namespace

bool ScsiPassThroughDirect(TDriveHandle handle, void* buffer, uint32_t length) {
  common::TCheckedRequest checked;
  if (!common::CheckRequest(buffer, length, checked))
    return Fail({TDriveFault::Malformed, EINVAL, 0, {}, "malformed pass-through request"});
  const std::optional<common::TOpenDrive> drive = common::LookUpDrive(handle);
  if (!drive)
    return Fail({TDriveFault::NotOpen, EBADF, 0, {}, "the drive is not open"});
  if (drive->Simulated) {
    const std::string name = std::string("drive ") + drive->Letter + ":";
    if (!drive->Simulated->Device)
      return Fail({TDriveFault::Gone, ENODEV, 0, {}, "the drive of " + name + " is gone"});
    if (drive->Simulated->PassThroughFails)
      return Fail({TDriveFault::IoError, EIO, 0, {}, "I/O error on " + name});
    common::ClearDriveError();
    return common::RunOnSimulatedDevice(*drive->Simulated->Device, checked);
  }
  return RunSgIo(*drive, checked);
}

bool ScsiGetAddress(TDriveHandle handle, SCSI_ADDRESS& address) {
  const std::optional<common::TOpenDrive> drive = common::LookUpDrive(handle);
  if (!drive)
    return Fail({TDriveFault::NotOpen, EBADF, 0, {}, "the drive is not open"});
  if (drive->Simulated) {
    if (!drive->Simulated->Address)
      return Fail({TDriveFault::Refused, ENOTTY, 0, {}, "the drive has no SCSI address"});
    common::ClearDriveError();
    address = *drive->Simulated->Address;
    address.Length = sizeof(SCSI_ADDRESS);
    return true;
  }
  const TAddressHook hook = common::CurrentAddressHook();
  TScsiIdLun found;
  const int error = hook ? hook(drive->Path, found) : RealIdLun(static_cast<int>(drive->System), found);
  if (error != 0)
    return Fail({TDriveFault::Refused, error, 0, drive->Path, drive->Path + " has no SCSI address"});
  common::ClearDriveError();
  address.Length = sizeof(SCSI_ADDRESS);
  // The Windows layout has one byte for the host: numbers from 256 on wrap.
  address.PortNumber = static_cast<uint8_t>(found.Host);
  address.PathId = found.Channel;
  address.TargetId = found.Id;
  address.Lun = found.Lun;
  return true;
}

} // namespace qnzb::platform
