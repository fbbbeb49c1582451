#pragma once
// Keeps this program's processes apart on one drive: an advisory lock on a
// file named after the drive, held shared for single commands and exclusive
// for a write or an erase job. The lock files of every user live in one
// folder of the system's temporary files (QNZB_LOCK_DIR overrides it), so a
// second user's burn is kept out too. A lock ends with its object or its
// process, however that ends.
//
// Threading: one object is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

namespace qnzb::platform {

// The `why` of LockDrive when another holder stands in the way.
inline constexpr const char* DriveLockInUse = "in use";

class TDriveLock {
public:
  ~TDriveLock();
  TDriveLock(const TDriveLock&) = delete;
  TDriveLock& operator=(const TDriveLock&) = delete;

  // Turns the lock exclusive or back to shared, in one step. False, with the
  // lock as it was, when another holder stands in the way.
  [[nodiscard]] bool Change(bool exclusive);
  [[nodiscard]] bool Exclusive() const { return exclusive_; }

private:
  friend std::unique_ptr<TDriveLock> LockDrive(const std::string&, bool, std::string&);
  // The lock file: a descriptor on POSIX, a handle on Windows.
  TDriveLock(intptr_t file, bool exclusive) : fd_(file), exclusive_(exclusive) {}
  intptr_t fd_;
  bool exclusive_;
};

// Takes the lock of the drive that `key` names (any text: a device node, or
// the drive's identity and serial number). nullptr when another process holds
// it in a way that excludes this one, with `why` DriveLockInUse, or when the lock
// file can't be made, with `why` saying so.
[[nodiscard]] std::unique_ptr<TDriveLock> LockDrive(const std::string& key, bool exclusive, std::string& why);

} // namespace qnzb::platform
