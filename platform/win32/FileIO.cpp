// 64-bit file access through Windows handles (the HANDLE is the TFileHandle),
// attributes and file times.

#include "platform/FileIO.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/FileFind.h"
#include "platform/System.h"
#include "platform/win32/WinApi.h"

namespace qnzb::platform {

using win32::FromHandle;
using win32::NativePath;
using win32::ToHandle;

namespace {

// Others may read, write and rename a file we have open, as on POSIX.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILETIME counts 100 ns from 1601; Unix seconds start in 1970.
constexpr int64_t EpochDifference = 116444736000000000LL;

TFileHandle Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
  HANDLE file = ::CreateFileA(NativePath(path).c_str(), access, ShareAll, nullptr, disposition, flags, nullptr);
  return file == INVALID_HANDLE_VALUE ? InvalidFileHandle : FromHandle(file);
}

bool Valid(TFileHandle handle) { return handle != InvalidFileHandle && handle != 0; }

int32_t Transfer(TFileHandle handle, void* buffer, int32_t count, bool checked) {
  if (!Valid(handle) || count < 0 || (count > 0 && !buffer))
    return checked ? -1 : 0;
  auto* bytes = static_cast<char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!::ReadFile(ToHandle(handle), bytes + done, static_cast<DWORD>(count - done), &n, nullptr))
      return done > 0 ? done : checked ? -1 : 0;
    if (n == 0)
      break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

TFileHandle FileOpen(const std::string& path, TFileAccess access) {
  const DWORD rights = access == TFileAccess::Read    ? GENERIC_READ
                       : access == TFileAccess::Write ? GENERIC_WRITE
                                                      : GENERIC_READ | GENERIC_WRITE;
  return Open(path, rights, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
}

TFileHandle FileCreate(const std::string& path) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

TFileHandle FileOpenOrCreate(const std::string& path) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

void FileClose(TFileHandle handle) {
  if (Valid(handle))
    ::CloseHandle(ToHandle(handle));
}

TFileHandle FileCreateBeside(const std::string& target, std::string& created) {
  const std::string folder = Folder(target);
  const std::string name = target.substr(folder.size());
  static std::atomic<uint32_t> counter{0};
  const auto seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const uint32_t n = (seed ^ ::GetCurrentProcessId() * 2654435761u) + counter.fetch_add(1) * 40503u;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06X", n & 0xFFFFFFu);
    const std::string path = folder + "." + name + "." + suffix + ".part";
    // CREATE_NEW: never an existing file, so two writers never share one.
    const TFileHandle file = Open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (file != InvalidFileHandle) {
      created = path;
      return file;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return InvalidFileHandle;
  }
  return InvalidFileHandle;
}

bool FileReplace(const std::string& from, const std::string& to) {
  return ::MoveFileExA(NativePath(from).c_str(), NativePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

TPathKind PathKind(const std::string& path) {
  if (path.starts_with("\\\\.\\"))
    return TPathKind::Other;  // a device
  const DWORD attributes = ::GetFileAttributesA(NativePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return TPathKind::Missing;
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? TPathKind::Folder : TPathKind::File;
}

int32_t FileRead(TFileHandle handle, void* buffer, int32_t count) { return Transfer(handle, buffer, count, false); }

int32_t FileReadChecked(TFileHandle handle, void* buffer, int32_t count) {
  return Transfer(handle, buffer, count, true);
}

int32_t FileWrite(TFileHandle handle, const void* buffer, int32_t count) {
  if (!Valid(handle) || count <= 0 || !buffer)
    return 0;
  const auto* bytes = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!::WriteFile(ToHandle(handle), bytes + done, static_cast<DWORD>(count - done), &n, nullptr) || n == 0)
      break;
    done += static_cast<int32_t>(n);
  }
  return done;
}

int64_t FileReadAt(TFileHandle handle, int64_t offset, void* buffer, int64_t count) {
  if (!Valid(handle) || offset < 0 || count < 0 || (count > 0 && !buffer))
    return -1;
  auto* bytes = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    // The OVERLAPPED offset positions a synchronous handle's transfer.
    OVERLAPPED at{};
    const auto position = static_cast<uint64_t>(offset + done);
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    const auto want = static_cast<DWORD>(std::min<int64_t>(count - done, int64_t{1} << 30));
    DWORD n = 0;
    if (!::ReadFile(ToHandle(handle), bytes + done, want, &n, &at))
      return ::GetLastError() == ERROR_HANDLE_EOF ? done : -1;
    if (n == 0)
      break;
    done += n;
  }
  return done;
}

bool FileWriteAt(TFileHandle handle, int64_t offset, const void* buffer, int64_t count) {
  if (!Valid(handle) || offset < 0 || count < 0 || (count > 0 && !buffer))
    return false;
  const auto* bytes = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    OVERLAPPED at{};
    const auto position = static_cast<uint64_t>(offset + done);
    at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    const auto want = static_cast<DWORD>(std::min<int64_t>(count - done, int64_t{1} << 30));
    DWORD n = 0;
    if (!::WriteFile(ToHandle(handle), bytes + done, want, &n, &at) || n == 0)
      return false;
    done += n;
  }
  return true;
}

int64_t FileSeek(TFileHandle handle, int64_t offset, int origin) {
  if (!Valid(handle) || origin < 0 || origin > 2)
    return -1;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER position{};
  // FILE_BEGIN, FILE_CURRENT and FILE_END are 0, 1 and 2.
  if (!::SetFilePointerEx(ToHandle(handle), distance, &position, static_cast<DWORD>(origin)))
    return -1;
  return position.QuadPart;
}

bool FileTruncateHere(TFileHandle handle) { return Valid(handle) && ::SetEndOfFile(ToHandle(handle)) != 0; }

int64_t FileCopyRange(TFileHandle in, TFileHandle out, int64_t count) {
  if (!Valid(in) || !Valid(out) || count < 0)
    return -1;
  std::vector<char> buffer(static_cast<size_t>(count < (1 << 20) ? count : (1 << 20)));
  int64_t done = 0;
  while (done < count) {
    const auto want = static_cast<int32_t>(count - done < static_cast<int64_t>(buffer.size())
                                               ? count - done
                                               : static_cast<int64_t>(buffer.size()));
    const int32_t got = FileReadChecked(in, buffer.data(), want);
    if (got < 0)
      return -1;
    if (got == 0)
      break;
    if (FileWrite(out, buffer.data(), got) != got)
      return -1;
    done += got;
  }
  return done;
}

void PrefetchFile(const std::string& path) {
  // The cache manager reads ahead for a sequential-scan handle; opening and
  // reading the first block is what can be done without keeping it open.
  const TFileHandle file = OpenAhead(path);
  if (file == InvalidFileHandle)
    return;
  char block[4096];
  (void)FileRead(file, block, sizeof block);
  FileClose(file);
}

TFileHandle OpenAhead(const std::string& path) {
  return Open(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
}

void AdviseSequential(TFileHandle) {
  // Windows takes the hint only when the file is opened (OpenAhead).
}

std::string LastErrorText() {
  const DWORD error = ::GetLastError();
  std::string text = win32::ErrorText(error);
  ::SetLastError(error);
  return text;
}

bool FileIdentityOf(const std::string& path, TFileIdentity& identity) {
  // No access rights asked: the attributes can be read of a file open
  // elsewhere; folders open only with backup semantics.
  HANDLE file = ::CreateFileA(NativePath(path).c_str(), 0, ShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = ::GetFileInformationByHandle(file, &info) != 0;
  ::CloseHandle(file);
  if (!known)
    return false;
  const int64_t ticks = static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                             info.ftLastWriteTime.dwLowDateTime);
  identity.Volume = info.dwVolumeSerialNumber;
  identity.FileId = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity.ModifiedNs = (ticks - EpochDifference) * 100;
  identity.Size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  return true;
}

bool FileExists(const std::string& path) { return PathKind(path) == TPathKind::File; }

bool DirectoryExists(const std::string& path) { return PathKind(path) == TPathKind::Folder; }

int32_t FileAttributesOf(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(NativePath(path).c_str());
  return attributes == INVALID_FILE_ATTRIBUTES ? -1 : static_cast<int32_t>(attributes & faAnyFile);
}

bool ApplyFileAttributes(const std::string& path, int32_t attributes) {
  const std::string native = NativePath(path);
  const DWORD now = ::GetFileAttributesA(native.c_str());
  if (now == INVALID_FILE_ATTRIBUTES) {
    PlatformLog("cannot set the attributes of " + path + ": " + win32::ErrorText(::GetLastError()));
    return false;
  }
  DWORD wanted = now & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  if (attributes & faReadOnly)
    wanted |= FILE_ATTRIBUTE_READONLY;
  if ((attributes & faArchive) && !(now & FILE_ATTRIBUTE_DIRECTORY))
    wanted |= FILE_ATTRIBUTE_ARCHIVE;
  if (wanted == now)
    return true;
  // FILE_ATTRIBUTE_NORMAL stands for "none" and is only valid alone.
  if (!::SetFileAttributesA(native.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL)) {
    PlatformLog("cannot set the attributes of " + path + ": " + win32::ErrorText(::GetLastError()));
    return false;
  }
  return true;
}

bool SetFileWriteTime(const std::string& path, int64_t seconds, int32_t nanoseconds) {
  if (nanoseconds < 0 || nanoseconds > 999999999)
    return false;
  // Folders open only with backup semantics.
  HANDLE file = ::CreateFileA(NativePath(path).c_str(), FILE_WRITE_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  const int64_t ticks = seconds * 10000000LL + nanoseconds / 100 + EpochDifference;
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  const bool done = ticks >= 0 && ::SetFileTime(file, nullptr, nullptr, &time) != 0;
  ::CloseHandle(file);
  return done;
}

bool ForceDirectories(const std::string& path) {
  const std::string native = NativePath(path);
  if (native.empty())
    return false;
  if (DirectoryExists(native))
    return true;
  // Every parent in turn; a drive ("C:") or a share's part can't be made
  // and needn't be, and a real failure shows in the last step.
  for (size_t at = native.find('\\', 1); at != std::string::npos; at = native.find('\\', at + 1))
    if (native[at - 1] != ':' && native[at - 1] != '\\')
      (void)::CreateDirectoryA(native.substr(0, at).c_str(), nullptr);
  if (!::CreateDirectoryA(native.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
    return false;
  return DirectoryExists(native);
}

bool RemoveFile(const std::string& path) { return ::DeleteFileA(NativePath(path).c_str()) != 0; }

} // namespace qnzb::platform
