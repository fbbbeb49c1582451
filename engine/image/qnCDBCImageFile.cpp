// Building an image file on the calling thread (the quick mode): metadata,
// boot image, padding and every file's data, in the sector order of the plan.

#include <cerrno>
#include <filesystem>
#include <vector>

#include "engine/device/qnConst.h"
#include "engine/image/IsoRecords.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "engine/recording/ReadAhead.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

constexpr int32_t ChunkSize = 131072;
constexpr int64_t SectorSize = 2048;

void WriteAll(TFileStreamEx& target, const uint8_t* data, int64_t count, const std::string& fileName) {
  while (count > 0) {
    const auto piece = static_cast<int32_t>(std::min<int64_t>(count, 1 << 30));
    const int32_t written = target.Write(data, piece);
    if (written <= 0)
      throw EImageError("CANNOT WRITE TO IMAGE FILE " + fileName + ": " + platform::LastErrorText());
    data += written;
    count -= written;
  }
}

// The image file under construction: written to a side file and moved into
// place only when complete, so a failed build leaves nothing half-written and
// an earlier file of that name intact.
class TImageTarget {
public:
  explicit TImageTarget(const std::string& fileName) : fileName_(fileName), partName_(fileName + ".part") {
    try {
      stream_ = std::make_unique<TFileStreamEx>(partName_, fmCreate);
    } catch (const EFOpenError&) {
      throw EFOpenError("Cannot create file \"" + fileName_ + "\". " + platform::LastErrorText());
    }
  }
  ~TImageTarget() {
    if (stream_) {
      stream_.reset();
      std::error_code ec;
      std::filesystem::remove(partName_, ec);
    }
  }
  TImageTarget(const TImageTarget&) = delete;
  TImageTarget& operator=(const TImageTarget&) = delete;

  TFileStreamEx& Stream() { return *stream_; }
  const std::string& FileName() const { return fileName_; }

  void Commit() {
    stream_.reset();
    std::error_code ec;
    std::filesystem::rename(partName_, fileName_, ec);
    if (ec) {
      std::filesystem::remove(partName_, ec);
      throw EImageError("CANNOT MOVE THE IMAGE INTO PLACE: " + fileName_);
    }
  }

private:
  std::string fileName_;
  std::string partName_;
  std::unique_ptr<TFileStreamEx> stream_;
};

} // namespace

// The writing thread's sink for a cached build: the image file.
class TImageFileSink final : public TWriteSink {
public:
  explicit TImageFileSink(std::string fileName) : fileName_(std::move(fileName)) {}

  bool Start(std::string& message) override {
    try {
      target_ = std::make_unique<TImageTarget>(fileName_);
      return true;
    } catch (const EFOpenError&) {
      message = Format("CAN'T CREATE FILE \"%s\"", fileName_.c_str());
      return false;
    }
  }
  bool Write(const uint8_t* data, int32_t length, std::string& message) override {
    return Guard([&] { WriteAll(target_->Stream(), data, length, fileName_); }, message);
  }
  bool Finish(std::string& message) override {
    return Guard([&] { target_->Commit(); }, message);
  }
  void Fail() override { target_.reset(); }

private:
  template <typename Step>
  static bool Guard(Step step, std::string& message) {
    try {
      step();
      return true;
    } catch (const std::exception& e) {
      message = e.what();
      return false;
    }
  }

  std::string fileName_;
  std::unique_ptr<TImageTarget> target_;
};

int32_t TQNZBurner::BuildImageFile(const std::string& FileName, bool QuickMode) {
  if (JobActive()) {
    SendDebugMessage(StatusPrefix + std::string(msgJobRunning), mtError);
    return -1;
  }
  if (!QuickMode)
    return BuildCachedImage(FileName);
  BuildQuickImage(FileName);
  if (OnWriteDone)
    OnWriteDone(this, "");
  return 1;
}

