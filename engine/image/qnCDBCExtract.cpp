// The burner component's extraction of one imported file: its data read
// straight from its old extent on the disc into a local file.

#include <algorithm>
#include <filesystem>
#include <vector>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"

namespace qnzb {

namespace {

constexpr uint32_t SectorSize = 2048;
// 31 sectors a command: below the 64 KiB many transports take at once.
constexpr int64_t ChunkBytes = 31 * SectorSize;

// The copy goes to a file beside the target that becomes the target only when
// it is complete: a failed extraction leaves an earlier copy as it was, and no
// partial file under the target's name.
class TPartFile {
public:
  explicit TPartFile(const std::string& target) : target_(target), part_(target + ".part") {}
  ~TPartFile() {
    if (handle_ != platform::InvalidFileHandle)
      platform::FileClose(handle_);
    if (!committed_) {
      std::error_code ec;
      std::filesystem::remove(part_, ec);
    }
  }
  TPartFile(const TPartFile&) = delete;
  TPartFile& operator=(const TPartFile&) = delete;

  [[nodiscard]] bool Create() {
    handle_ = platform::FileCreate(part_);
    return handle_ != platform::InvalidFileHandle;
  }
  [[nodiscard]] bool Write(const uint8_t* data, int32_t count) {
    return platform::FileWrite(handle_, data, count) == count;
  }
  // Closes the file, dates it and puts it in the target's place; false (the
  // OS's reason in `error`) when that fails.
  [[nodiscard]] bool Commit(TDateTime when, std::string& error) {
    platform::FileClose(handle_);
    handle_ = platform::InvalidFileHandle;
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    if (LocalDateTimeToUnixTime(when, seconds, nanoseconds))
      (void)platform::SetFileWriteTime(part_, seconds, nanoseconds);
    std::error_code ec;
    std::filesystem::rename(part_, target_, ec);
    if (ec) {
      error = UpperCase(ec.message());
      return false;
    }
    committed_ = true;
    return true;
  }

private:
  std::string target_;
  std::string part_;
  platform::TFileHandle handle_ = platform::InvalidFileHandle;
  bool committed_ = false;
};

} // namespace

bool TQNZBurner::ExtractFile(TFEntry* Entry, const std::string& TargetFile) {
  const std::string name = Entry ? Entry->LongName : std::string();
  SendDebugMessage(StatusPrefix + Format(msgExtractingFile, name.c_str(), TargetFile.c_str()), mtProgress);
  // Only imported files have their data on the disc; an empty file recorded
  // without an extent comes back as an ordinary entry of size 0.
  if (!Entry || Entry->IsDirectory() || Entry->IsoSize < 0 || (!Entry->Imported && Entry->IsoSize != 0)) {
    SendDebugMessage(StatusPrefix + Format(msgExtractNotOnDisc, name.c_str()), mtError);
    return false;
  }

  TPartFile file(TargetFile);
  if (!file.Create()) {
    SendDebugMessage(StatusPrefix + Format(msgExtractCreateFailed, name.c_str(), TargetFile.c_str(),
                                           UpperCase(platform::LastErrorText()).c_str()),
                     mtError);
    return false;
  }

  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t sector = Entry->IsoExtent;
  int64_t remaining = Entry->IsoSize;
  while (remaining > 0) {
    const int64_t chunk = std::min(remaining, ChunkBytes);
    const auto blocks = static_cast<uint16_t>((chunk + SectorSize - 1) / SectorSize);
    const bool addressable = sector + blocks - 1 <= 0xFFFFFFFFu;
    if (!addressable || !Read10(static_cast<uint32_t>(sector), blocks,
                                std::span<uint8_t>(buffer.data(), size_t{blocks} * SectorSize))) {
      const std::string why = addressable ? LastErrorText : std::string("ADDRESS OUT OF RANGE");
      SendDebugMessage(StatusPrefix + Format(msgExtractReadFailed, name.c_str(), static_cast<uint32_t>(sector),
                                             why.c_str()),
                       mtError);
      return false;
    }
    if (!file.Write(buffer.data(), static_cast<int32_t>(chunk))) {
      SendDebugMessage(StatusPrefix + Format(msgExtractWriteFailed, name.c_str(), TargetFile.c_str(),
                                             UpperCase(platform::LastErrorText()).c_str()),
                       mtError);
      return false;
    }
    sector += blocks;
    remaining -= chunk;
  }

  std::string error;
  if (!file.Commit(Entry->DateTime, error)) {
    SendDebugMessage(StatusPrefix + Format(msgExtractCreateFailed, name.c_str(), TargetFile.c_str(), error.c_str()),
                     mtError);
    return false;
  }
  return true;
}

} // namespace qnzb
