#pragma once
// A file written beside its target and put in the target's place only when it
// is complete: a failed or interrupted write leaves no partial file under the
// target's name, an earlier file of that name as it was, and no stray file of
// the user's touched. Used for image files and for files extracted from a
// disc.
//
// Threading: one thread at a time.

#include <string>

#include "platform/FileIO.h"

namespace qnzb {

class TSideFile {
public:
  // Creates the side file. The target may be missing or a regular file (a
  // link to one is followed: the file it names is replaced, the link stays);
  // anything else (a folder, a device, a pipe) is refused: EFOpenError whose
  // text names the target and the reason, as when the side file can't be
  // created.
  explicit TSideFile(const std::string& target);
  // Removes the side file unless it was committed.
  ~TSideFile();
  TSideFile(const TSideFile&) = delete;
  TSideFile& operator=(const TSideFile&) = delete;

  [[nodiscard]] platform::TFileHandle Handle() const { return handle_; }
  // The side file's own name (its dates may be set before Commit).
  [[nodiscard]] const std::string& Name() const { return name_; }
  // Closes the side file (Handle is no longer valid).
  void Close();
  // Closes it and puts it in the target's place. False, with the system's
  // reason in `error` and the side file removed, when the move fails.
  [[nodiscard]] bool Commit(std::string& error);

private:
  std::string target_;
  std::string name_;
  platform::TFileHandle handle_ = platform::InvalidFileHandle;
  bool committed_ = false;
};

} // namespace qnzb
