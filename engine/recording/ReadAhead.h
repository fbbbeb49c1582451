#pragma once
// Read-ahead over the files of a job: before a file is read, the next few
// small files are announced to the OS, so that a tree of many small files is
// read with several requests in flight instead of one seek at a time.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/FileIO.h"

namespace qnzb {

// A file to read and the size it was planned with. Its path is two views,
// folder and name, into text that must outlive the job (the layout's own):
// a tree of many files would otherwise be held twice.
struct TSourceFile {
  TSourceFile(std::pair<std::string_view, std::string_view> pieces, int64_t size)
      : Folder(pieces.first), Name(pieces.second), Size(size) {}
  TSourceFile(const std::string& path, int64_t size) : Folder(path), Size(size) {}
  TSourceFile(std::string&&, int64_t) = delete;
  [[nodiscard]] std::string Path() const {
    std::string path;
    path.reserve(Folder.size() + Name.size());
    return path.append(Folder).append(Name);
  }
  std::string_view Folder;
  std::string_view Name;
  int64_t Size;
};

class TReadAhead {
public:
  // The files in reading order; the list must outlive this object. With
  // `keepOpen` the files announced stay open until Take() hands them over,
  // so each is opened once instead of twice.
  explicit TReadAhead(const std::vector<TSourceFile>& files, bool keepOpen = false);
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
  const std::vector<TSourceFile>& files_;
  bool keepOpen_;
  size_t next_ = 0;    // the first file not announced yet
  int64_t ahead_ = 0;  // bytes announced and not yet read
  std::deque<std::pair<size_t, platform::TFileHandle>> open_;  // by index, ascending
};

} // namespace qnzb
