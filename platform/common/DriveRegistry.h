#pragma once
// The drive handles and the simulated letters, the same on every system and
// shared by its drive and pass-through files. A drive handle is a number from
// this registry, never reused, naming either the system's handle of a real
// device or a simulated letter.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/ScsiPassThrough.h"

namespace qnzb::platform::common {

struct TOpenDrive {
  intptr_t System = -1;  // the system's handle of the device (a descriptor, a HANDLE); -1 for none
  std::optional<TSimulatedDrive> Simulated;
  char Letter = 0;
  std::string Path;       // the real device's path
  bool ReadOnly = false;  // the read-write open was refused
};

// 0 for A to 25 for Z, either case; -1 for anything else.
[[nodiscard]] int LetterIndex(char letter);

// The simulated drive of a letter, if any.
[[nodiscard]] std::optional<TSimulatedDrive> SimulatedDriveOf(char letter);
// Whether OpenDrive opens the letter (an index of LetterIndex) exclusively.
[[nodiscard]] bool DriveExclusive(int index);

[[nodiscard]] TDriveHandle RegisterDrive(TOpenDrive drive);
// A copy of what a handle names; empty when it isn't open.
[[nodiscard]] std::optional<TOpenDrive> LookUpDrive(TDriveHandle handle);
// Takes a handle out of the registry: what it named, for the caller to
// close; empty when it wasn't open.
[[nodiscard]] std::optional<TOpenDrive> UnregisterDrive(TDriveHandle handle);

// The test seams in place of the system's calls (empty when none).
[[nodiscard]] TOpenHook CurrentOpenHook();
[[nodiscard]] TSgIoHook CurrentSgIoHook();
[[nodiscard]] TAddressHook CurrentAddressHook();

// The calling thread's LastDriveError.
void SetDriveError(TDriveError error);
void ClearDriveError();

} // namespace qnzb::platform::common
