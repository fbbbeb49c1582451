// Completion events: manual reset, signalled across threads, time-outs.

#include <gtest/gtest.h>

#include <thread>

#include "platform/Event.h"

namespace qnzb::platform {
namespace {

TEST(Event, ManualResetStaysSignalledUntilReset) {
  const TEventHandle event = NewEvent();
  ASSERT_NE(event, InvalidEvent);
  EXPECT_EQ(WaitForEvent(event, 0), TWaitResult::TimedOut);
  EXPECT_EQ(WaitForEvent(event, 5), TWaitResult::TimedOut);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForEvent(event, 0), TWaitResult::Signalled);
  EXPECT_EQ(WaitForEvent(event, WaitInfinite), TWaitResult::Signalled);  // waiting doesn't consume
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForEvent(event, 0), TWaitResult::TimedOut);
  EXPECT_TRUE(ResetEvent(event));  // already reset
  CloseEvent(event);
}

TEST(Event, SignalFromAnotherThreadEndsAnUnlimitedWait) {
  const TEventHandle event = NewEvent();
  ASSERT_NE(event, InvalidEvent);
  std::thread signaller([event] { SetEvent(event); });
  EXPECT_EQ(WaitForEvent(event, WaitInfinite), TWaitResult::Signalled);
  signaller.join();
  CloseEvent(event);
}

TEST(Event, InvalidHandlesFail) {
  EXPECT_EQ(WaitForEvent(InvalidEvent, 0), TWaitResult::Failed);
  EXPECT_FALSE(ResetEvent(InvalidEvent));
  EXPECT_FALSE(SetEvent(InvalidEvent));
  CloseEvent(InvalidEvent);
}

} // namespace
} // namespace qnzb::platform
