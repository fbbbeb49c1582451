// The device component's debug message channel and lock.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/device/qnDrvLib.h"

namespace qnzb::test {
namespace {

TEST(DebugChannel, WithoutHandlerNothingHappens) {
  TSCSIDevice device(nullptr);
  EXPECT_FALSE(device.DoDebug);
  device.SendDebugMessage("lost", 0);  // must not crash
}

TEST(DebugChannel, HandlerGetsTextAndTypeExactlyAsSent) {
  TSCSIDevice device(nullptr);
  std::vector<std::tuple<TObject*, std::string, uint8_t>> got;
  device.OnDebugMessage = [&](TObject* sender, const std::string& message, uint8_t type) {
    got.emplace_back(sender, message, type);
  };
  device.SendDebugMessage(">>> ready", 0);
  device.SendDebugMessage("", 4);
  device.SendDebugMessage("line\n", 1);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::make_tuple(static_cast<TObject*>(&device), std::string(">>> ready"), uint8_t{0}));
  EXPECT_EQ(got[1], std::make_tuple(static_cast<TObject*>(&device), std::string(), uint8_t{4}));
  EXPECT_EQ(got[2], std::make_tuple(static_cast<TObject*>(&device), std::string("line\n"), uint8_t{1}));
}

TEST(DebugChannel, LockIsReentrantAndExcludesOtherThreads) {
  TSCSIDevice device(nullptr);
  int counter = 0;
  auto work = [&] {
    for (int i = 0; i < 10000; ++i) {
      device.Lock().Enter();
      device.Lock().Enter();
      ++counter;
      device.Lock().Leave();
      device.Lock().Leave();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 20000);
}

} // namespace
} // namespace qnzb::test
