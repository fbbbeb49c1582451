// Drive letters as Windows reports them, "\\.\X:" handles and the
// pass-through structure on a real handle, carried through the test seam in
// place of the port driver.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Drives.h"
#include "platform/ScsiPassThrough.h"

namespace qnzb::platform {
namespace {

// The system drive exists on every Windows; a letter past the last one in use
// has no root (Wine maps only C: and Z: by default).
constexpr char SystemLetter = 'C';
constexpr char UnusedLetter = 'Q';

class WinDrives : public ::testing::Test {
protected:
  void TearDown() override {
    SetOpenHook(nullptr);
    SetSgIoHook(nullptr);
    SetAddressHook(nullptr);
  }
};

TEST_F(WinDrives, LettersHaveTheSystemsTypesAndDevicePaths) {
  EXPECT_EQ(DriveTypeOf("C:\\"), TDriveType::Fixed);
  EXPECT_EQ(DriveTypeOf("c:"), TDriveType::Fixed);
  EXPECT_EQ(DriveTypeOf("Q:\\"), TDriveType::NoRootDir);
  for (const char* bad : {"", "CC:\\", "C:\\x", "1:\\", "C;"})
    EXPECT_EQ(DriveTypeOf(bad), TDriveType::NoRootDir) << bad;
  EXPECT_EQ(DriveDevicePath(SystemLetter), "\\\\.\\C:");
  EXPECT_EQ(DriveDevicePath(UnusedLetter), "");

  EXPECT_EQ(OpenDrive(UnusedLetter), InvalidDriveHandle);
  EXPECT_EQ(LastDriveError().Fault, TDriveFault::NoDrive);
}

TEST_F(WinDrives, OpenFailuresSayWhyAndReadWriteRefusalFallsBackToReadOnly) {
  const struct {
    int error;
    TDriveFault fault;
    const char* says;
  } rows[] = {
      {EACCES, TDriveFault::Denied, "administrator"},
      {ENOENT, TDriveFault::NoDrive, "does not exist"},
      {ENODEV, TDriveFault::Gone, "no device"},
      {EBUSY, TDriveFault::Busy, "in use"},
  };
  for (const auto& row : rows) {
    SetOpenHook([&](const std::string& path, bool) {
      EXPECT_EQ(path, "\\\\.\\C:");
      return row.error;
    });
    EXPECT_EQ(OpenDrive(SystemLetter), InvalidDriveHandle);
    const TDriveError error = LastDriveError();
    EXPECT_EQ(error.Fault, row.fault) << row.error;
    EXPECT_EQ(error.Path, "\\\\.\\C:");
    EXPECT_NE(error.Text.find(row.says), std::string::npos) << error.Text;
    EXPECT_NE(error.SystemError, 0);
  }

  // Denied for writing only: the handle is the read-only one.
  SetOpenHook([](const std::string&, bool readWrite) { return readWrite ? EACCES : 0; });
  const TDriveHandle handle = OpenDrive(SystemLetter);
  ASSERT_NE(handle, InvalidDriveHandle) << LastDriveError().Text;
  EXPECT_TRUE(DriveOpenedReadOnly(handle));
  EXPECT_EQ(OpenDriveHandleCount(), 1u);
  EXPECT_TRUE(CloseDrive(handle));
  EXPECT_FALSE(CloseDrive(handle));
  EXPECT_EQ(OpenDriveHandleCount(), 0u);
}

SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER Write10(void* data, uint32_t length, uint8_t dataIn, uint32_t seconds) {
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER b;
  std::memset(&b, 0, sizeof b);
  b.Spt.Length = sizeof b.Spt;
  const uint8_t cdb[] = {0x2A, 0, 0, 0, 0, 100, 0, 0, 2, 0x99};
  b.Spt.CdbLength = sizeof cdb;
  std::memcpy(b.Spt.Cdb, cdb, sizeof cdb);
  b.Spt.SenseInfoLength = 24;
  b.Spt.DataIn = dataIn;
  b.Spt.DataTransferLength = length;
  b.Spt.DataBuffer = data;
  b.Spt.TimeOutValue = seconds;
  b.Spt.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
  return b;
}

TEST_F(WinDrives, PassThroughOnARealHandleCarriesTheStructureBothWays) {
  const TDriveHandle handle = OpenDrive(SystemLetter);
  ASSERT_NE(handle, InvalidDriveHandle) << LastDriveError().Text;

  TSgIoRequest seen;
  int result = 0;
  uint8_t status = 0;
  uint16_t host = 0;
  int32_t residual = 0;
  SetSgIoHook([&](int, TSgIoRequest& request) {
    seen = request;
    request.Status = status;
    request.HostStatus = host;
    request.Residual = residual;
    if (status == 0x02) {
      const uint8_t sense[18] = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00};
      std::memcpy(request.Sense, sense, std::min<size_t>(sizeof sense, request.SenseCapacity));
      request.SenseWritten = sizeof sense;
    }
    return result;
  });

