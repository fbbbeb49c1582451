// Burning to the recorder: the disc preparation of a layout (where the new
// session starts, which earlier session is read back), and the two burn
// jobs: the compilation, and an existing image file.

#include <algorithm>
#include <memory>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/image/SectorOwner.h"
#include "engine/image/qnCDBCDiscSink.h"
#include "engine/recording/qnCache.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

constexpr int32_t CdBlockSize = 55296;   // 27 sectors
constexpr int32_t DvdBlockSize = 65536;  // 32 sectors

int32_t BlockSizeFor(uint8_t kind) {
  return kind == MediaCdR || kind == MediaCdRw ? CdBlockSize : DvdBlockSize;
}

} // namespace

bool TQNZBurner::QuerySessionStart() {
  WaitUntilReady(10000, 500);
  const bool finalize = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(TestWrite, UnderrunProtection, CurrentMediaKind);
  FinalizeDisc = finalize;
  WaitUntilReady(10000, 500);

  const uint8_t kind = CurrentMediaKind;
  if (kind == MediaDvdRam || kind == MediaDvdPlusRw) {
    // No sessions: the descriptors at the start tell where the last image ends.
    SessionStart = ReadVolumeSize();
    return true;
  }
  DiscInformation.fill(0);
  ReadDiscInformation(DiscInformation);
  if (kind == MediaDvdRwRestricted) {
    if (ReadTrackInformation(1) && TrackNextWritable() != 0)
      SessionStart = TrackNextWritable();
    else
      // A fully formatted restricted-overwrite disc has no next writable
      // address; starting at 0 would overwrite the files the new session
      // carries over. Its descriptors tell where the last image ends, and
      // the disc records whole ECC blocks of 16 sectors from there.
      SessionStart = (ReadVolumeSize() + 15u) / 16u * 16u;
    return true;
  }
  if (!ReadTrackInformation(SessionCount() + 1u)) {
    SessionStart = 0;
    return false;
  }
  SessionStart = TrackNextWritable();
  return true;
}

void TQNZBurner::PrepareDisc(TDEntry* importInto) {
  CurrentMediaKind = MediaKind();
  if (Appending) {
    if (!QuerySessionStart())
      SendDebugMessage(std::string(StatusPrefix) + "ERROR GETTING NEXT WRITABLE ADDRESS", mtPlain);
    // A drive reporting an invalid next writable address.
    if (SessionStart > 0xFF000000u)
      SessionStart = 0;
  }
  if (SessionToImport != 0) {
    ImportPreviousSession(static_cast<int8_t>(SessionToImport), importInto);
    SessionImported = true;
  } else {
    SessionImported = false;
  }
}

void TQNZBurner::NoteBufferFill() {
  const uint32_t size = DeviceBufferSize;
  if (size == 0)
    return;
  const uint32_t free = std::min(DeviceFreeBufferSize.load(), size);
  const auto fill = static_cast<int32_t>(static_cast<uint64_t>(size - free) * 100 / size);
  // The buffer starts empty: only a fall after it has filled up counts.
  if (fill >= 90)
    bufferFilled_ = true;
  if (bufferFilled_ && (LowestBufferFill < 0 || fill < LowestBufferFill))
    LowestBufferFill = fill;
}

bool TQNZBurner::BurnMayStart() {
  if (JobActive()) {
    SendDebugMessage(StatusPrefix + std::string(msgJobRunning), mtError);
    return false;
  }
  // One command at a time on a drive: a blank still runs.
  if (Erasing) {
    ReportBeforeStart("THE DRIVE IS ERASING");
    return false;
  }
  // A drive opened read-only refuses every write: say so before the job.
  std::string why;
  if (!DriveWritable(why)) {
    ReportBeforeStart("WRITER ERROR [" + why + "]");
    return false;
  }
  // Another program (or another process of ours) on the drive would ruin the
  // session: the drive is this job's until it reports.
  if (!HoldDrive(true, why)) {
    ReportBeforeStart(why);
    return false;
  }
  LowestBufferFill = -1;
  bufferFilled_ = false;
  AbortRequested = false;
  return true;
}

