#include "engine/recording/SideFile.h"

#include <filesystem>

#include "engine/recording/qnStreamEx.h"
#include "platform/PathText.h"

namespace qnzb {

namespace fs = std::filesystem;

TSideFile::TSideFile(const std::string& target) : target_(target) {
  std::error_code ec;
  if (fs::is_symlink(target_, ec)) {
    const fs::path real = fs::canonical(target_, ec);
    if (!ec)
      target_ = platform::PathText(real);
  }
  switch (platform::PathKind(target_)) {
    case platform::TPathKind::Missing:
    case platform::TPathKind::File:
      break;
    case platform::TPathKind::Folder:
      throw EFOpenError("Cannot create file \"" + target + "\": it is a folder");
    case platform::TPathKind::Other:
      // Writing an image over a device or into a pipe is never what a build means.
      throw EFOpenError("Cannot create file \"" + target + "\": it exists and is not a regular file");
  }
  handle_ = platform::FileCreateBeside(target_, name_);
  if (handle_ == platform::InvalidFileHandle)
    throw EFOpenError("Cannot create file \"" + target + "\". " + platform::LastErrorText());
}

TSideFile::~TSideFile() {
  Close();
  if (!committed_ && !name_.empty())
    (void)platform::RemoveFile(name_);
}

void TSideFile::Close() {
  if (handle_ != platform::InvalidFileHandle)
    platform::FileClose(handle_);
  handle_ = platform::InvalidFileHandle;
}

bool TSideFile::Commit(std::string& error) {
  Close();
  if (!platform::FileReplace(name_, target_)) {
    error = platform::LastErrorText();
    return false;
  }
  committed_ = true;
  return true;
}

} // namespace qnzb
