#pragma once
// Where the recorded 2048-byte blocks live: in memory (tests, throw-away
// drives) or in a sparse image file holding every block at its logical
// address (block n at byte n * 2048), so that a disc survives the process and
// a single-session disc image reads as an ISO 9660 image. Blocks never written
// read as zeros. Not thread-safe: the recorder serialises access.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace qnzb::vdrive {

inline constexpr uint32_t BlockSize = 2048;

class BlockStore {
public:
  virtual ~BlockStore() = default;
  // `data` holds whole blocks starting at `lba`. False on an I/O error.
  [[nodiscard]] virtual bool Write(uint32_t lba, std::span<const uint8_t> data) = 0;
  // Fills `out` (whole blocks) from `lba`. False on an I/O error.
  [[nodiscard]] virtual bool Read(uint32_t lba, std::span<uint8_t> out) = 0;
  // Forgets every block (blanking, a new disc).
  [[nodiscard]] virtual bool Clear() = 0;
  // Pushes written blocks to stable storage where that means anything.
  [[nodiscard]] virtual bool Flush() = 0;
};

[[nodiscard]] std::unique_ptr<BlockStore> MakeMemoryStore();
// Opens (creating it if missing) the image file at `path`. Empty with `error`
// set when the file can't be opened for reading and writing.
[[nodiscard]] std::unique_ptr<BlockStore> OpenImageFile(const std::string& path, std::string& error);

// A file's identity and last change, to notice that another process rewrote
// it. Equal stamps mean the file is unchanged as far as we can tell.
struct FileStamp {
  bool Exists = false;
  uint64_t Device = 0;
  uint64_t Inode = 0;
  int64_t ModifiedNs = 0;
  int64_t Size = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
[[nodiscard]] FileStamp StampOf(const std::string& path);

} // namespace qnzb::vdrive
