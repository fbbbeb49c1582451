// The block stores. The image file uses positioned I/O so that holes stay
// holes (sparse) and no stream state is shared between calls.

#include "vdrive/BlockStore.h"

#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/FileIO.h"

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
  explicit ImageFile(platform::TFileHandle file) : file_(file) {}
  ~ImageFile() override { platform::FileClose(file_); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool Write(uint32_t lba, std::span<const uint8_t> data) override {
    const size_t length = data.size() / BlockSize * BlockSize;
    return platform::FileWriteAt(file_, int64_t{lba} * BlockSize, data.data(), static_cast<int64_t>(length));
  }

  bool Read(uint32_t lba, std::span<uint8_t> out) override {
    const size_t length = out.size() / BlockSize * BlockSize;
    const int64_t got = platform::FileReadAt(file_, int64_t{lba} * BlockSize, out.data(), static_cast<int64_t>(length));
    if (got < 0)
      return false;
    // Past the end of the file: blocks never written.
    std::memset(out.data() + got, 0, length - static_cast<size_t>(got));
    return true;
  }

  bool Clear() override { return platform::FileSeek(file_, 0, 0) == 0 && platform::FileTruncateHere(file_); }

  // Written blocks are in the page cache, which every process sees; surviving
  // a crash of the machine is not what a virtual disc promises, and syncing
  // would make a flush cost as much as writing the whole disc to storage.
  bool Flush() override { return true; }

private:
  platform::TFileHandle file_;
};

} // namespace

std::unique_ptr<BlockStore> MakeMemoryStore() {
  return std::make_unique<MemoryStore>();
}

std::unique_ptr<BlockStore> OpenImageFile(const std::string& path, std::string& error) {
  const platform::TFileHandle file = platform::FileOpenOrCreate(path);
  if (file == platform::InvalidFileHandle) {
    error = "can't open " + path + ": " + platform::LastErrorText();
    return nullptr;
  }
  return std::make_unique<ImageFile>(file);
}

FileStamp StampOf(const std::string& path) {
  platform::TFileIdentity identity;
  FileStamp stamp;
  if (!platform::FileIdentityOf(path, identity))
    return stamp;
  stamp.Exists = true;
  stamp.Device = identity.Volume;
  stamp.Inode = identity.FileId;
  stamp.ModifiedNs = identity.ModifiedNs;
  stamp.Size = identity.Size;
  return stamp;
}

} // namespace qnzb::vdrive
