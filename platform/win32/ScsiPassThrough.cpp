// SCSI pass-through on "\\.\X:" handles: IOCTL_SCSI_PASS_THROUGH_DIRECT with
// the caller's structure as it is (our layout is the system's), and
// IOCTL_SCSI_GET_ADDRESS. Simulated letters reach their device in-process.
// The SG_IO and address seams of the header stand in for the two
// DeviceIoControl calls when a test sets them, so the translation is the
// same one the POSIX side tests.

#include "platform/ScsiPassThrough.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/common/PassThroughRequest.h"
#include "platform/win32/DriveRegistry.h"
// After <windows.h>, whose types it uses.
#include <winioctl.h>
#include <ntddscsi.h>

namespace qnzb::platform {

static_assert(sizeof(::SCSI_PASS_THROUGH_DIRECT) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(::SCSI_PASS_THROUGH_DIRECT, DataBuffer) == offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(::SCSI_PASS_THROUGH_DIRECT, Cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(::SCSI_ADDRESS) == sizeof(SCSI_ADDRESS));
static_assert(SCSI_IOCTL_DATA_IN == SptDataIn && SCSI_IOCTL_DATA_OUT == SptDataOut &&
              SCSI_IOCTL_DATA_UNSPECIFIED == SptDataUnspecified);

namespace {

bool Fail(TDriveError error) {
  common::SetDriveError(std::move(error));
  return false;
}

// A failed DeviceIoControl in words.
TDriveError IoctlError(const common::TOpenDrive& drive, DWORD error) {
  TDriveError e;
  e.SystemError = static_cast<int>(error);
  e.Path = drive.Path;
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
      e.Fault = drive.ReadOnly ? TDriveFault::ReadOnly : TDriveFault::Refused;
      e.Text = drive.ReadOnly ? "no write access to " + drive.Path + " (opened read-only)"
                              : "the system refused the command on " + drive.Path + ": " + win32::ErrorText(error);
      break;
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
      e.Fault = TDriveFault::Gone;
      e.Text = "the drive of " + drive.Path + " is gone";
      break;
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
      e.Fault = TDriveFault::Timeout;
      e.Text = "the drive of " + drive.Path + " did not answer in time";
      break;
    case ERROR_BUS_RESET:
    case ERROR_IO_DEVICE:
      e.Fault = error == ERROR_BUS_RESET ? TDriveFault::BusReset : TDriveFault::IoError;
      e.Text = error == ERROR_BUS_RESET ? "the bus of " + drive.Path + " was reset during the command"
                                        : "I/O error on " + drive.Path;
      break;
    case ERROR_INVALID_PARAMETER:
      e.Fault = TDriveFault::Malformed;
      e.Text = "the system can't carry the command out as given on " + drive.Path;
      break;
    default:
      e.Fault = TDriveFault::Refused;
      e.Text = "the system refused the command on " + drive.Path + ": " + win32::ErrorText(error);
      break;
  }
  return e;
}

// The errno a test seam fails with, as the Windows error it stands for.
DWORD SeamError(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
    case EBADF: return ERROR_ACCESS_DENIED;
    case ENODEV:
    case ENXIO: return ERROR_DEV_NOT_EXIST;
    case EIO: return ERROR_IO_DEVICE;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
  }
}

// The command through the test seam, translated as SG_IO carries it.
bool RunSeam(const TSgIoHook& hook, const common::TOpenDrive& drive, const common::TCheckedRequest& c) {
  TSgIoRequest request = common::SeamRequest(drive.Path, c);
  if (hook(-1, request) != 0)
    return Fail(IoctlError(drive, SeamError(errno)));
  common::ApplySeamReply(request, c);
  if (request.HostStatus != 0)
    return Fail({TDriveFault::HostError, 0, request.HostStatus, drive.Path,
                 "the adapter of " + drive.Path + " reported an error"});
  common::ClearDriveError();
  return true;
}

bool RunDevice(const common::TOpenDrive& drive, void* buffer, uint32_t length, const common::TCheckedRequest& c) {
  SCSI_PASS_THROUGH_DIRECT& spt = *c.Spt;
  const uint32_t wanted = spt.DataTransferLength;
  DWORD returned = 0;
  if (!::DeviceIoControl(win32::ToHandle(drive.System), IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer, length, buffer, length, &returned,
                         nullptr))
    return Fail(IoctlError(drive, ::GetLastError()));
  // The port driver reports the bytes moved in DataTransferLength and the
  // sense bytes in SenseInfoLength; never more than was asked for.
  if (spt.DataTransferLength > wanted)
    spt.DataTransferLength = wanted;
  if (spt.SenseInfoLength > c.SenseCapacity)
    spt.SenseInfoLength = c.SenseCapacity;
  common::ClearDriveError();
  return true;
}

} // namespace

