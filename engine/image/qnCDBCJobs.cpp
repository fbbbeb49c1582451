// Starting and watching the burner component's threaded jobs: the read-ahead
// cache, the writing thread, abort and the progress counters.

#include <cmath>
#include <mutex>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {
// The starters look at the cache's pre-fill at least at this cadence; the
// cache wakes them as soon as it is ready or has failed.
constexpr uint32_t StartPollMs = 100;
} // namespace

std::string TQNZBurner::CurrentFile() const {
  std::lock_guard guard(Lock());
  return currentFile_;
}

void TQNZBurner::SetCurrentFile(const std::string& file) {
  std::lock_guard guard(Lock());
  currentFile_ = file;
}

void TQNZBurner::AbortWrite() {
  AbortRequested = true;
  // A writer waiting for data looks at the flag at once.
  std::lock_guard guard(Lock());
  if (cache_)
    cache_->Wake();
}

int32_t TQNZBurner::CacheFill() const {
  std::lock_guard guard(Lock());
  if (!WriteJobRunning || !cache_ || cacheSize_ <= 0)
    return 0;
  // Rounded to the nearest, halves to even.
  return static_cast<int32_t>(std::nearbyint(static_cast<double>(cache_->QueuedBytes()) * 100.0 / cacheSize_));
}

void TQNZBurner::ReportBeforeStart(const std::string& message) {
  // A burn that ends before its writer started gives the drive back.
  EndExclusiveHold();
  if (OnWriteDone) {
    WriteDoneMessage = message;
    OnWriteDone(this, WriteDoneMessage);
  }
}

bool TQNZBurner::StartCache(int32_t blockSize, const std::string& imageFile, int64_t imageFileBytes,
                            bool copyLargeFiles) {
  TCacheSource source;
  source.CopyLargeFiles = copyLargeFiles;
  source.CacheSize = cacheSize_;
  source.BlockSize = blockSize;
  source.PadFlag = WritePostGap;
  source.TotalBytes = ImageLength * 2048;
  source.ImageFile = imageFile;
  source.ImageFileBytes = imageFileBytes;
  if (imageFile.empty()) {
    if (Bootable) {
      source.BootImageFile = BootImage;
      source.BootImageBytes = bootImageBytes_;
    }
    source.TailBytes = Bootable && PaddingSectors > 0 ? PaddingSectors * 2048 : 0;
    // The cache takes the metadata over: the stream is empty after every job.
    source.Metadata = std::move(MetadataStream);
    MetadataStream.clear();
    if (deferredDirectories_) {
      source.MetadataPiecesAt = DirectoryExtentsAt();
      source.MetadataPieces = DirectoryExtentCount();
      source.MetadataPiece = [this](size_t i, std::vector<uint8_t>& out) { EncodeDirectoryExtent(i, out); };
    }
    source.Files.reserve(Layout.FileTable.size());
    for (const TFEntry* e : Layout.FileTable)
      if (!e->IsDirectory() && e->HasSource() && e->IsoSize > 0 && !e->Imported)
        source.Files.emplace_back(e->SourcePieces(), e->IsoSize);
  }
  auto log = [this](const std::string& file) {
    SendDebugMessage(StatusPrefix + Format(msgFileShrank, file.c_str()), mtError);
  };
  // The last job's cache goes outside the lock: its reader may still be on
  // its way out after an abort and need the lock to get there.
  std::unique_ptr<TCacheThread> last;
  {
    std::lock_guard guard(Lock());
    last = std::move(cache_);
  }
  last.reset();
  auto cache = std::make_unique<TCacheThread>(std::move(source), Lock(), log);
  TCacheThread* started = cache.get();
  {
    std::lock_guard guard(Lock());
    cache_ = std::move(cache);
  }
  for (;;) {
    if (AbortRequested)
      started->Abort();  // sets the message the report below gives
    const std::string message = started->Message();
    if (!message.empty()) {
      SetCurrentFile(started->CurrentFile());
      ReportBeforeStart(message);
      return false;
    }
    if (started->Ready())
      return true;
    started->WaitForStart(StartPollMs);
  }
}

bool TQNZBurner::StartWriter(std::unique_ptr<TWriteSink> sink) {
  auto* writer = new TThWrite(*this, *cache_, std::move(sink));
  writer->SetPriority(TThreadPriority::TimeCritical);
  writer->Start();
  return true;
}

} // namespace qnzb
