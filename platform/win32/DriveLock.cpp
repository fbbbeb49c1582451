// Drive locks as LockFileEx byte-range locks on one file per drive. They
// belong to the handle (so two components of one process exclude each other
// as two processes do) and vanish when it closes. Windows can't turn a lock
// between shared and exclusive in place: Change releases and retakes it, and
// takes the old kind back when the new one is refused.

#include "platform/DriveLock.h"

#include <cstdio>
#include <cstdlib>

#include "platform/win32/WinApi.h"

namespace qnzb::platform {
namespace {

std::string LockFolder() {
  if (const char* dir = std::getenv("QNZB_LOCK_DIR"); dir && *dir)
    return win32::NativePath(dir);
  char temp[MAX_PATH + 1] = {};
  const DWORD n = ::GetTempPathA(sizeof temp, temp);
  std::string folder = n > 0 && n < sizeof temp ? std::string(temp, n) : std::string(".\\");
  if (folder.back() != '\\')
    folder += '\\';
  return folder + "qnzb-drive-locks";
}

bool Lock(HANDLE file, bool exclusive) {
  OVERLAPPED at{};
  return ::LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0), 0, 1, 0, &at) != 0;
}

void Unlock(HANDLE file) {
  OVERLAPPED at{};
  (void)::UnlockFileEx(file, 0, 1, 0, &at);
}

} // namespace

TDriveLock::~TDriveLock() { ::CloseHandle(win32::ToHandle(fd_)); }

bool TDriveLock::Change(bool exclusive) {
  if (exclusive == exclusive_)
    return true;
  HANDLE file = win32::ToHandle(fd_);
  Unlock(file);
  if (Lock(file, exclusive)) {
    exclusive_ = exclusive;
    return true;
  }
  // The old kind back; only another taker slipping in between can refuse
  // it, and that one then holds the drive.
  (void)Lock(file, exclusive_);
  return false;
}

std::unique_ptr<TDriveLock> LockDrive(const std::string& key, bool exclusive, std::string& why) {
  const std::string folder = LockFolder();
  (void)::CreateDirectoryA(folder.c_str(), nullptr);
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : key)
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  char name[32];
  std::snprintf(name, sizeof name, "\\%016llx.lock", static_cast<unsigned long long>(hash));
  const std::string path = folder + name;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    why = "cannot make the drive's lock file " + path + ": " + win32::ErrorText(::GetLastError());
    return nullptr;
  }
  if (!Lock(file, exclusive)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    why = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING
              ? std::string(DriveLockInUse)
              : "cannot lock " + path + ": " + win32::ErrorText(error);
    return nullptr;
  }
  return std::unique_ptr<TDriveLock>(new TDriveLock(win32::FromHandle(file), exclusive));
}

} // namespace qnzb::platform
