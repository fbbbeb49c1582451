#pragma once
// An exclusive advisory lock on one file, taken without waiting. It belongs
// to the object, not to the process: two objects exclude each other in one
// process as in two, and the lock ends with its object or its process,
// however that ends.
//
// Threading: one object is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <string>

namespace qnzb::platform {

class TFileLock {
public:
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  // Locks the file at `path`, creating it when missing (a symbolic link is
  // refused where the OS has them). nullptr with `busy` set when another
  // holder has it, or with `error` set when the file can't be made or locked.
  [[nodiscard]] static std::unique_ptr<TFileLock> Try(const std::string& path, bool& busy, std::string& error);

private:
  // A descriptor on POSIX, a handle on Windows.
  explicit TFileLock(intptr_t file) : file_(file) {}
  intptr_t file_;
};

} // namespace qnzb::platform
