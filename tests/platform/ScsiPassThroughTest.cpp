// The pass-through structure carried to a simulated device and, through the
// SG_IO seam, to a real device path: direction, lengths, CDB, time-out,
// status and sense coming back, and malformed structures refused.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/device/ScsiSense.h"
#include "platform/ScsiPassThrough.h"
#include "platform/SimulatedDevice.h"
#include "PlatformTestSupport.h"
#include "support/SimulatedDrive.h"
#include "support/TempDir.h"

namespace qnzb::platform {
namespace {

using test::Simulated;

FixedSense Sense(SenseCode code) {
  FixedSense s;
  s.Code = code;
  return s;
}

// Records what it got; answers with a fixed status, sense and transfer size.
class TRecordingDevice final : public SimulatedDevice {
public:
  ScsiOutcome Execute(std::span<const uint8_t> cdb, std::span<uint8_t> data, ScsiDirection direction,
                      std::span<uint8_t> sense) override {
    Cdb.assign(cdb.begin(), cdb.end());
    DataSize = data.size();
    Direction = direction;
    SenseRoom = sense.size();
    if (direction == ScsiDirection::In)
      for (size_t i = 0; i < data.size() && i < Transfer; ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    ScsiOutcome outcome;
    outcome.Status = Status;
    outcome.Transferred = static_cast<uint32_t>(std::min<size_t>(Transfer, data.size()));
    if (Status == ScsiStatusCheckCondition)
      outcome.SenseLength = static_cast<uint8_t>(EncodeFixedSense(Sense(sense::InvalidFieldInCdb), sense));
    return outcome;
  }

  std::vector<uint8_t> Cdb;
  size_t DataSize = 0;
  ScsiDirection Direction = ScsiDirection::None;
  size_t SenseRoom = 0;
  uint8_t Status = ScsiStatusGood;
  uint32_t Transfer = 0;
};

SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER Request(std::initializer_list<uint8_t> cdb, uint8_t dataIn, void* data,
                                             uint32_t length) {
  SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER b;
  std::memset(&b, 0, sizeof b);
  b.Spt.Length = sizeof b.Spt;
  b.Spt.CdbLength = static_cast<uint8_t>(cdb.size());
  std::copy(cdb.begin(), cdb.end(), b.Spt.Cdb);
  b.Spt.SenseInfoLength = 24;
  b.Spt.DataIn = dataIn;
  b.Spt.DataTransferLength = length;
  b.Spt.DataBuffer = data;
  b.Spt.TimeOutValue = 120;
  b.Spt.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, SenseBuf);
  return b;
}

class PassThrough : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(AttachSimulatedDrive('E', Simulated(&device_))); }
  void TearDown() override {
    DetachAllSimulatedDrives();
    SetSgIoHook(nullptr);
  }
  TRecordingDevice device_;
  test::TempDir dir_;
  const test::TScopedEnv drives_{"QNZB_DRIVES", ""};
};

TEST_F(PassThrough, SimulatedDeviceSeesDirectionAndLength) {
  const TDriveHandle handle = OpenDrive('E');
  ASSERT_NE(handle, InvalidDriveHandle);
  std::vector<uint8_t> data(96, 0);
  const struct {
    uint8_t dataIn;
    uint32_t length;
    ScsiDirection direction;
  } rows[] = {
      {SptDataIn, 96, ScsiDirection::In},
      {SptDataOut, 60, ScsiDirection::Out},
      {SptDataUnspecified, 0, ScsiDirection::None},
      {SptDataIn, 0, ScsiDirection::None},
  };
  for (const auto& row : rows) {
    auto b = Request({0x5A, 0x00, 0x2A, 0, 0, 0, 0, 0, 96, 0}, row.dataIn, row.length ? data.data() : nullptr,
                     row.length);
    device_.Transfer = 40;
    ASSERT_TRUE(ScsiPassThroughDirect(handle, &b, sizeof b)) << int(row.dataIn);
    EXPECT_EQ(device_.Direction, row.direction);
    EXPECT_EQ(device_.DataSize, row.length);
    EXPECT_EQ(device_.Cdb, (std::vector<uint8_t>{0x5A, 0x00, 0x2A, 0, 0, 0, 0, 0, 96, 0}));
    EXPECT_EQ(b.Spt.ScsiStatus, ScsiStatusGood);
    EXPECT_EQ(b.Spt.SenseInfoLength, 0);
    EXPECT_EQ(b.Spt.DataTransferLength, std::min<uint32_t>(row.length, 40));
  }
  EXPECT_EQ(data[0], 0xA0);
  EXPECT_EQ(data[39], 0xA0 + 39);
  EXPECT_EQ(data[40], 0);
  EXPECT_TRUE(CloseDrive(handle));
}

