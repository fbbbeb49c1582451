#include "engine/runtime/Clock.h"

#include <chrono>
#include <thread>

namespace qnzb {

namespace {

std::atomic<TClock*> installedClock{nullptr};

TSystemClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

} // namespace

uint64_t TSystemClock::TickCount() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void TSystemClock::Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void TVirtualClock::Sleep(uint32_t milliseconds) {
  now_ += milliseconds;
  // Polling loops sleep to let other threads work; without a real pause they
  // must at least give up the processor.
  std::this_thread::yield();
}

TClock& CurrentClock() {
  TClock* clock = installedClock.load(std::memory_order_acquire);
  return clock ? *clock : SystemClock();
}

void SetClock(TClock* clock) {
  installedClock.store(clock, std::memory_order_release);
}

void Sleep(uint32_t milliseconds) {
  CurrentClock().Sleep(milliseconds);
}

uint64_t TickCount() {
  return CurrentClock().TickCount();
}

} // namespace qnzb
