#pragma once
// Shared by the drive and pass-through implementations: the open drive
// handles and the simulated letters. A handle is a number from this registry,
// never reused, naming either a descriptor of a real device path or a
// simulated letter.

#include <mutex>
#include <optional>
#include <string>

#include "platform/ScsiPassThrough.h"

namespace qnzb::platform::posix {

struct TOpenDrive {
  int Descriptor = -1;  // real device path
  std::optional<TSimulatedDrive> Simulated;
  char Letter = 0;
  std::string Path;       // the real device path
  bool ReadOnly = false;  // the read-write open was refused
};

// The simulated drive of a letter (upper case), if any.
[[nodiscard]] std::optional<TSimulatedDrive> SimulatedDriveOf(char letter);
// A copy of what a handle names; empty when it isn't open.
[[nodiscard]] std::optional<TOpenDrive> LookUpDrive(TDriveHandle handle);

// The calling thread's LastDriveError.
void SetDriveError(TDriveError error);
void ClearDriveError();
// "permission denied on PATH" and what to do about it: the group to join
// when the device's group may read and write it.
[[nodiscard]] std::string DeniedText(const std::string& path);

} // namespace qnzb::platform::posix
