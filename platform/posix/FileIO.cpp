// 64-bit file access on file descriptors, attributes and file times.

#include "platform/FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>

#include "platform/FileFind.h"
#include "platform/System.h"
#include "platform/posix/FileAttributes.h"

namespace qnzb::platform {
namespace {

// A handle that can't be a descriptor becomes -1, so the call fails with EBADF.
int Fd(TFileHandle handle) {
  return (handle < 0 || handle > INT_MAX) ? -1 : static_cast<int>(handle);
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do
    fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads until `count` bytes, the end of the file or an error, as ReadFile
// does on a file; a single read() may stop short (signals, 2 GiB cap).
// -1 only when nothing was read before the error.
int32_t ReadFully(TFileHandle handle, void* buffer, int32_t count) {
  if (count == 0)
    return 0;
  if (count < 0 || !buffer) {
    errno = EINVAL;
    return -1;
  }
  auto* p = static_cast<char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(Fd(handle), p + done, static_cast<size_t>(count - done));
    if (n > 0)
      done += static_cast<int32_t>(n);
    else if (n == 0)
      break;
    else if (errno != EINTR)
      return done > 0 ? done : -1;
  }
  return done;
}

// Logs a failed change of `path` without disturbing errno for LastErrorText.
void LogFailure(const char* what, const std::string& path) {
  const int error = errno;
  PlatformLog(std::string(what) + " " + path + ": " + posix::ErrorText(error));
  errno = error;
}

bool Chmod(const std::string& path, mode_t mode) {
  return ::chmod(path.c_str(), mode) == 0;
}

// user.* attributes need write permission; a read-only file we own gets it
// for the moment the mark is written, which leaves the modification time alone.
bool StoreMark(const std::string& path, const struct stat& st) {
  if (posix::StoreArchivedMark(path.c_str(), st))
    return true;
  if (errno != EACCES || (st.st_mode & S_IWUSR) != 0)
    return false;
  const auto mode = static_cast<mode_t>(st.st_mode & 07777);
  if (!Chmod(path, mode | S_IWUSR))
    return false;
  const bool stored = posix::StoreArchivedMark(path.c_str(), st);
  const int error = errno;
  const bool restored = Chmod(path, mode);
  if (!stored)
    errno = error;
  return stored && restored;
}

} // namespace

TFileHandle FileOpen(const std::string& path, TFileAccess access) {
  const int mode = access == TFileAccess::Read ? O_RDONLY : access == TFileAccess::Write ? O_WRONLY : O_RDWR;
  // O_NONBLOCK keeps open() of a FIFO without a writer from waiting forever;
  // after that the descriptor reads and writes blocking, like a file.
  const int fd = OpenRetrying(path.c_str(), mode | O_NONBLOCK);
  if (fd < 0)
    return InvalidFileHandle;
  if (::fcntl(fd, F_SETFL, 0) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return InvalidFileHandle;
  }
  return fd;
}

TFileHandle FileCreate(const std::string& path) {
  const int fd = OpenRetrying(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0666);
  return fd < 0 ? InvalidFileHandle : fd;
}

TFileHandle FileCreateBeside(const std::string& target, std::string& created) {
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  struct stat st {};
  const bool replacing = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Unique within the process by the counter, across processes by the pid
    // and the clock; O_EXCL settles any remaining race.
    const uint64_t seed = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull ^
                          static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                          (counter.fetch_add(1) << 40);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06llx", static_cast<unsigned long long>(seed % 0xFFFFFF));
    std::string candidate = folder + "." + name + "." + suffix + ".part";
    const int fd = OpenRetrying(candidate.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666);
    if (fd < 0) {
      if (errno == EEXIST)
        continue;
      return InvalidFileHandle;
    }
    // The image replaces the old one: it keeps what the user allowed of it.
    if (replacing)
      (void)::fchmod(fd, st.st_mode & 07777);
    created = std::move(candidate);
    return fd;
  }
  errno = EEXIST;
  return InvalidFileHandle;
}

bool FileReplace(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

TPathKind PathKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return TPathKind::Missing;
  if (S_ISREG(st.st_mode))
    return TPathKind::File;
  return S_ISDIR(st.st_mode) ? TPathKind::Folder : TPathKind::Other;
}

TFileHandle FileOpenOrCreate(const std::string& path) {
  const int fd = OpenRetrying(path.c_str(), O_CREAT | O_RDWR, 0644);
  return fd < 0 ? InvalidFileHandle : fd;
}

void FileClose(TFileHandle handle) {
  // No retry on EINTR: Linux has released the descriptor already.
  if (Fd(handle) >= 0)
    ::close(Fd(handle));
}

int32_t FileRead(TFileHandle handle, void* buffer, int32_t count) {
  const int32_t n = ReadFully(handle, buffer, count);
  return n < 0 ? 0 : n;
}

int32_t FileReadChecked(TFileHandle handle, void* buffer, int32_t count) {
  return ReadFully(handle, buffer, count);
}

