#pragma once
// A re-entrant lock with the system's Enter/Leave names. It also meets the
// standard Lockable requirements, so std::lock_guard and std::unique_lock work.

#include <mutex>

namespace qnzb {

class TCriticalSection {
public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  [[nodiscard]] bool TryEnter() { return mutex_.try_lock(); }

  void lock() { Enter(); }
  void unlock() { Leave(); }
  [[nodiscard]] bool try_lock() { return TryEnter(); }

private:
  std::recursive_mutex mutex_;
};

} // namespace qnzb
