// Drive letters as the system has them (GetDriveTypeA), "\\.\X:" handles,
// simulated letters and the handle registry behind drive handles.

#include "platform/Drives.h"

#include <cctype>
#include <cerrno>

#include "platform/win32/DriveRegistry.h"

namespace qnzb::platform {
namespace {

// The test hook's errno, as the Windows error the open would have failed with.
DWORD HookError(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_GEN_FAILURE;
  }
}

HANDLE OpenPath(const std::string& path, bool readWrite, bool exclusive) {
  const TOpenHook hook = common::CurrentOpenHook();
  if (hook) {
    if (const int error = hook(path, readWrite)) {
      ::SetLastError(HookError(error));
      return INVALID_HANDLE_VALUE;
    }
  }
  // No "insert a disc" box for a drive without a medium.
  const UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HANDLE device = ::CreateFileA(path.c_str(), readWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
  const DWORD error = ::GetLastError();
  ::SetErrorMode(previous);
  ::SetLastError(error);
  return device;
}

TDriveError OpenError(const std::string& path, DWORD error) {
  TDriveError e;
  e.SystemError = static_cast<int>(error);
  e.Path = path;
  switch (error) {
    case ERROR_ACCESS_DENIED:
      e.Fault = TDriveFault::Denied;
      e.Text = "access denied on " + path + ": run the program as an administrator";
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      e.Fault = TDriveFault::NoDrive;
      e.Text = path + " does not exist";
      break;
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
      e.Fault = TDriveFault::Gone;
      e.Text = "no device behind " + path;
      break;
    case ERROR_SHARING_VIOLATION:
      e.Fault = TDriveFault::Busy;
      e.Text = path + " is in use by another program, or its disc is in use";
      break;
    default:
      e.Fault = TDriveFault::Refused;
      e.Text = "can't open " + path + ": " + win32::ErrorText(error);
      break;
  }
  return e;
}

} // namespace

std::string DriveDevicePath(char letter) {
  const int index = common::LetterIndex(letter);
  if (index < 0 || common::SimulatedDriveOf(letter))
    return {};
  const char root[] = {static_cast<char>('A' + index), ':', '\\', '\0'};
  const UINT type = ::GetDriveTypeA(root);
  if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN)
    return {};
  return std::string("\\\\.\\") + root[0] + ":";
}

TDriveType DriveTypeOf(const std::string& rootPath) {
  if (rootPath.empty() || (rootPath.size() > 1 && rootPath[1] != ':') ||
      (rootPath.size() > 2 && (rootPath.size() > 3 || (rootPath[2] != '\\' && rootPath[2] != '/'))))
    return TDriveType::NoRootDir;
  const int index = common::LetterIndex(rootPath[0]);
  if (index < 0)
    return TDriveType::NoRootDir;
  if (common::SimulatedDriveOf(rootPath[0]))
    return TDriveType::CdRom;
  const char root[] = {static_cast<char>('A' + index), ':', '\\', '\0'};
  // The values are Windows' own.
  const UINT type = ::GetDriveTypeA(root);
  return type <= DRIVE_RAMDISK ? static_cast<TDriveType>(type) : TDriveType::Unknown;
}

TDriveHandle OpenDrive(char letter) {
  const int index = common::LetterIndex(letter);
  const auto fail = [](TDriveError error) {
    common::SetDriveError(std::move(error));
    return InvalidDriveHandle;
  };
  if (index < 0)
    return fail({TDriveFault::NoDrive, 0, 0, {}, "no drive letter"});
  const char upper = static_cast<char>('A' + index);
  if (std::optional<TSimulatedDrive> simulated = common::SimulatedDriveOf(upper)) {
    if (simulated->OpenFails)
      return fail({TDriveFault::Refused, 0, 0, {}, std::string("drive ") + upper + ": can't be opened"});
    common::ClearDriveError();
    return common::RegisterDrive({win32::FromHandle(INVALID_HANDLE_VALUE), simulated, upper, {}, false});
  }
  const std::string path = DriveDevicePath(upper);
  if (path.empty())
    return fail({TDriveFault::NoDrive, 0, 0, {}, std::string("no drive ") + upper + ":"});
  const bool exclusive = common::DriveExclusive(index);
  HANDLE device = OpenPath(path, true, exclusive);
  const DWORD readWriteError = device == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
  // Busy is the answer for any access mode: no read-only fallback then.
  if (device == INVALID_HANDLE_VALUE && readWriteError != ERROR_SHARING_VIOLATION)
    device = OpenPath(path, false, exclusive);
  if (device == INVALID_HANDLE_VALUE)
    return fail(OpenError(path, ::GetLastError()));
  common::ClearDriveError();
  return common::RegisterDrive({win32::FromHandle(device), std::nullopt, upper, path, readWriteError != 0});
}

bool CloseDrive(TDriveHandle handle) {
  const std::optional<common::TOpenDrive> drive = common::UnregisterDrive(handle);
  if (!drive)
    return false;
  HANDLE device = win32::ToHandle(drive->System);
  return device == INVALID_HANDLE_VALUE || ::CloseHandle(device) != 0;
}

} // namespace qnzb::platform
