#pragma once
// Drive letters and drive handles. Letter C is the root file system (fixed);
// the optical devices /dev/sr0, /dev/sr1, ... get D, E, ... in order (CD-ROM
// type); other letters have no root. QNZB_DRIVES ("E=/dev/sr1,F=/dev/sr0")
// replaces the optical assignment: each named letter is a CD-ROM drive on the
// given path while that path exists. A letter attached to a simulated device
// (ScsiPassThrough.h) is a CD-ROM drive whatever the map says.
//
// Failures say why through LastDriveError, as GetLastError does on Windows.
//
// Threading: all calls are safe from any thread. The drive map is read afresh
// on every call, so a changed QNZB_DRIVES takes effect at once.

#include <cstdint>
#include <string>

namespace qnzb::platform {

// What DriveTypeOf tells of a drive letter, with the values GetDriveTypeA gives.
enum class TDriveType : uint32_t {
  Unknown = 0,
  NoRootDir = 1,
  Removable = 2,
  Fixed = 3,
  Remote = 4,
  CdRom = 5,
  RamDisk = 6,
};

// The type of the drive of a root path "X:\" (also "X:" or "X", any case);
// TDriveType::NoRootDir for a letter without a drive or a path naming no letter.
[[nodiscard]] TDriveType DriveTypeOf(const std::string& rootPath);
// The device path of a letter ("/" for C, "/dev/sr0" for D, ...); empty when
// the letter has none. Simulated letters have none.
[[nodiscard]] std::string DriveDevicePath(char letter);

using TDriveHandle = intptr_t;
inline constexpr TDriveHandle InvalidDriveHandle = -1;

// Opens the drive of a letter the way "\\.\X:" is opened: read-write and
// non-blocking, falling back to read-only. InvalidDriveHandle on failure.
[[nodiscard]] TDriveHandle OpenDrive(char letter);
// False for a handle that isn't open.
bool CloseDrive(TDriveHandle handle);
// Drive handles open at this moment, all letters together.
[[nodiscard]] size_t OpenDriveHandleCount();
// While set for a letter, OpenDrive opens its device exclusively, as burning
// programs do for a write or an erase, so that they keep out of each other's
// way (a mounted disc can't be opened so either); an open refused because the
// device is in use fails with TDriveFault::Busy.
void SetDriveExclusive(char letter, bool exclusive);
// True for a handle the read-write open was refused for, so that it was
// opened read-only: commands that change the medium or the drive's settings
// fail on it (TDriveFault::ReadOnly). False for other handles and bad ones.
[[nodiscard]] bool DriveOpenedReadOnly(TDriveHandle handle);

// ---- Why a drive call failed ----

enum class TDriveFault : uint8_t {
  None,
  NoDrive,    // the letter has no drive, or its device path does not exist
  Denied,     // the system refused to open the device (permissions)
  ReadOnly,   // the command needs write access and the handle is read-only
  Refused,    // the system refused the request for another reason
  Gone,       // the device went away: unplugged, switched off, disconnected
  Timeout,    // the device did not answer in time
  BusReset,   // the bus or the device was reset while the command ran
  HostError,  // the adapter reported another error
  IoError,    // an I/O error on a device that is still there
  Malformed,  // the request can't be carried out as given
  NotOpen,    // the handle is not open
  Busy,       // another program holds the device exclusively, or it is mounted
};

struct TDriveError {
  TDriveFault Fault = TDriveFault::None;
  int SystemError = 0;      // errno (the Windows error code there); 0 when none
  uint16_t HostStatus = 0;  // the adapter's status, when it reported one
  std::string Path;         // the device path, when the drive has one
  // In words, for a person: "permission denied on /dev/sr0: join group cdrom".
  std::string Text;
};

// Why the calling thread's last OpenDrive, ScsiPassThroughDirect or
// ScsiGetAddress failed. Each of them sets it when it fails and clears it
// (Fault None) when it succeeds.
[[nodiscard]] TDriveError LastDriveError();

} // namespace qnzb::platform
