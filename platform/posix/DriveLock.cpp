// Drive locks as open-file-description locks on one file per drive: they
// convert between shared and exclusive atomically, belong to the descriptor
// (so two components of one process exclude each other as two processes do),
// and vanish when it closes.

#include "platform/DriveLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/FileAttributes.h"

namespace qnzb::platform {
namespace {

std::string LockFolder() {
  if (const char* dir = std::getenv("QNZB_LOCK_DIR"); dir && *dir)
    return dir;
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/qnzb-drive-locks";
}

bool SetLock(int fd, bool exclusive) {
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  int rc;
  do
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  while (rc != 0 && errno == EINTR);
  return rc == 0;
}

} // namespace

TDriveLock::~TDriveLock() { ::close(static_cast<int>(fd_)); }

bool TDriveLock::Change(bool exclusive) {
  if (exclusive == exclusive_)
    return true;
  if (!SetLock(static_cast<int>(fd_), exclusive))
    return false;
  exclusive_ = exclusive;
  return true;
}

std::unique_ptr<TDriveLock> LockDrive(const std::string& key, bool exclusive, std::string& why) {
  const std::string folder = LockFolder();
  // Every user's processes must meet here: a sticky folder all may write.
  if (::mkdir(folder.c_str(), 01777) == 0)
    (void)::chmod(folder.c_str(), 01777);
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : key)
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  char name[32];
  std::snprintf(name, sizeof name, "/%016llx.lock", static_cast<unsigned long long>(hash));
  const std::string path = folder + name;
  int fd;
  do
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    why = "cannot make the drive's lock file " + path + ": " + posix::ErrorText(errno);
    return nullptr;
  }
  // Another user's process must be able to open the file it finds.
  (void)::fchmod(fd, 0666);
  if (!SetLock(fd, exclusive)) {
    const int error = errno;
    ::close(fd);
    why = error == EAGAIN || error == EACCES ? std::string(DriveLockInUse) : "cannot lock " + path + ": " + posix::ErrorText(error);
    return nullptr;
  }
  return std::unique_ptr<TDriveLock>(new TDriveLock(fd, exclusive));
}

} // namespace qnzb::platform
