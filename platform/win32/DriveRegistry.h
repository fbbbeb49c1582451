#pragma once
// Internal to the Windows platform layer: the open drive handles and the
// simulated letters, shared by the drive and pass-through files. A drive
// handle is a number from this registry, never reused, naming either a
// "\\.\X:" handle or a simulated letter.

#include <optional>
#include <string>

#include "platform/ScsiPassThrough.h"
#include "platform/win32/WinApi.h"

namespace qnzb::platform::win32 {

struct TOpenDrive {
  HANDLE Device = INVALID_HANDLE_VALUE;  // the "\\.\X:" handle
  std::optional<TSimulatedDrive> Simulated;
  char Letter = 0;
  std::string Path;       // "\\.\X:"
  bool ReadOnly = false;  // the read-write open was refused
};

[[nodiscard]] std::optional<TSimulatedDrive> SimulatedDriveOf(char letter);
[[nodiscard]] std::optional<TOpenDrive> LookUpDrive(TDriveHandle handle);
void SetDriveError(TDriveError error);
void ClearDriveError();

} // namespace qnzb::platform::win32
