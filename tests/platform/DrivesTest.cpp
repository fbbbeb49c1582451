// Drive letters, QNZB_DRIVES, drive handles and the read-only fallback.

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/Drives.h"
#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "PlatformTestSupport.h"
#include "support/FakeNodes.h"
#include "support/SimulatedDrive.h"
#include "support/TempDir.h"

namespace qnzb::platform {
namespace {

using test::Simulated;

class TSilentDevice final : public SimulatedDevice {
public:
  ScsiOutcome Execute(std::span<const uint8_t>, std::span<uint8_t>, ScsiDirection, std::span<uint8_t>) override {
    return {};
  }
};

class Drives : public ::testing::Test {
protected:
  void TearDown() override { DetachAllSimulatedDrives(); }
  test::TempDir dir_;
};

#if !defined(_WIN32)
TEST_F(Drives, QnzbDrivesNamesTheOpticalLetters) {
  const std::string device = dir_.write("sr1", "");
  const test::TScopedPlatformLog log;
  const test::TScopedEnv drives("QNZB_DRIVES", "e=" + device + ",F=/nonexistent/sr0,,7=/x,G");
  const struct {
    const char* root;
    TDriveType type;
  } rows[] = {
      {"C:\\", TDriveType::Fixed},        // the root file system stays
      {"D:\\", TDriveType::NoRootDir},  // the override replaces /dev/sr* entirely
      {"E:\\", TDriveType::CdRom},        {"e:", TDriveType::CdRom}, {"E", TDriveType::CdRom},
      {"F:\\", TDriveType::NoRootDir},  // named, but the path is missing
      {"G:\\", TDriveType::NoRootDir},  // malformed item
      {"Z:\\", TDriveType::NoRootDir},  {"", TDriveType::NoRootDir},
      {"7:\\", TDriveType::NoRootDir},  {"EE:\\", TDriveType::NoRootDir},
  };
  for (const auto& row : rows)
    EXPECT_EQ(DriveTypeOf(row.root), row.type) << row.root;
  EXPECT_EQ(DriveDevicePath('E'), device);
  EXPECT_EQ(DriveDevicePath('c'), "/");
  EXPECT_TRUE(log.mentions("\"7=/x\""));
  EXPECT_TRUE(log.mentions("\"G\""));
}
#endif

#if !defined(_WIN32)
TEST_F(Drives, EmptyOverrideLeavesOnlyTheRoot) {
  const test::TScopedEnv drives("QNZB_DRIVES", "");
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string root = std::string(1, letter) + ":\\";
    EXPECT_EQ(DriveTypeOf(root), letter == 'C' ? TDriveType::Fixed : TDriveType::NoRootDir) << root;
  }
}
#endif

TEST_F(Drives, SimulatedLetterIsACdDriveWhateverTheMap) {
  const test::TScopedEnv drives("QNZB_DRIVES", "");
  TSilentDevice device;
  EXPECT_FALSE(AttachSimulatedDrive('1', Simulated(&device)));
  EXPECT_FALSE(AttachSimulatedDrive('H', Simulated(nullptr)));
  ASSERT_TRUE(AttachSimulatedDrive('h', Simulated(&device)));
  EXPECT_EQ(DriveTypeOf("H:\\"), TDriveType::CdRom);
  EXPECT_EQ(DriveDevicePath('H'), "");
  DetachSimulatedDrive('H');
  EXPECT_EQ(DriveTypeOf("H:\\"), TDriveType::NoRootDir);
}

#if !defined(_WIN32)
TEST_F(Drives, HandlesOpenAndCloseOnce) {
  const std::string device = dir_.write("sr0", "");
  const test::TScopedEnv drives("QNZB_DRIVES", "D=" + device);
  TSilentDevice simulated;
  ASSERT_TRUE(AttachSimulatedDrive('E', Simulated(&simulated)));
  ASSERT_TRUE(AttachSimulatedDrive('F', Simulated(&simulated, std::nullopt, true)));
  const size_t before = OpenDriveHandleCount();

  const TDriveHandle real = OpenDrive('D');
  const TDriveHandle sim = OpenDrive('e');
  ASSERT_NE(real, InvalidDriveHandle);
  ASSERT_NE(sim, InvalidDriveHandle);
  EXPECT_NE(real, sim);
  EXPECT_EQ(OpenDrive('F'), InvalidDriveHandle);  // the simulated open fails
  EXPECT_EQ(OpenDrive('G'), InvalidDriveHandle);  // no drive
  EXPECT_EQ(OpenDrive('$'), InvalidDriveHandle);
  EXPECT_EQ(OpenDriveHandleCount(), before + 2);

  EXPECT_TRUE(CloseDrive(real));
  EXPECT_TRUE(CloseDrive(sim));
  EXPECT_FALSE(CloseDrive(sim));
  EXPECT_FALSE(CloseDrive(InvalidDriveHandle));
  EXPECT_EQ(OpenDriveHandleCount(), before);
}
#endif

#if !defined(_WIN32)
TEST_F(Drives, OpenFallsBackToReadOnly) {
  // A folder can't be opened for writing, even by root: only the read-only
  // attempt succeeds.
  const std::string folder = dir_.mkdir("ro");
  const test::TScopedEnv drives("QNZB_DRIVES", "D=" + folder);
  const TDriveHandle handle = OpenDrive('D');
  ASSERT_NE(handle, InvalidDriveHandle);
  EXPECT_TRUE(DriveOpenedReadOnly(handle));
  EXPECT_TRUE(CloseDrive(handle));
}
#endif

#if !defined(_WIN32)
TEST_F(Drives, OpenFailuresSayWhy) {
  test::TFakeNodes nodes(dir_);
  TSilentDevice device;
  test::TFakeNodes::TNode& node = nodes.Add('D', &device);
  const struct {
    int openError, readWriteError;
    TDriveFault fault;
    const char* text;  // after the node's path
    bool readOnly;
  } rows[] = {
      {EACCES, 0, TDriveFault::Denied, ": ", false},  // and what to do, by the node's group
      {ENOENT, 0, TDriveFault::NoDrive, " does not exist", false},
      {ENXIO, 0, TDriveFault::Gone, "", false},
      {EBUSY, 0, TDriveFault::Busy, " is in use by another program", false},
      {0, EACCES, TDriveFault::None, "", true},
      {0, EROFS, TDriveFault::None, "", true},
      {0, 0, TDriveFault::None, "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.openError);
    node.OpenError = row.openError;
    node.ReadWriteError = row.readWriteError;
    const TDriveHandle handle = OpenDrive('D');
    const TDriveError error = LastDriveError();
    EXPECT_EQ(error.Fault, row.fault);
    if (row.fault == TDriveFault::None) {
      ASSERT_NE(handle, InvalidDriveHandle);
      EXPECT_EQ(DriveOpenedReadOnly(handle), row.readOnly);
      EXPECT_TRUE(CloseDrive(handle));
      continue;
    }
    EXPECT_EQ(handle, InvalidDriveHandle);
    EXPECT_EQ(error.Path, node.Path);
    EXPECT_NE(error.Text.find(node.Path + row.text), std::string::npos) << error.Text;
  }
  node.OpenError = EACCES;
  (void)OpenDrive('D');
  EXPECT_TRUE(LastDriveError().Text.starts_with("permission denied on " + node.Path + ": "));
}
#endif

} // namespace
} // namespace qnzb::platform
