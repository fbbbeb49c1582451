// The state-directory lock is the platform's file lock on "drive.lock".

#include "vdrive/FolderLock.h"

#include <utility>

#include "platform/FileLock.h"

namespace qnzb::vdrive {

FolderLock::FolderLock(std::unique_ptr<platform::TFileLock> file) : file_(std::move(file)) {}

FolderLock::~FolderLock() = default;

std::unique_ptr<FolderLock> FolderLock::Try(const std::string& dir, bool& busy, std::string& error) {
  auto file = platform::TFileLock::Try(dir + "/drive.lock", busy, error);
  if (!file)
    return nullptr;
  return std::unique_ptr<FolderLock>(new FolderLock(std::move(file)));
}

} // namespace qnzb::vdrive
