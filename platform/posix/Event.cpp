// Events as eventfd descriptors: signalled while the counter is not zero.

#include "platform/Event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace qnzb::platform {

namespace {
int Descriptor(TEventHandle event) { return static_cast<int>(event); }
} // namespace

TEventHandle NewEvent() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd < 0 ? InvalidEvent : fd;
}

bool SetEvent(TEventHandle event) {
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(Descriptor(event), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
  return n == sizeof one;
}

bool ResetEvent(TEventHandle event) {
  if (event < 0)
    return false;
  // One read takes the whole counter; EAGAIN means it already was zero.
  uint64_t value = 0;
  ssize_t n;
  do {
    n = ::read(Descriptor(event), &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  return n == sizeof value || (n < 0 && errno == EAGAIN);
}

TWaitResult WaitForEvent(TEventHandle event, uint32_t timeoutMs) {
  if (event < 0)
    return TWaitResult::Failed;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs != WaitInfinite) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left < 0x7FFFFFFF ? left : 0x7FFFFFFF) : 0;
    }
    pollfd fd{Descriptor(event), POLLIN, 0};
    const int rc = ::poll(&fd, 1, wait);
    if (rc > 0)
      return fd.revents & POLLIN ? TWaitResult::Signalled : TWaitResult::Failed;
    if (rc == 0) {
      if (wait == 0 || Clock::now() >= deadline)
        return TWaitResult::TimedOut;
      continue;
    }
    if (errno != EINTR)
      return TWaitResult::Failed;
  }
}

void CloseEvent(TEventHandle event) {
  if (event >= 0)
    ::close(Descriptor(event));
}

TEventHandle DuplicateEvent(TEventHandle event, bool& badHandle) {
  // dup() rather than fcntl(F_DUPFD_CLOEXEC): race detectors follow dup,
  // and a waiter's wake-up through the copy must stay visible to them.
  const int copy = event < 0 || event > INT32_MAX ? -1 : ::dup(Descriptor(event));
  badHandle = copy < 0 && (event < 0 || event > INT32_MAX || errno == EBADF);
  if (copy < 0)
    return InvalidEvent;
  (void)::fcntl(copy, F_SETFD, FD_CLOEXEC);
  return copy;
}

} // namespace qnzb::platform
