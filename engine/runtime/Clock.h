#pragma once
// The one seam through which the engine sleeps and reads elapsed time. Every
// polling wait goes through Sleep() and TickCount(), so tests can install a
// virtual clock under which a 240-second wait takes microseconds while the
// sequence of commands stays as in real time.

#include <atomic>
#include <cstdint>

namespace qnzb {

class TClock {
public:
  virtual ~TClock() = default;
  // Milliseconds since an arbitrary start; never goes back.
  [[nodiscard]] virtual uint64_t TickCount() = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The wall clock: steady_clock and a real sleep.
class TSystemClock final : public TClock {
public:
  uint64_t TickCount() override;
  void Sleep(uint32_t milliseconds) override;
};

// A clock that only moves when someone sleeps or advances it. Sleep(ms)
// advances the time by ms at once and returns (yielding the thread, so that a
// polling loop still lets other threads run). Thread-safe.
class TVirtualClock final : public TClock {
public:
  explicit TVirtualClock(uint64_t start = 0) : now_(start) {}
  uint64_t TickCount() override { return now_.load(); }
  void Sleep(uint32_t milliseconds) override;
  void Advance(uint64_t milliseconds) { now_ += milliseconds; }

private:
  std::atomic<uint64_t> now_;
};

// The clock in use; the system clock unless a test installed another.
[[nodiscard]] TClock& CurrentClock();
// Installs `clock` (nullptr: back to the system clock). The caller keeps
// ownership and must keep it alive while it is installed.
void SetClock(TClock* clock);

// Shorthands for CurrentClock().Sleep / TickCount.
void Sleep(uint32_t milliseconds);
[[nodiscard]] uint64_t TickCount();

// Installs a virtual clock for the lifetime of a scope (tests).
class TScopedVirtualClock {
public:
  explicit TScopedVirtualClock(uint64_t start = 0) : clock_(start) { SetClock(&clock_); }
  ~TScopedVirtualClock() { SetClock(nullptr); }
  TScopedVirtualClock(const TScopedVirtualClock&) = delete;
  TScopedVirtualClock& operator=(const TScopedVirtualClock&) = delete;
  TVirtualClock& clock() { return clock_; }

private:
  TVirtualClock clock_;
};

} // namespace qnzb
