// The system clock, the virtual clock and switching between them.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "engine/runtime/Clock.h"

namespace qnzb {
namespace {

TEST(Clock, SystemClockIsTheDefaultAndReallySleeps) {
  EXPECT_NE(dynamic_cast<TSystemClock*>(&CurrentClock()), nullptr);
  const uint64_t before = TickCount();
  Sleep(5);
  EXPECT_GE(TickCount() - before, 5u);
}

TEST(Clock, VirtualClockSleepsAdvanceTimeAtOnce) {
  const auto realStart = std::chrono::steady_clock::now();
  {
    TScopedVirtualClock scoped(1'000);
    EXPECT_EQ(&CurrentClock(), &scoped.clock());
    EXPECT_EQ(TickCount(), 1'000u);
    Sleep(240'000);
    EXPECT_EQ(TickCount(), 241'000u);
    Sleep(0);
    scoped.clock().Advance(5);
    EXPECT_EQ(TickCount(), 241'005u);
  }
  EXPECT_NE(dynamic_cast<TSystemClock*>(&CurrentClock()), nullptr);
  // A real four-minute sleep would fail this generous bound.
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(60));
}

TEST(Clock, VirtualClockCountsEverySleepOfConcurrentThreads) {
  TScopedVirtualClock scoped;
  constexpr int Threads = 4;
  constexpr int Sleeps = 1'000;
  std::vector<std::thread> sleepers;
  for (int t = 0; t < Threads; ++t)
    sleepers.emplace_back([] {
      for (int i = 0; i < Sleeps; ++i)
        Sleep(3);
    });
  bool monotonic = true;
  uint64_t last = 0;
  for (int i = 0; i < 1'000; ++i) {
    const uint64_t now = TickCount();
    monotonic = monotonic && now >= last;
    last = now;
  }
  for (auto& sleeper : sleepers)
    sleeper.join();
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(TickCount(), uint64_t{Threads} * Sleeps * 3);
}

} // namespace
} // namespace qnzb