bool TQNZBurner::StartBurn() {
  if (!BurnMayStart())
    return false;
  if (const std::string why = CheckDiscMedium(false); !why.empty()) {
    ReportBeforeStart(why);
    return false;
  }
  // A source that went away since it was added would end the burn half way.
  LeaveOutUnreadableSources();
  const uint8_t kind = MediaKind();
  CurrentMediaKind = kind;
  const int32_t blockSize = BlockSizeFor(kind);
  // The quick format makes a sequential DVD-RW an overwritable one and
  // erases it: only a blank one is formatted. One that holds sessions is
  // written on like a DVD-R, after its last session. A test write leaves
  // the disc sequential: formatted, it would be recorded for real.
  if (!TestWrite && (kind == MediaDvdRwRestricted || (kind == MediaDvdRwSequential && DiscStatus() == 0)))
    PrepareRewritableDvd(*this, kind);
  // A burn that failed, was aborted or killed left its session open: the new
  // one would land inside it and be unreachable. Close it first, as a
  // drive's recovery does, and append after it.
  if (TUnfinishedSession open; UnfinishedSession(open)) {
    if (TestWrite) {
      ReportBeforeStart(msgUnfinishedTestWrite);
      return false;
    }
    SendDebugMessage(StatusPrefix + Format(msgClosingUnfinished, open.Session, open.Written), mtPlain);
    if (!CloseUnfinishedSession()) {
      ReportBeforeStart(Format(msgUnfinishedNotClosed, LastErrorText.c_str()));
      return false;
    }
  }
  Appending = true;
  try {
    PrepareImage(false, lastImportInto_);
    BuildMetadata(false, lastImportInto_);
  } catch (const std::exception& e) {
    Appending = false;
    ReportBeforeStart(e.what());
    return false;
  }
  Appending = false;
  if (const std::string why = CheckDiscTakesSession(false); !why.empty()) {
    ReportBeforeStart(why);
    return false;
  }
  if (!StartCache(blockSize, "", 0))
    return false;
  return StartWriter(std::make_unique<TDiscSink>(*this, false, [this](uint32_t lba) { return LayoutSectorOwner(lba); }));
}

bool TQNZBurner::BurnImageFile(const std::string& FileName) {
  if (!BurnMayStart())
    return false;
  const int32_t blockSize = BlockSizeFor(MediaKind());
  int64_t bytes = 0;
  try {
    TFileStreamEx image(FileName, fmEngineRead);
    bytes = image.Size();
  } catch (const EFOpenError&) {
    ReportBeforeStart(Format("CAN'T OPEN FILE \"%s\" OR FILE IS IN USES BY OTHER SOFTWARE", FileName.c_str()));
    return false;
  }
  ImageLength = (bytes + 2047) / 2048;
  for (const auto& check : {&TQNZBurner::CheckDiscMedium, &TQNZBurner::CheckDiscTakesSession}) {
    if (const std::string why = (this->*check)(true); !why.empty()) {
      ReportBeforeStart(why);
      return false;
    }
  }
  if (!StartCache(blockSize, FileName, bytes))
    return false;
  // A bad sector of an image burn is named from the image file itself: the
  // file system it holds, read once the first bad sector needs it.
  auto owners = std::make_shared<std::unique_ptr<TSectorOwners>>();
  auto owner = [owners, FileName](uint32_t lba) {
    if (!*owners) {
      auto image = std::make_shared<TFileStreamEx>(FileName, fmEngineRead);
      const TSectorReader read = [image](uint32_t at, uint8_t* sector) {
        return image->Seek(int64_t{at} * 2048, soFromBeginning) == int64_t{at} * 2048 &&
               image->Read(sector, 2048) == 2048;
      };
      *owners = std::make_unique<TSectorOwners>(read, 0);
    }
    return (*owners)->OwnerOf(lba);
  };
  return StartWriter(std::make_unique<TDiscSink>(*this, true, [owner](uint32_t lba) {
    try {
      return owner(lba);
    } catch (const std::exception&) {
      return std::string();  // the image file went away: the sector alone is named
    }
  }));
}

} // namespace qnzb
