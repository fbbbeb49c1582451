#include "platform/ThreadPriority.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace qnzb::platform {

int CurrentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

int ThreadNice(int tid) {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  return nice == -1 && errno != 0 ? 0 : nice;
}

void SetThreadNice(int tid, int nice) {
  // Linux keeps a nice value per thread, addressed by its thread id.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), std::min(19, nice));
}

} // namespace qnzb::platform
