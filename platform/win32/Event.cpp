// Events as Windows event objects: manual reset, created not signalled.

#include "platform/Event.h"

#include "platform/win32/WinApi.h"

namespace qnzb::platform {

using win32::FromHandle;
using win32::ToHandle;

namespace {
// InvalidEvent (-1) is also the process's own pseudo-handle: never hand it on.
bool Usable(TEventHandle event) { return event != InvalidEvent && event != 0; }
} // namespace

TEventHandle NewEvent() {
  HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event ? FromHandle(event) : InvalidEvent;
}

bool SetEvent(TEventHandle event) { return Usable(event) && ::SetEvent(ToHandle(event)) != 0; }

bool ResetEvent(TEventHandle event) { return Usable(event) && ::ResetEvent(ToHandle(event)) != 0; }

TWaitResult WaitForEvent(TEventHandle event, uint32_t timeoutMs) {
  if (!Usable(event))
    return TWaitResult::Failed;
  // WaitInfinite is INFINITE.
  switch (::WaitForSingleObject(ToHandle(event), timeoutMs)) {
    case WAIT_OBJECT_0: return TWaitResult::Signalled;
    case WAIT_TIMEOUT: return TWaitResult::TimedOut;
    default: return TWaitResult::Failed;
  }
}

void CloseEvent(TEventHandle event) {
  if (Usable(event))
    ::CloseHandle(ToHandle(event));
}

TEventHandle DuplicateEvent(TEventHandle event, bool& badHandle) {
  HANDLE copy = nullptr;
  const HANDLE self = ::GetCurrentProcess();
  if (!Usable(event) ||
      !::DuplicateHandle(self, ToHandle(event), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    badHandle = !Usable(event) || ::GetLastError() == ERROR_INVALID_HANDLE;
    return InvalidEvent;
  }
  badHandle = false;
  return FromHandle(copy);
}

} // namespace qnzb::platform
