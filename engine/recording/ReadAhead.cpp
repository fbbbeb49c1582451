#include "engine/recording/ReadAhead.h"

#include "platform/FileIO.h"

namespace qnzb {

namespace {
// Enough to keep a disk's queue busy without flooding the page cache.
constexpr int64_t WindowBytes = 32 << 20;
constexpr size_t WindowFiles = 64;
// Larger files rely on the sequential read-ahead of their own reads.
constexpr int64_t SmallFile = 4 << 20;
} // namespace

TReadAhead::TReadAhead(const std::vector<std::pair<std::string, int64_t>>& files) : files_(files) {}

void TReadAhead::Before(size_t index) {
  if (next_ <= index) {
    next_ = index + 1;
    ahead_ = 0;
  } else if (files_[index].second < SmallFile) {
    ahead_ -= files_[index].second;
  }
  while (next_ < files_.size() && next_ - index <= WindowFiles && ahead_ < WindowBytes) {
    const auto& [path, size] = files_[next_++];
    if (size > 0 && size < SmallFile) {
      platform::PrefetchFile(path);
      ahead_ += size;
    }
  }
}

} // namespace qnzb
