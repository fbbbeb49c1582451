// The burner component's extraction of one imported file: its data read
// straight from its old extent on the disc into a local file.

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/SideFile.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"

namespace qnzb {

namespace {

constexpr uint32_t SectorSize = 2048;
// 31 sectors a command: below the 64 KiB many transports take at once.
constexpr int64_t ChunkBytes = 31 * SectorSize;

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

  // The abort request (the user's, or a signal's) is obeyed between reads;
  // the caller clears it before a run of extractions.
  auto aborted = [&] {
    if (!AbortRequested)
      return false;
    SendDebugMessage(StatusPrefix + Format(msgExtractAborted, name.c_str()), mtError);
    return true;
  };
  if (aborted())
    return false;

  // The copy becomes the target only when it is complete: a failed or
  // stopped extraction leaves an earlier copy as it was.
  std::unique_ptr<TSideFile> file;
  try {
    file = std::make_unique<TSideFile>(TargetFile);
  } catch (const EFOpenError& e) {
    SendDebugMessage(StatusPrefix + Format(msgExtractCreateFailed, name.c_str(), TargetFile.c_str(),
                                           UpperCase(e.what()).c_str()),
                     mtError);
    return false;
  }

  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t sector = Entry->IsoExtent;
  int64_t remaining = Entry->IsoSize;
  while (remaining > 0) {
    if (aborted())
      return false;
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
    if (platform::FileWrite(file->Handle(), buffer.data(), static_cast<int32_t>(chunk)) != chunk) {
      SendDebugMessage(StatusPrefix + Format(msgExtractWriteFailed, name.c_str(), TargetFile.c_str(),
                                             UpperCase(platform::LastErrorText()).c_str()),
                       mtError);
      return false;
    }
    sector += blocks;
    remaining -= chunk;
  }

  file->Close();
  int64_t seconds = 0;
  int32_t nanoseconds = 0;
  if (LocalDateTimeToUnixTime(Entry->DateTime, seconds, nanoseconds))
    (void)platform::SetFileWriteTime(file->Name(), seconds, nanoseconds);
  std::string error;
  if (!file->Commit(error)) {
    SendDebugMessage(StatusPrefix + Format(msgExtractCreateFailed, name.c_str(), TargetFile.c_str(), error.c_str()),
                     mtError);
    return false;
  }
  return true;
}

} // namespace qnzb
