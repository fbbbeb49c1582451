// Drive letters as the system has them (GetDriveTypeA), "\\.\X:" handles,
// simulated letters and the handle registry behind drive handles.

#include "platform/Drives.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/win32/DriveRegistry.h"

namespace qnzb::platform {
namespace {

struct TRegistry {
  std::mutex mutex;
  std::array<std::optional<TSimulatedDrive>, 26> simulated;
  std::array<bool, 26> exclusive{};
  std::map<TDriveHandle, win32::TOpenDrive> open;
  TDriveHandle next = 1;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

thread_local TDriveError lastError;

struct TOpenHookState {
  std::mutex mutex;
  TOpenHook hook;
};

TOpenHookState& OpenHookState() {
  static TOpenHookState state;
  return state;
}

int LetterIndex(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return upper >= 'A' && upper <= 'Z' ? upper - 'A' : -1;
}

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
  TOpenHook hook;
  {
    TOpenHookState& state = OpenHookState();
    const std::lock_guard lock(state.mutex);
    hook = state.hook;
  }
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

TDriveHandle Register(win32::TOpenDrive drive) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const TDriveHandle handle = registry.next++;
  registry.open.emplace(handle, std::move(drive));
  return handle;
}

} // namespace

namespace win32 {

std::optional<TSimulatedDrive> SimulatedDriveOf(char letter) {
  const int index = LetterIndex(letter);
  if (index < 0)
    return std::nullopt;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.simulated[static_cast<size_t>(index)];
}

std::optional<TOpenDrive> LookUpDrive(TDriveHandle handle) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const auto it = registry.open.find(handle);
  if (it == registry.open.end())
    return std::nullopt;
  return it->second;
}

void SetDriveError(TDriveError error) { lastError = std::move(error); }

void ClearDriveError() { lastError = TDriveError{}; }

} // namespace win32

TDriveError LastDriveError() { return lastError; }

std::string DriveDevicePath(char letter) {
  const int index = LetterIndex(letter);
  if (index < 0 || win32::SimulatedDriveOf(letter))
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
  const int index = LetterIndex(rootPath[0]);
  if (index < 0)
    return TDriveType::NoRootDir;
  if (win32::SimulatedDriveOf(rootPath[0]))
    return TDriveType::CdRom;
  const char root[] = {static_cast<char>('A' + index), ':', '\\', '\0'};
  // The values are Windows' own.
  const UINT type = ::GetDriveTypeA(root);
  return type <= DRIVE_RAMDISK ? static_cast<TDriveType>(type) : TDriveType::Unknown;
}

TDriveHandle OpenDrive(char letter) {
  const int index = LetterIndex(letter);
  const auto fail = [](TDriveError error) {
    win32::SetDriveError(std::move(error));
    return InvalidDriveHandle;
  };
  if (index < 0)
    return fail({TDriveFault::NoDrive, 0, 0, {}, "no drive letter"});
  const char upper = static_cast<char>('A' + index);
  if (std::optional<TSimulatedDrive> simulated = win32::SimulatedDriveOf(upper)) {
    if (simulated->OpenFails)
      return fail({TDriveFault::Refused, 0, 0, {}, std::string("drive ") + upper + ": can't be opened"});
    win32::ClearDriveError();
    return Register({INVALID_HANDLE_VALUE, simulated, upper, {}, false});
  }
  const std::string path = DriveDevicePath(upper);
  if (path.empty())
    return fail({TDriveFault::NoDrive, 0, 0, {}, std::string("no drive ") + upper + ":"});
  bool exclusive = false;
  {
    TRegistry& registry = Registry();
    const std::lock_guard lock(registry.mutex);
    exclusive = registry.exclusive[static_cast<size_t>(index)];
  }
  HANDLE device = OpenPath(path, true, exclusive);
  const DWORD readWriteError = device == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
  // Busy is the answer for any access mode: no read-only fallback then.
  if (device == INVALID_HANDLE_VALUE && readWriteError != ERROR_SHARING_VIOLATION)
    device = OpenPath(path, false, exclusive);
  if (device == INVALID_HANDLE_VALUE)
    return fail(OpenError(path, ::GetLastError()));
  win32::ClearDriveError();
  return Register({device, std::nullopt, upper, path, readWriteError != 0});
}

void SetDriveExclusive(char letter, bool exclusive) {
  const int index = LetterIndex(letter);
  if (index < 0)
    return;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.exclusive[static_cast<size_t>(index)] = exclusive;
}

bool CloseDrive(TDriveHandle handle) {
  TRegistry& registry = Registry();
  HANDLE device = INVALID_HANDLE_VALUE;
  {
    const std::lock_guard lock(registry.mutex);
    const auto it = registry.open.find(handle);
    if (it == registry.open.end())
      return false;
    device = it->second.Device;
    registry.open.erase(it);
  }
  return device == INVALID_HANDLE_VALUE || ::CloseHandle(device) != 0;
}

void SetOpenHook(TOpenHook hook) {
  TOpenHookState& state = OpenHookState();
  const std::lock_guard lock(state.mutex);
  state.hook = std::move(hook);
}

bool DriveOpenedReadOnly(TDriveHandle handle) {
  const std::optional<win32::TOpenDrive> drive = win32::LookUpDrive(handle);
  return drive && drive->ReadOnly;
}

size_t OpenDriveHandleCount() {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.open.size();
}

bool AttachSimulatedDrive(char letter, const TSimulatedDrive& drive) {
  const int index = LetterIndex(letter);
  if (index < 0 || !drive.Device)
    return false;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.simulated[static_cast<size_t>(index)] = drive;
  return true;
}

void DetachSimulatedDrive(char letter) {
  const int index = LetterIndex(letter);
  if (index < 0)
    return;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.simulated[static_cast<size_t>(index)].reset();
  for (auto& [handle, open] : registry.open)
    if (open.Simulated && open.Letter == 'A' + index)
      open.Simulated->Device = nullptr;
}

void DetachAllSimulatedDrives() {
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    DetachSimulatedDrive(letter);
}

} // namespace qnzb::platform
