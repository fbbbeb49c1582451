#pragma once
// Read-ahead over the files of a job: before a file is read, the next few
// small files are announced to the OS, so that a tree of many small files is
// read with several requests in flight instead of one seek at a time.

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileIO.h"

namespace qnzb {

class TReadAhead {
public:
  // (path, size) in reading order; the list must outlive this object. With
  // `keepOpen` the files announced stay open until Take() hands them over,
  // so each is opened once instead of twice.
  explicit TReadAhead(const std::vector<std::pair<std::string, int64_t>>& files, bool keepOpen = false);
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;
  // Call before reading file `index`.
  void Before(size_t index);
  // The handle file `index` was opened with when announced, now owned by the
  // caller; InvalidFileHandle when it was not announced or did not open
  // (the caller opens it itself and sees why).
  [[nodiscard]] platform::TFileHandle Take(size_t index);

private:
  const std::vector<std::pair<std::string, int64_t>>& files_;
  bool keepOpen_;
  size_t next_ = 0;    // the first file not announced yet
  int64_t ahead_ = 0;  // bytes announced and not yet read
  std::deque<std::pair<size_t, platform::TFileHandle>> open_;  // by index, ascending
};

} // namespace qnzb
