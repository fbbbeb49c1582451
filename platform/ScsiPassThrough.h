#pragma once
// The storage driver's SCSI pass-through on a drive handle (Drives.h), in the
// Windows layouts the engine fills: IOCTL_SCSI_PASS_THROUGH_DIRECT and
// IOCTL_SCSI_GET_ADDRESS. On this system a request goes out as SG_IO; the
// address comes from SCSI_IOCTL_GET_IDLUN and SCSI_IOCTL_GET_BUS_NUMBER.
//
// A drive letter can instead be attached to a device simulated in-process;
// its handles then reach that device, so the pass-through path runs without
// hardware. Real device paths go through seams tests can replace.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Drives.h"
#include "platform/SimulatedDevice.h"

namespace qnzb::platform {

// SCSI_PASS_THROUGH_DIRECT.DataIn
inline constexpr uint8_t SptDataOut = 0;
inline constexpr uint8_t SptDataIn = 1;
inline constexpr uint8_t SptDataUnspecified = 2;

// The Windows layout, natural alignment: 44 bytes on a 32-bit build. The data
// pointer widens on 64-bit builds (56 bytes, as on x64 Windows).
struct SCSI_PASS_THROUGH_DIRECT {
  uint16_t Length;  // sizeof(SCSI_PASS_THROUGH_DIRECT)
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;  // in: room for sense; out: sense bytes returned
  uint8_t DataIn;
  uint32_t DataTransferLength;  // in: buffer size; out: bytes moved
  uint32_t TimeOutValue;        // seconds
  void* DataBuffer;
  uint32_t SenseInfoOffset;  // from the start of the structure
  uint8_t Cdb[16];
};

// The structure followed by its sense buffer: 80 bytes on a 32-bit build
// (sense at 48), 88 on a 64-bit one (sense at 56).
struct SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER {
  SCSI_PASS_THROUGH_DIRECT Spt;
  alignas(8) uint8_t SenseBuf[32];
};

static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == (sizeof(void*) == 4 ? 20 : 24));
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == (sizeof(void*) == 4 ? 44 : 56));
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER) == (sizeof(void*) == 4 ? 80 : 88));

struct SCSI_ADDRESS {
  uint32_t Length;  // sizeof(SCSI_ADDRESS)
  uint8_t PortNumber;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
};
static_assert(sizeof(SCSI_ADDRESS) == 8);

// IOCTL_SCSI_PASS_THROUGH_DIRECT with `buffer` (a SCSI_PASS_THROUGH_DIRECT,
// its sense buffer at SenseInfoOffset) as input and output, `length` bytes of
// it. Synchronous; TimeOutValue (seconds) bounds the command. True when the
// command reached the device and came back, whatever its SCSI status:
// ScsiStatus, SenseInfoLength, the sense buffer and DataTransferLength (the
// bytes that arrived or went out) then tell the outcome. False when the
// structure is malformed (length, CDB length, sense offset, a data direction
// without data or data without a direction), the handle is not open, the
// system refused the request, or the transport failed (the adapter reported
// an error, the command timed out, the device went away); LastDriveError
// (Drives.h) then says which.
[[nodiscard]] bool ScsiPassThroughDirect(TDriveHandle handle, void* buffer, uint32_t length);
// IOCTL_SCSI_GET_ADDRESS: host → PortNumber, channel → PathId, id → TargetId,
// lun → Lun. False when the device has no SCSI address.
[[nodiscard]] bool ScsiGetAddress(TDriveHandle handle, SCSI_ADDRESS& address);

// ---- Simulated drives ----

struct TSimulatedDrive {
  // Borrowed; must outlive the attachment and every handle opened on it.
  SimulatedDevice* Device = nullptr;
  // What IOCTL_SCSI_GET_ADDRESS reports; empty: the call fails, as for a
  // drive without a SCSI address.
  std::optional<SCSI_ADDRESS> Address;
  // Opening the letter fails.
  bool OpenFails = false;
  // Every pass-through call fails before reaching the device, with an I/O
  // error (a detached letter fails as a device gone).
  bool PassThroughFails = false;
};

// Makes `letter` (A-Z, any case) a CD-ROM drive answered by `drive.Device`,
// replacing an earlier attachment. False for a bad letter or no device.
bool AttachSimulatedDrive(char letter, const TSimulatedDrive& drive);
// Detaches a letter (or every letter); handles opened on it stop working.
// Call it only while no command runs on the letter.
void DetachSimulatedDrive(char letter);
void DetachAllSimulatedDrives();

// ---- The system seams ----
// Tests replace the system calls made for real device paths: the open, the
// SG_IO ioctl and the address ioctls. Each hook is process-wide; an empty one
// restores the real call.

// One SG_IO request as the translation built it, and what came back.
struct TSgIoRequest {
  enum class TDirection : uint8_t { None, ToDevice, FromDevice };
  std::string Node;  // the device path of the handle
  TDirection Direction = TDirection::None;
  const uint8_t* Cdb = nullptr;
  uint8_t CdbLength = 0;
  void* Data = nullptr;
  uint32_t DataLength = 0;
  uint32_t TimeoutMs = 0;
  uint8_t* Sense = nullptr;
  uint8_t SenseCapacity = 0;
  // Filled by the call.
  uint8_t Status = 0;        // SCSI status byte
  uint16_t HostStatus = 0;   // 0: the adapter saw no error (else DID_*)
  uint16_t DriverStatus = 0;
  uint8_t SenseWritten = 0;
  int32_t Residual = 0;      // bytes not moved
  uint32_t DurationMs = 0;
};
// Replaces ioctl(descriptor, SG_IO); returns 0, or -1 with errno set as a
// failing ioctl does.
using TSgIoHook = std::function<int(int descriptor, TSgIoRequest& request)>;
void SetSgIoHook(TSgIoHook hook);

// What SCSI_IOCTL_GET_IDLUN and SCSI_IOCTL_GET_BUS_NUMBER tell of a device.
struct TScsiIdLun {
  uint32_t Host = 0;
  uint8_t Channel = 0;
  uint8_t Id = 0;
  uint8_t Lun = 0;
};
// Replaces the two address ioctls of the device at `node`; returns 0, or the
// errno the ioctl fails with.
using TAddressHook = std::function<int(const std::string& node, TScsiIdLun& address)>;
void SetAddressHook(TAddressHook hook);

// Runs before each open() of a real device path (read-write first, then
// read-only): 0 lets the open go ahead, any other value is the errno it fails
// with.
using TOpenHook = std::function<int(const std::string& node, bool readWrite)>;
void SetOpenHook(TOpenHook hook);

} // namespace qnzb::platform
