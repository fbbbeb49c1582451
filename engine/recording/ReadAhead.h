#pragma once
// Read-ahead over the files of a job: before a file is read, the next few
// small files are announced to the OS, so that a tree of many small files is
// read with several requests in flight instead of one seek at a time.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qnzb {

class TReadAhead {
public:
  // (path, size) in reading order; the list must outlive this object.
  explicit TReadAhead(const std::vector<std::pair<std::string, int64_t>>& files);
  // Call before reading file `index`.
  void Before(size_t index);

private:
  const std::vector<std::pair<std::string, int64_t>>& files_;
  size_t next_ = 0;    // the first file not announced yet
  int64_t ahead_ = 0;  // bytes announced and not yet read
};

} // namespace qnzb