bool ScsiPassThroughDirect(TDriveHandle handle, void* buffer, uint32_t length) {
  common::TCheckedRequest checked;
  if (!common::CheckRequest(buffer, length, checked))
    return Fail({TDriveFault::Malformed, ERROR_INVALID_PARAMETER, 0, {}, "malformed pass-through request"});
  // The port driver writes up to SenseInfoLength and checks Length against
  // its own structure.
  checked.Spt->SenseInfoLength = checked.SenseCapacity;
  checked.Spt->Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  const std::optional<common::TOpenDrive> drive = common::LookUpDrive(handle);
  if (!drive)
    return Fail({TDriveFault::NotOpen, ERROR_INVALID_HANDLE, 0, {}, "the drive is not open"});
  if (drive->Simulated) {
    const std::string name = std::string("drive ") + drive->Letter + ":";
    if (!drive->Simulated->Device)
      return Fail({TDriveFault::Gone, ERROR_DEV_NOT_EXIST, 0, {}, "the drive of " + name + " is gone"});
    if (drive->Simulated->PassThroughFails)
      return Fail({TDriveFault::IoError, ERROR_IO_DEVICE, 0, {}, "I/O error on " + name});
    common::ClearDriveError();
    return common::RunOnSimulatedDevice(*drive->Simulated->Device, checked);
  }
  const TSgIoHook hook = common::CurrentSgIoHook();
  return hook ? RunSeam(hook, *drive, checked) : RunDevice(*drive, buffer, length, checked);
}

bool ScsiGetAddress(TDriveHandle handle, SCSI_ADDRESS& address) {
  const std::optional<common::TOpenDrive> drive = common::LookUpDrive(handle);
  if (!drive)
    return Fail({TDriveFault::NotOpen, ERROR_INVALID_HANDLE, 0, {}, "the drive is not open"});
  if (drive->Simulated) {
    if (!drive->Simulated->Address)
      return Fail({TDriveFault::Refused, ERROR_NOT_SUPPORTED, 0, {}, "the drive has no SCSI address"});
    common::ClearDriveError();
    address = *drive->Simulated->Address;
    address.Length = sizeof(SCSI_ADDRESS);
    return true;
  }
  const TAddressHook hook = common::CurrentAddressHook();
  if (hook) {
    TScsiIdLun found;
    if (const int error = hook(drive->Path, found))
      return Fail({TDriveFault::Refused, error, 0, drive->Path, drive->Path + " has no SCSI address"});
    address = {sizeof(SCSI_ADDRESS), static_cast<uint8_t>(found.Host), found.Channel, found.Id, found.Lun};
    common::ClearDriveError();
    return true;
  }
  ::SCSI_ADDRESS system{};
  system.Length = sizeof system;
  DWORD returned = 0;
  if (!::DeviceIoControl(win32::ToHandle(drive->System), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &system, sizeof system, &returned,
                         nullptr)) {
    const DWORD error = ::GetLastError();
    return Fail({TDriveFault::Refused, static_cast<int>(error), 0, drive->Path,
                 drive->Path + " has no SCSI address"});
  }
  address = {sizeof(SCSI_ADDRESS), system.PortNumber, system.PathId, system.TargetId, system.Lun};
  common::ClearDriveError();
  return true;
}

} // namespace qnzb::platform