  std::vector<uint8_t> data(4096, 0x5A);
  auto out = Write10(data.data(), 4096, SptDataOut, 120);
  ASSERT_TRUE(ScsiPassThroughDirect(handle, &out, sizeof out));
  EXPECT_EQ(seen.Node, "\\\\.\\C:");
  EXPECT_EQ(seen.Direction, TSgIoRequest::TDirection::ToDevice);
  EXPECT_EQ(seen.CdbLength, 10);
  EXPECT_EQ(seen.Data, data.data());
  EXPECT_EQ(seen.TimeoutMs, 120000u);
  EXPECT_EQ(seen.SenseCapacity, 24);
  EXPECT_EQ(out.Spt.DataTransferLength, 4096u);

  status = 0x02;
  residual = 2048;
  auto in = Write10(data.data(), 4096, SptDataIn, 0xFFFFFFFF);
  ASSERT_TRUE(ScsiPassThroughDirect(handle, &in, sizeof in));
  EXPECT_EQ(seen.Direction, TSgIoRequest::TDirection::FromDevice);
  EXPECT_GE(seen.TimeoutMs, 0xFFFFFFFFu - 999);
  EXPECT_EQ(in.Spt.ScsiStatus, 0x02);
  EXPECT_EQ(in.Spt.SenseInfoLength, 18);
  EXPECT_EQ(in.SenseBuf[2], 0x03);
  EXPECT_EQ(in.SenseBuf[12], 0x0C);
  EXPECT_EQ(in.Spt.DataTransferLength, 2048u);

  status = 0;
  residual = 0;
  host = 0x03;
  auto lost = Write10(data.data(), 4096, SptDataOut, 120);
  EXPECT_FALSE(ScsiPassThroughDirect(handle, &lost, sizeof lost));
  EXPECT_EQ(LastDriveError().Fault, TDriveFault::HostError);
  host = 0;
  const struct {
    int error;
    TDriveFault fault;
  } failures[] = {{EIO, TDriveFault::IoError}, {ENODEV, TDriveFault::Gone}, {ETIMEDOUT, TDriveFault::Timeout}};
  for (const auto& row : failures) {
    result = -1;
    SetSgIoHook([&](int, TSgIoRequest&) {
      errno = row.error;
      return -1;
    });
    EXPECT_FALSE(ScsiPassThroughDirect(handle, &lost, sizeof lost));
    EXPECT_EQ(LastDriveError().Fault, row.fault) << row.error;
    EXPECT_EQ(LastDriveError().Path, "\\\\.\\C:");
  }

  SetAddressHook([](const std::string&, TScsiIdLun& address) {
    address = {10, 1, 4, 0};
    return 0;
  });
  SCSI_ADDRESS got{};
  ASSERT_TRUE(ScsiGetAddress(handle, got));
  EXPECT_EQ(got.PortNumber, 10);
  EXPECT_EQ(got.PathId, 1);
  EXPECT_EQ(got.TargetId, 4);
  SetAddressHook([](const std::string&, TScsiIdLun&) { return ENOTTY; });
  EXPECT_FALSE(ScsiGetAddress(handle, got));
  EXPECT_TRUE(CloseDrive(handle));
}

} // namespace
} // namespace qnzb::platform
