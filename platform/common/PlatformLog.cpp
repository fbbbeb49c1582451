// The platform layer's log, the same on every system.

#include <mutex>

#include "platform/System.h"

namespace qnzb::platform {
namespace {

struct TLogState {
  // Recursive, so a log that reports through PlatformLog itself can't deadlock.
  std::recursive_mutex mutex;
  TPlatformLog log;
};

TLogState& LogState() {
  static TLogState state;
  return state;
}

} // namespace

void SetPlatformLog(TPlatformLog log) {
  TLogState& state = LogState();
  const std::lock_guard lock(state.mutex);
  state.log = std::move(log);
}

void PlatformLog(const std::string& line) {
  TLogState& state = LogState();
  const std::lock_guard lock(state.mutex);
  if (state.log)
    state.log(line);
}

} // namespace qnzb::platform
