// The block stores. The image file uses positioned POSIX I/O so that holes
// stay holes (sparse) and no stream state is shared between calls; this file,
// the state-directory lock and the ASPI library are the only places of the
// recorder that talk to the operating system directly.

#include "vdrive/BlockStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace qnzb::vdrive {

namespace {

// Blocks kept in chunks of 2 MiB, allocated on first write: a multi-GiB disc
// is a few thousand map entries, so storing a block never waits for a map
// of millions of entries to rehash (the recorder runs on the writer's
// thread, where such a pause would starve a real-time drive).
class MemoryStore final : public BlockStore {
public:
  bool Write(uint32_t lba, std::span<const uint8_t> data) override {
    for (size_t off = 0; off + BlockSize <= data.size(); off += BlockSize) {
      const uint64_t block = uint64_t{lba} + off / BlockSize;
      auto& chunk = chunks_[block / ChunkBlocks];
      if (!chunk)
        chunk = std::make_unique<uint8_t[]>(ChunkBlocks * BlockSize);  // zeroed
      std::memcpy(chunk.get() + (block % ChunkBlocks) * BlockSize, data.data() + off, BlockSize);
    }
    return true;
  }

  bool Read(uint32_t lba, std::span<uint8_t> out) override {
    for (size_t off = 0; off + BlockSize <= out.size(); off += BlockSize) {
      const uint64_t block = uint64_t{lba} + off / BlockSize;
      auto it = chunks_.find(block / ChunkBlocks);
      if (it == chunks_.end())
        std::memset(out.data() + off, 0, BlockSize);
      else
        std::memcpy(out.data() + off, it->second.get() + (block % ChunkBlocks) * BlockSize, BlockSize);
    }
    return true;
  }

  bool Clear() override {
    chunks_.clear();
    return true;
  }

  bool Flush() override { return true; }

private:
  static constexpr uint64_t ChunkBlocks = 1024;
  std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> chunks_;
};

class ImageFile final : public BlockStore {
public:
  explicit ImageFile(int fd) : fd_(fd) {}
  ~ImageFile() override { ::close(fd_); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool Write(uint32_t lba, std::span<const uint8_t> data) override {
    const size_t length = data.size() / BlockSize * BlockSize;
    off_t pos = static_cast<off_t>(lba) * BlockSize;
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pwrite(fd_, data.data() + done, length - done, pos + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool Read(uint32_t lba, std::span<uint8_t> out) override {
    const size_t length = out.size() / BlockSize * BlockSize;
    off_t pos = static_cast<off_t>(lba) * BlockSize;
    size_t done = 0;
    while (done < length) {
      const ssize_t n = ::pread(fd_, out.data() + done, length - done, pos + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0)
        return false;
      if (n == 0) {
        // Past the end of the file: blocks never written.
        std::memset(out.data() + done, 0, length - done);
        break;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool Clear() override { return ::ftruncate(fd_, 0) == 0; }

  // Written blocks are in the page cache, which every process sees; surviving
  // a crash of the machine is not what a virtual disc promises, and syncing
  // would make a flush cost as much as writing the whole disc to storage.
  bool Flush() override { return true; }

private:
  int fd_;
};

} // namespace

std::unique_ptr<BlockStore> MakeMemoryStore() {
  return std::make_unique<MemoryStore>();
}

std::unique_ptr<BlockStore> OpenImageFile(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "can't open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<ImageFile>(fd);
}

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  FileStamp stamp;
  if (::stat(path.c_str(), &st) != 0)
    return stamp;
  stamp.Exists = true;
  stamp.Device = static_cast<uint64_t>(st.st_dev);
  stamp.Inode = static_cast<uint64_t>(st.st_ino);
  stamp.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  stamp.Size = static_cast<int64_t>(st.st_size);
  return stamp;
}

} // namespace qnzb::vdrive