int64_t FileCopyRange(TFileHandle in, TFileHandle out, int64_t count) {
  int64_t done = 0;
  bool kernel = true;
  char buffer[65536];
  while (done < count) {
    const auto want = static_cast<size_t>(std::min<int64_t>(count - done, int64_t{1} << 30));
    ssize_t n;
    if (kernel) {
      n = ::copy_file_range(static_cast<int>(in), nullptr, static_cast<int>(out), nullptr, want, 0);
      if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
        // Not between these two files: copy through memory instead.
        kernel = false;
        continue;
      }
    } else {
      n = ::read(static_cast<int>(in), buffer, std::min(want, sizeof buffer));
      if (n > 0 && FileWrite(out, buffer, static_cast<int32_t>(n)) != n)
        return -1;
    }
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    if (n == 0)
      break;
    done += n;
  }
  return done;
}

void PrefetchFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return;
  // The read-ahead goes on after the descriptor is closed.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
  ::close(fd);
}

TFileHandle OpenAhead(const std::string& path) {
  const TFileHandle handle = FileOpen(path, TFileAccess::Read);
  if (handle >= 0)
    (void)::posix_fadvise(Fd(handle), 0, 0, POSIX_FADV_WILLNEED);
  return handle;
}

void AdviseSequential(TFileHandle handle) {
  (void)::posix_fadvise(static_cast<int>(handle), 0, 0, POSIX_FADV_SEQUENTIAL);
}

int32_t FileWrite(TFileHandle handle, const void* buffer, int32_t count) {
  if (count <= 0 || !buffer)
    return 0;
  const auto* p = static_cast<const char*>(buffer);
  int32_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(Fd(handle), p + done, static_cast<size_t>(count - done));
    if (n > 0)
      done += static_cast<int32_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      break;
  }
  return done;
}

int64_t FileReadAt(TFileHandle handle, int64_t offset, void* buffer, int64_t count) {
  if (offset < 0 || count < 0 || (count > 0 && !buffer)) {
    errno = EINVAL;
    return -1;
  }
  auto* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(Fd(handle), p + done, static_cast<size_t>(count - done), static_cast<off_t>(offset + done));
    if (n > 0)
      done += n;
    else if (n == 0)
      break;
    else if (errno != EINTR)
      return -1;
  }
  return done;
}

bool FileWriteAt(TFileHandle handle, int64_t offset, const void* buffer, int64_t count) {
  if (offset < 0 || count < 0 || (count > 0 && !buffer)) {
    errno = EINVAL;
    return false;
  }
  const auto* p = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(Fd(handle), p + done, static_cast<size_t>(count - done), static_cast<off_t>(offset + done));
    if (n > 0)
      done += n;
    else if (n < 0 && errno == EINTR)
      continue;
    else
      return false;
  }
  return true;
}

int64_t FileSeek(TFileHandle handle, int64_t offset, int origin) {
  static constexpr int Whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) {
    errno = EINVAL;
    return -1;
  }
  const off_t pos = ::lseek(Fd(handle), static_cast<off_t>(offset), Whence[origin]);
  return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

bool FileTruncateHere(TFileHandle handle) {
  const off_t pos = ::lseek(Fd(handle), 0, SEEK_CUR);
  if (pos < 0)
    return false;
  int rc = 0;
  do
    rc = ::ftruncate(Fd(handle), pos);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

std::string LastErrorText() {
  return posix::ErrorText(errno);
}

bool FileIdentityOf(const std::string& path, TFileIdentity& identity) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return false;
  identity.Volume = static_cast<uint64_t>(st.st_dev);
  identity.FileId = static_cast<uint64_t>(st.st_ino);
  identity.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  identity.Size = static_cast<int64_t>(st.st_size);
  return true;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int32_t FileAttributesOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return -1;
  return posix::AttributesOf(st, posix::LastComponent(path), path.c_str());
}

bool ApplyFileAttributes(const std::string& path, int32_t attributes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    LogFailure("cannot set attributes of", path);
    return false;
  }
  const auto mode = static_cast<mode_t>(st.st_mode & 07777);
  mode_t wanted = mode;
  if (attributes & faReadOnly)
    wanted = mode & ~static_cast<mode_t>(0222);
  else if ((mode & 0222) == 0)
    wanted = mode | S_IWUSR;

  const auto applyMode = [&] { return wanted == mode || Chmod(path, wanted); };
  const auto applyArchive = [&] {
    if (S_ISDIR(st.st_mode))
      return true;  // folders carry no archive bit
    return (attributes & faArchive) ? posix::ForgetArchivedMark(path.c_str()) : StoreMark(path, st);
  };
  // Writing the mark needs write permission, so it goes in while the file
  // still has (or already has) it.
  const bool ok = (wanted & 0222) == 0 ? applyArchive() && applyMode() : applyMode() && applyArchive();
  if (!ok)
    LogFailure("cannot set attributes of", path);
  return ok;
}

bool SetFileWriteTime(const std::string& path, int64_t seconds, int32_t nanoseconds) {
  if (nanoseconds < 0 || nanoseconds > 999999999) {
    errno = EINVAL;
    return false;
  }
  struct timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = nanoseconds;
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool ForceDirectories(const std::string& path) {
  if (path.empty())
    return false;
  // Parents first; an existing one just fails with EEXIST. Whether it all
  // worked is whether the folder is there at the end.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (path[slash - 1] != '/')
      ::mkdir(path.substr(0, slash).c_str(), 0777);
  }
  ::mkdir(path.c_str(), 0777);
  return DirectoryExists(path);
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

} // namespace qnzb::platform
