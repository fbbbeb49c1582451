// File locks as open-file-description locks: owned by the descriptor, so
// they conflict within one process too and vanish when it closes, also when
// the process is killed.

#include "platform/FileLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/FileAttributes.h"

namespace qnzb::platform {

TFileLock::~TFileLock() { ::close(static_cast<int>(file_)); }

std::unique_ptr<TFileLock> TFileLock::Try(const std::string& path, bool& busy, std::string& error) {
  busy = false;
  int fd;
  do
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = "can't open " + path + ": " + posix::ErrorText(errno);
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
    error = busy ? "locked" : "can't lock " + path + ": " + posix::ErrorText(why);
    return nullptr;
  }
  return std::unique_ptr<TFileLock>(new TFileLock(fd));
}

} // namespace qnzb::platform
