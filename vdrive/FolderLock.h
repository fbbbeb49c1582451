#pragma once
// An advisory lock on a recorder's state directory (its file "drive.lock").
// A recorder holds it while a program keeps the tray locked (PREVENT ALLOW
// MEDIUM REMOVAL), and the vdrive tool takes it for the moment it changes the
// disc or the drive, so the operator's commands never swap a disc under a
// running burn. The lock belongs to the object, not to the process: two
// objects exclude each other in one process as in two, and the lock ends with
// its object or its process, however that ends.

#include <memory>
#include <string>

namespace qnzb::platform {
class TFileLock;
}

namespace qnzb::vdrive {

class FolderLock {
public:
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // Takes the lock of directory `dir` without waiting. nullptr with `busy`
  // set when another holder has it, or with `error` set when the lock file
  // can't be made (a directory that doesn't exist, for one).
  [[nodiscard]] static std::unique_ptr<FolderLock> Try(const std::string& dir, bool& busy, std::string& error);

private:
  explicit FolderLock(std::unique_ptr<platform::TFileLock> file);
  std::unique_ptr<platform::TFileLock> file_;
};

} // namespace qnzb::vdrive
