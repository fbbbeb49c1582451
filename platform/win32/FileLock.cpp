// File locks as LockFileEx byte-range locks: they belong to the handle, so
// they conflict within one process too, and vanish when it closes.

#include "platform/FileLock.h"

#include "platform/win32/WinApi.h"

namespace qnzb::platform {

TFileLock::~TFileLock() { ::CloseHandle(win32::ToHandle(file_)); }

std::unique_ptr<TFileLock> TFileLock::Try(const std::string& path, bool& busy, std::string& error) {
  busy = false;
  const std::string native = win32::NativePath(path);
  // Others may open the file: what excludes them is the lock, not sharing.
  HANDLE file = ::CreateFileA(native.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "can't open " + path + ": " + win32::ErrorText(::GetLastError());
    return nullptr;
  }
  OVERLAPPED at{};
  if (!::LockFileEx(file, LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
    const DWORD why = ::GetLastError();
    ::CloseHandle(file);
    busy = why == ERROR_LOCK_VIOLATION || why == ERROR_IO_PENDING;
    error = busy ? "locked" : "can't lock " + path + ": " + win32::ErrorText(why);
    return nullptr;
  }
  return std::unique_ptr<TFileLock>(new TFileLock(win32::FromHandle(file)));
}

} // namespace qnzb::platform
