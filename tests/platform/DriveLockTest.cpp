// The lock that keeps this program's processes apart on one drive. Two
// holders in one process stand for two processes: the lock belongs to its
// object, not to the process.

#include <gtest/gtest.h>

#include <memory>

#include "platform/DriveLock.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace qnzb::platform {
namespace {

TEST(DriveLock, SharedHoldersMeetAJobOnlyWhenItIsAlone) {
  test::TempDir tmp;
  const test::TScopedEnv dir("QNZB_LOCK_DIR", tmp.at("locks"));
  std::string why;
  auto first = LockDrive("node /dev/sr0", false, why);
  auto second = LockDrive("node /dev/sr0", false, why);
  ASSERT_TRUE(first && second) << why;
  // A job can't start while another command runs, and the lock stays shared.
  EXPECT_FALSE(first->Change(true));
  EXPECT_FALSE(first->Exclusive());
  EXPECT_EQ(LockDrive("node /dev/sr0", true, why), nullptr);
  EXPECT_EQ(why, "in use");
  second.reset();
  ASSERT_TRUE(first->Change(true));
  // Nothing else while the job runs; another drive is another lock.
  EXPECT_EQ(LockDrive("node /dev/sr0", false, why), nullptr);
  EXPECT_NE(LockDrive("node /dev/sr1", true, why), nullptr) << why;
  // The job's end lets commands in again.
  ASSERT_TRUE(first->Change(false));
  EXPECT_NE(LockDrive("node /dev/sr0", false, why), nullptr) << why;
}

TEST(DriveLock, AFolderThatCantBeMadeIsSaid) {
  test::TempDir tmp;
  tmp.write("file", "not a folder");
  const test::TScopedEnv dir("QNZB_LOCK_DIR", tmp.at("file") + "/locks");
  std::string why;
  EXPECT_EQ(LockDrive("node /dev/sr0", false, why), nullptr);
  EXPECT_NE(why, "in use");
  EXPECT_FALSE(why.empty());
}

} // namespace
} // namespace qnzb::platform
