// What a burn makes sure of before it writes anything: a disc is in and
// ready, the drive writes it, it can take a session (or an image from its
// first sector), a test write stays a simulation, and the session fits. A
// drive finds none of this out before the first or the last WRITE, by which
// time a write-once disc is spent.

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/device/DiscSummary.h"
#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Clock.h"
#include "engine/device/ScsiBytes.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"

namespace qnzb {

namespace {

constexpr int32_t ReadyBudgetMs = 10000;
constexpr uint32_t ReadyStepMs = 1000;
// A CD track is at least 4 seconds long, and a track-at-once track ends in
// two run-out blocks.
constexpr int64_t CdMinimumTrack = 300;
constexpr int64_t CdRunOut = 2;

bool Overwritable(uint8_t kind) {
  return kind == MediaDvdRam || kind == MediaDvdRwRestricted || kind == MediaDvdPlusRw;
}

bool Rewritable(uint8_t kind) {
  return kind == MediaCdRw || kind == MediaDvdRwSequential || kind == MediaDdcdRw;
}

// The capability bit of writing a kind; 0 where the drive reports none.
uint32_t WriteBitOf(uint8_t kind) {
  switch (kind) {
    case MediaCdR: return CapWriteCDR;
    case MediaCdRw: return CapWriteCDRW;
    case MediaDvdR: return CapWriteDVDR;
    case MediaDvdRw:
    case MediaDvdRwRestricted:
    case MediaDvdRwSequential: return CapWriteDVDRW;
    case MediaDvdRam: return CapWriteDVDRAM;
    case MediaDvdPlusRw: return CapWriteDVDPRW;
    case MediaDvdPlusR: return CapWriteDVDPR;
    default: return 0;
  }
}

// Test writing belongs to the sequential write types of the write
// parameters page; DVD+R, DVD+RW, DVD-RAM and restricted overwrite have no
// such page, and drives record them whatever the bit says.
bool HasTestWrite(uint8_t kind) {
  return kind == MediaCdR || kind == MediaCdRw || kind == MediaDvdR || kind == MediaDvdRw ||
         kind == MediaDvdRwSequential || kind == MediaDdcdR || kind == MediaDdcdRw;
}

std::string KindName(uint8_t kind) {
  if (kind == MediaDvdRwRestricted)
    return "DVD-RW (RESTRICTED OVERWRITE)";
  return MediaKindNames()[kind < MediaKindNames().size() ? kind : 0];
}

// The sectors the writer sends for a track of `track` sectors, with what
// the medium adds to it.
int64_t SectorsOnDisc(uint8_t kind, int64_t track, bool imageFile) {
  if (!IsDvdKind(kind))
    return std::max(track, CdMinimumTrack) + CdRunOut;
  // A burn writes whole 32-sector blocks, and a DVD-R track is reserved in
  // them; an image's last WRITE is as long as its rest, on an ECC block.
  const int64_t unit = !imageFile || kind == MediaDvdR ? 32 : 16;
  return (track + unit - 1) / unit * unit;
}

std::string Megabytes(int64_t sectors) {
  return BlocksAsMegabytes(static_cast<uint32_t>(std::clamp<int64_t>(sectors, 0, UINT32_MAX)));
}

} // namespace

std::string TQNZBurner::CheckDiscMedium(bool ImageFile) {
  const char* insert = ImageFile ? "A BLANK DISC" : "A BLANK OR APPENDABLE DISC";
  if (!TestUnitReady(5000)) {
    // Loading closes an open tray; a disc just put in takes a while.
    StartStopUnit(false);
    for (int32_t waited = 0; !TestUnitReady(5000); waited += ReadyStepMs) {
      if (LastSense[12] == AscMediumNotPresent || TransportFailed || waited >= ReadyBudgetMs) {
        if (LastSense[12] == AscMediumNotPresent)
          return Format(LastSense[13] == AscqTrayOpen ? msgTrayOpen : msgNoDisc, insert);
        return Format(msgDriveNotReady, LastErrorText.c_str(), insert);
      }
      Sleep(ReadyStepMs);
    }
  }
  const uint8_t kind = MediaKind();
  CurrentMediaKind = kind;
  // Without the capabilities page the drive is taken at its word.
  const bool capsKnown = ReadCapabilities();
  if (capsKnown && (Capabilities & CapWriteMedia) == 0)
    return msgDriveWritesNothing;
  if (kind == MediaCdRom || kind == MediaDvdRom || kind == MediaDdcdRom)
    return Format(msgMediumReadOnly, KindName(kind).c_str(), insert);
  if (kind == MediaUnknown)
    return Format(msgMediumUnknown, insert);
  const uint32_t writeBit = WriteBitOf(kind);
  if (capsKnown && writeBit != 0 && (Capabilities & writeBit) == 0)
    return Format(msgDriveCantWrite, KindName(kind).c_str());
  if (TestWrite) {
    if (!HasTestWrite(kind))
      return Format(msgNoTestWriteMedium, KindName(kind).c_str());
    if (capsKnown && (Capabilities & CapWriteTest) == 0)
      return msgNoTestWriteDrive;
  }
  if (Overwritable(kind))
    return "";
  const int16_t status = DiscStatus();
  const char* erase = Rewritable(kind) ? msgOrEraseIt : "";
  if (status == 2)
    return Format(msgDiscClosed, insert, erase);
  // Whatever a sequential disc holds, its next writable address is past it.
  if (ImageFile && status > 0)
    return Format(msgImageNeedsBlank, erase);
  return "";
}

std::string TQNZBurner::CheckDiscTakesSession(bool ImageFile) {
  const uint8_t kind = MediaKind();
  CurrentMediaKind = kind;
  const int64_t needed = SectorsOnDisc(kind, TrackLength(), ImageFile);
  int64_t free = 0;
  if (Overwritable(kind)) {
    const int64_t start = ImageFile ? 0 : SessionStart;
    free = std::max<int64_t>(int64_t{DiscSize()} - start, 0);
  } else {
    free = FreeSpace();
  }
  if (needed <= free)
    return "";
  return Format(ImageFile ? msgImageTooLarge : msgSessionTooLarge, Megabytes(needed).c_str(),
                Megabytes(free).c_str());
}

int32_t TQNZBurner::LeaveOutUnreadableSources() {
  std::vector<std::pair<TFEntry*, std::string>> unreadable;
  for (TFEntry* e : Layout.FileTable) {
    // Files of size 0 are never read; imported ones are on the disc already.
    if (e->IsDirectory() || e->Imported || !e->HasSource() || e->IsoSize == 0)
      continue;
    const platform::TFileHandle h = platform::FileOpen(e->SourcePath(), platform::TFileAccess::Read);
    if (h == platform::InvalidFileHandle) {
      unreadable.emplace_back(e, UpperCase(platform::LastErrorText()));
      continue;
    }
    platform::FileClose(h);
  }
  for (const auto& [entry, why] : unreadable) {
    NoteLeftOut(entry->SourcePath(), Format(whyUnreadableNow, why.c_str()));
    RemoveEntry(entry->Owner, entry);
  }
  return static_cast<int32_t>(unreadable.size());
}

} // namespace qnzb