TEST_F(PassThrough, CheckConditionComesBackWithSense) {
  const TDriveHandle handle = OpenDrive('E');
  device_.Status = ScsiStatusCheckCondition;
  auto b = Request({0x00, 0, 0, 0, 0, 0}, SptDataUnspecified, nullptr, 0);
  b.Spt.SenseInfoLength = 12;  // room for less than the device has
  ASSERT_TRUE(ScsiPassThroughDirect(handle, &b, sizeof b));
  EXPECT_EQ(device_.SenseRoom, 12u);
  EXPECT_EQ(b.Spt.ScsiStatus, ScsiStatusCheckCondition);
  EXPECT_EQ(b.Spt.SenseInfoLength, 12);
  EXPECT_EQ(b.SenseBuf[0], 0x70);
  EXPECT_EQ(b.SenseBuf[2], SenseKeyIllegalRequest);
  EXPECT_EQ(b.SenseBuf[12], 0);  // beyond the room given: untouched
  EXPECT_TRUE(CloseDrive(handle));
}

TEST_F(PassThrough, MalformedStructuresAreRefused) {
  const TDriveHandle handle = OpenDrive('E');
  uint8_t data[16] = {};
  struct TRow {
    const char* what;
    void (*spoil)(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER&);
    uint32_t length;
  };
  const TRow rows[] = {
      {"no CDB", [](auto& b) { b.Spt.CdbLength = 0; }, sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
      {"CDB over 16", [](auto& b) { b.Spt.CdbLength = 17; }, sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
      {"short buffer", [](auto&) {}, sizeof(SCSI_PASS_THROUGH_DIRECT) - 1},
      {"sense inside the structure", [](auto& b) { b.Spt.SenseInfoOffset = 4; },
       sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
      {"sense past the buffer", [](auto& b) { b.Spt.SenseInfoOffset = 4096; },
       sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
      {"length without data", [](auto& b) { b.Spt.DataBuffer = nullptr; },
       sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
      {"data without direction", [](auto& b) { b.Spt.DataIn = SptDataUnspecified; },
       sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
      {"unknown direction", [](auto& b) { b.Spt.DataIn = 7; }, sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)},
  };
  for (const TRow& row : rows) {
    auto b = Request({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, SptDataIn, data, sizeof data);
    row.spoil(b);
    device_.Cdb.clear();
    EXPECT_FALSE(ScsiPassThroughDirect(handle, &b, row.length)) << row.what;
    EXPECT_TRUE(device_.Cdb.empty()) << row.what;
  }
  auto good = Request({0x00, 0, 0, 0, 0, 0}, SptDataUnspecified, nullptr, 0);
  EXPECT_FALSE(ScsiPassThroughDirect(handle, nullptr, sizeof good));
  EXPECT_TRUE(CloseDrive(handle));
  EXPECT_FALSE(ScsiPassThroughDirect(handle, &good, sizeof good));  // closed
}

TEST_F(PassThrough, FailingSimulatedDriveAndDetachedLetter) {
  TRecordingDevice other;
  ASSERT_TRUE(AttachSimulatedDrive('F', Simulated(&other, std::nullopt, false, true)));
  const TDriveHandle failing = OpenDrive('F');
  auto b = Request({0x00, 0, 0, 0, 0, 0}, SptDataUnspecified, nullptr, 0);
  EXPECT_FALSE(ScsiPassThroughDirect(failing, &b, sizeof b));
  EXPECT_TRUE(other.Cdb.empty());
  const TDriveHandle handle = OpenDrive('E');
  DetachSimulatedDrive('E');
  EXPECT_FALSE(ScsiPassThroughDirect(handle, &b, sizeof b));
  EXPECT_TRUE(CloseDrive(handle));
  EXPECT_TRUE(CloseDrive(failing));
}

#if !defined(_WIN32)
TEST_F(PassThrough, AddressOfSimulatedAndPlainDevices) {
  SCSI_ADDRESS given{};
  given.PortNumber = 3;
  given.PathId = 1;
  given.TargetId = 5;
  given.Lun = 2;
  TRecordingDevice addressed;
  ASSERT_TRUE(AttachSimulatedDrive('G', Simulated(&addressed, given)));
  const TDriveHandle g = OpenDrive('G');
  SCSI_ADDRESS got{};
  ASSERT_TRUE(ScsiGetAddress(g, got));
  EXPECT_EQ(got.Length, 8u);
  EXPECT_EQ(got.PortNumber, 3);
  EXPECT_EQ(got.PathId, 1);
  EXPECT_EQ(got.TargetId, 5);
  EXPECT_EQ(got.Lun, 2);

  const TDriveHandle e = OpenDrive('E');  // attached without an address
  EXPECT_FALSE(ScsiGetAddress(e, got));
  const test::TScopedEnv drives("QNZB_DRIVES", "D=" + dir_.write("file", ""));
  const TDriveHandle plain = OpenDrive('D');  // a file has no SCSI address
  ASSERT_NE(plain, InvalidDriveHandle);
  EXPECT_FALSE(ScsiGetAddress(plain, got));
  EXPECT_FALSE(ScsiGetAddress(InvalidDriveHandle, got));
  for (TDriveHandle h : {g, e, plain})
    EXPECT_TRUE(CloseDrive(h));
}
#endif

// Real device paths: the SG_IO request the translation builds, and what comes back.
#if !defined(_WIN32)
TEST_F(PassThrough, SgIoTranslation) {
  const test::TScopedEnv drives("QNZB_DRIVES", "D=" + dir_.write("sr0", ""));
  const TDriveHandle handle = OpenDrive('D');
  ASSERT_NE(handle, InvalidDriveHandle);

  TSgIoRequest seen;
  int result = 0;
  uint8_t status = 0;
  uint16_t hostStatus = 0;
  int32_t residual = 0;
  SetSgIoHook([&](int descriptor, TSgIoRequest& request) {
    EXPECT_GE(descriptor, 0);
    seen = request;
    seen.Cdb = nullptr;
    EXPECT_EQ(request.Cdb[0], 0x2A);
    EXPECT_EQ(request.Cdb[9], 0x99);
    request.Status = status;
    request.HostStatus = hostStatus;
    request.Residual = residual;
    if (status == ScsiStatusCheckCondition)
      request.SenseWritten = static_cast<uint8_t>(
          EncodeFixedSense(Sense(sense::WriteError), std::span<uint8_t>(request.Sense, request.SenseCapacity)));
    return result;
  });

  std::vector<uint8_t> data(2048 * 2, 0x5A);
  const auto request = [&](uint8_t dataIn, uint32_t seconds) {
    auto b = Request({0x2A, 0, 0, 0, 0, 100, 0, 0, 2, 0x99}, dataIn, data.data(), 4096);
    b.Spt.TimeOutValue = seconds;
    return b;
  };

  auto out = request(SptDataOut, 120);
  ASSERT_TRUE(ScsiPassThroughDirect(handle, &out, sizeof out));
  EXPECT_EQ(seen.Direction, TSgIoRequest::TDirection::ToDevice);
  EXPECT_EQ(seen.CdbLength, 10);
  EXPECT_EQ(seen.Data, data.data());
  EXPECT_EQ(seen.DataLength, 4096u);
  EXPECT_EQ(seen.TimeoutMs, 120000u);
  EXPECT_EQ(seen.SenseCapacity, 24);
  EXPECT_EQ(out.Spt.ScsiStatus, 0);
  EXPECT_EQ(out.Spt.DataTransferLength, 4096u);

  // Data in, short transfer, CHECK CONDITION with sense.
  status = ScsiStatusCheckCondition;
  residual = 2048;
  auto in = request(SptDataIn, 0xFFFFFFFF);  // a time-out that overflows in ms
  ASSERT_TRUE(ScsiPassThroughDirect(handle, &in, sizeof in));
  EXPECT_EQ(seen.Direction, TSgIoRequest::TDirection::FromDevice);
  EXPECT_GE(seen.TimeoutMs, 0xFFFFFFFFu - 999);
  EXPECT_EQ(in.Spt.ScsiStatus, ScsiStatusCheckCondition);
  EXPECT_EQ(in.Spt.SenseInfoLength, 18);
  EXPECT_EQ(in.SenseBuf[2], SenseKeyMediumError);
  EXPECT_EQ(in.SenseBuf[12], 0x0C);
  EXPECT_EQ(in.Spt.DataTransferLength, 2048u);

  // No data: no direction.
  status = 0;
  residual = 0;
  auto none = Request({0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0x99}, SptDataUnspecified, nullptr, 0);
  ASSERT_TRUE(ScsiPassThroughDirect(handle, &none, sizeof none));
  EXPECT_EQ(seen.Direction, TSgIoRequest::TDirection::None);

  // The adapter failed (time-out, reset) or the ioctl itself failed.
  hostStatus = 0x03;
  auto lost = request(SptDataOut, 120);
  EXPECT_FALSE(ScsiPassThroughDirect(handle, &lost, sizeof lost));
  hostStatus = 0;
  result = -1;
  errno = EIO;
  EXPECT_FALSE(ScsiPassThroughDirect(handle, &lost, sizeof lost));
  EXPECT_TRUE(CloseDrive(handle));
}
#endif

// What the kernel says when a command gets no answer, as the fault and the
// words the layers above pass on.
#if !defined(_WIN32)
TEST_F(PassThrough, TransportFailuresSayWhy) {
  struct TRow {
    const char* what;
    int error;  // errno of a failing ioctl, else 0
    uint16_t host, driver;
    bool readOnly, nodeRemoved;
    TDriveFault fault;
    const char* text;  // the part after the node's path
  };
  // The rest of the faults, by the texts users see: SptiTest.
  const TRow rows[] = {
      {"EPERM, read-only handle", EPERM, 0, 0, true, false, TDriveFault::ReadOnly, " (opened read-only)"},
      {"EBADF, read-only handle", EBADF, 0, 0, true, false, TDriveFault::ReadOnly, " (opened read-only)"},
      {"EPERM, read-write handle", EPERM, 0, 0, false, false, TDriveFault::Refused, ": Operation not permitted"},
      {"EIO, node still there", EIO, 0, 0, false, false, TDriveFault::IoError, ""},
      {"EIO, node removed", EIO, 0, 0, false, true, TDriveFault::Gone, " is gone"},
      {"DRIVER_TIMEOUT", 0, 0, 0x06, false, false, TDriveFault::Timeout, " did not answer in time"},
      {"DID_NO_CONNECT", 0, 0x01, 0, false, false, TDriveFault::Gone, " is gone"},
      // CHECK CONDITION with sense: an answer, whatever the driver byte says.
      {"DRIVER_SENSE", 0, 0, 0x08, false, false, TDriveFault::None, ""},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string node = dir_.write("sr0", "");
    const test::TScopedEnv drives("QNZB_DRIVES", "D=" + node);
    SetOpenHook([&](const std::string&, bool readWrite) { return readWrite && row.readOnly ? EACCES : 0; });
    SetSgIoHook([&](int, TSgIoRequest& request) {
      EXPECT_EQ(request.Node, node);
      if (row.nodeRemoved)
        std::remove(node.c_str());
      if (row.error != 0) {
        errno = row.error;
        return -1;
      }
      request.HostStatus = row.host;
      request.DriverStatus = row.driver;
      return 0;
    });
    const TDriveHandle handle = OpenDrive('D');
    ASSERT_NE(handle, InvalidDriveHandle);
    EXPECT_EQ(DriveOpenedReadOnly(handle), row.readOnly);
    auto b = Request({0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SptDataUnspecified, nullptr, 0);
    EXPECT_EQ(ScsiPassThroughDirect(handle, &b, sizeof b), row.fault == TDriveFault::None);
    const TDriveError error = LastDriveError();
    EXPECT_EQ(error.Fault, row.fault);
    if (row.fault != TDriveFault::None) {
      EXPECT_EQ(error.Path, node);
      EXPECT_NE(error.Text.find(node + row.text), std::string::npos) << error.Text;
    }
    EXPECT_TRUE(CloseDrive(handle));
  }
  SetOpenHook(nullptr);
}
#endif

} // namespace
} // namespace qnzb::platform