int32_t TQNZBurner::BuildCachedImage(const std::string& fileName) {
  ISOFileName = fileName;
  try {
    PrepareImage(true, lastImportInto_);
    BuildMetadata(true, lastImportInto_);
  } catch (const std::exception& e) {
    ReportBeforeStart(e.what());
    return -1;
  }
  if (StartCache(DvdBlockSize, "", 0))
    StartWriter(std::make_unique<TImageFileSink>(fileName));
  return -1;
}

// Copies `size` bytes of a source file into the image, in the kernel where
// it can, rounded up to whole sectors with zeros. A file that shrank since it
// was added is padded with zeros to its recorded size, so every later file
// keeps its planned sector.
static void CopySource(TQNZBurner& burner, const std::string& source, int64_t size, TImageTarget& target) {
  static const std::vector<uint8_t> zeros(ChunkSize, 0);
  std::unique_ptr<TFileStreamEx> in;
  try {
    in = std::make_unique<TFileStreamEx>(source, fmEngineRead);
  } catch (const EFOpenError&) {
    throw EImageError("CANNOT OPEN SOURCE FILE " + source + ": " + platform::LastErrorText());
  }
  platform::AdviseSequential(in->Handle);
  // In pieces, so that an abort is seen within a moment even in a large file.
  constexpr int64_t Piece = 64 << 20;
  int64_t copied = 0;
  while (copied < size) {
    const int64_t want = std::min(Piece, size - copied);
    const int64_t n = platform::FileCopyRange(in->Handle, target.Stream().Handle, want);
    if (n < 0)
      throw EImageError("CANNOT COPY SOURCE FILE " + source + " INTO THE IMAGE: " + platform::LastErrorText());
    copied += n;
    if (AbortRequested)
      throw EImageError(msgAbortedByUser);
    if (n < want)
      break;
  }
  if (copied < size)
    burner.SendDebugMessage(StatusPrefix + Format(msgFileShrank, source.c_str()), mtError);
  for (int64_t pad = SectorBytes(size) - copied; pad > 0;) {
    const int64_t n = std::min<int64_t>(pad, ChunkSize);
    WriteAll(target.Stream(), zeros.data(), n, target.FileName());
    pad -= n;
  }
}

void TQNZBurner::BuildQuickImage(const std::string& fileName) {
  AbortRequested = false;
  PrepareImage(true, lastImportInto_);
  BuildMetadata(true, lastImportInto_);

  TImageTarget target(fileName);
  const int64_t padding = PaddingSectors > 0 ? PaddingSectors * SectorSize : 0;
  const int64_t head = static_cast<int64_t>(MetadataStream.size()) - (Bootable ? padding : 0);
  WriteAll(target.Stream(), MetadataStream.data(), head, fileName);
  if (Bootable) {
    SetCurrentFile(BootImage);
    CopySource(*this, BootImage, bootImageBytes_, target);
    WriteAll(target.Stream(), MetadataStream.data() + head, padding, fileName);
  }

  std::vector<const TFEntry*> entries;
  std::vector<std::pair<std::string, int64_t>> files;
  for (const TFEntry* e : Layout.FileTable) {
    if (e->IsDirectory() || e->Imported || e->IsoSize == 0 || e->SourcePath.empty())
      continue;
    entries.push_back(e);
    files.emplace_back(e->SourcePath, e->IsoSize);
  }
  TReadAhead readAhead(files);
  for (size_t i = 0; i < entries.size(); ++i) {
    const TFEntry* e = entries[i];
    readAhead.Before(i);
    const int64_t expected = FirstFileSector + static_cast<int64_t>(e->IsoExtent);
    const int64_t current = target.Stream().Seek(0, soFromCurrent) / SectorSize;
    if (expected != current)
      SendDebugMessage(StatusPrefix + Format("INTERNAL ERROR 0004 %s %lld<>%lld", e->SourcePath.c_str(),
                                             static_cast<long long>(expected), static_cast<long long>(current)),
                       mtError);
    SetCurrentFile(e->SourcePath);
    CopySource(*this, e->SourcePath, e->IsoSize, target);
  }
  SetCurrentFile("");
  target.Commit();
}

} // namespace qnzb
