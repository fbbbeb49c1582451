#include "platform/ThreadPriority.h"

// Thread priorities as nice values: Windows has seven levels where POSIX has
// forty, so a nice value falls to the level nearest it and reads back as the
// level's own value.

#include "platform/win32/WinApi.h"

namespace qnzb::platform {
namespace {

struct TLevel {
  int Priority;
  int Nice;
};
constexpr TLevel Levels[] = {
    {THREAD_PRIORITY_HIGHEST, -10},     {THREAD_PRIORITY_ABOVE_NORMAL, -5}, {THREAD_PRIORITY_NORMAL, 0},
    {THREAD_PRIORITY_BELOW_NORMAL, 5},  {THREAD_PRIORITY_LOWEST, 10},       {THREAD_PRIORITY_IDLE, 19},
};

} // namespace

int CurrentThreadId() { return static_cast<int>(::GetCurrentThreadId()); }

int ThreadNice(int tid) {
  HANDLE thread = ::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(tid));
  if (!thread)
    return 0;
  const int priority = ::GetThreadPriority(thread);
  ::CloseHandle(thread);
  for (const TLevel& level : Levels)
    if (level.Priority == priority)
      return level.Nice;
  return priority > THREAD_PRIORITY_HIGHEST ? -20 : 0;
}

void SetThreadNice(int tid, int nice) {
  if (nice > 19)
    nice = 19;
  const TLevel* best = &Levels[0];
  for (const TLevel& level : Levels) {
    const int distance = level.Nice > nice ? level.Nice - nice : nice - level.Nice;
    const int bestDistance = best->Nice > nice ? best->Nice - nice : nice - best->Nice;
    if (distance < bestDistance)
      best = &level;
  }
  HANDLE thread = ::OpenThread(THREAD_SET_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(tid));
  if (!thread)
    return;
  (void)::SetThreadPriority(thread, best->Priority);
  ::CloseHandle(thread);
}

} // namespace qnzb::platform
