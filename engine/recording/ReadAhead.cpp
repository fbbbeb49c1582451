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

TReadAhead::TReadAhead(const std::vector<TSourceFile>& files, bool keepOpen)
    : files_(files), keepOpen_(keepOpen) {}

TReadAhead::~TReadAhead() {
  for (const auto& [index, handle] : open_)
    platform::FileClose(handle);
}

platform::TFileHandle TReadAhead::Take(size_t index) {
  while (!open_.empty() && open_.front().first < index) {
    platform::FileClose(open_.front().second);
    open_.pop_front();
  }
  if (open_.empty() || open_.front().first != index)
    return platform::InvalidFileHandle;
  const platform::TFileHandle handle = open_.front().second;
  open_.pop_front();
  return handle;
}

void TReadAhead::Before(size_t index) {
  if (next_ <= index) {
    next_ = index + 1;
    ahead_ = 0;
  } else if (files_[index].Size < SmallFile) {
    ahead_ -= files_[index].Size;
  }
  while (next_ < files_.size() && next_ - index <= WindowFiles && ahead_ < WindowBytes) {
    const TSourceFile& file = files_[next_++];
    const int64_t size = file.Size;
    if (size > 0 && size < SmallFile) {
      if (!keepOpen_) {
        platform::PrefetchFile(file.Path());
      } else if (const platform::TFileHandle handle = platform::OpenAhead(file.Path()); handle >= 0) {
        open_.emplace_back(next_ - 1, handle);
      }
      ahead_ += size;
    }
  }
}

} // namespace qnzb
