// The state-directory lock as an open-file-description lock: it is owned by
// the descriptor, so it conflicts within one process too and vanishes when
// the descriptor closes, also when the process is killed.

#include "vdrive/FolderLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qnzb::vdrive {

FolderLock::~FolderLock() {
  ::close(fd_);
}

std::unique_ptr<FolderLock> FolderLock::Try(const std::string& dir, bool& busy, std::string& error) {
  busy = false;
  const std::string path = dir + "/drive.lock";
  int fd;
  do
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = "can't open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  int rc;
  do
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int why = errno;
    ::close(fd);
    busy = why == EAGAIN || why == EACCES;
    error = busy ? "locked" : "can't lock " + path + ": " + std::strerror(why);
    return nullptr;
  }
  return std::unique_ptr<FolderLock>(new FolderLock(fd));
}

} // namespace qnzb::vdrive
