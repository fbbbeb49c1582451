// The burn's verify: every sector the job sent is read back from the disc,
// after the flush and from the medium itself, and compared with the check
// value kept while it was written; the session's SHA-256 as sent and as read
// must agree too. A bad sector is named with what it holds, from the layout
// of the session (a compilation) or from the image file (an image burn).

#include <algorithm>
#include <array>
#include <set>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/image/qnCDBCDiscSink.h"
#include "engine/image/qnCDBCWriter.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

constexpr uint32_t SectorSize = 2048;
constexpr uint16_t ReadChunk = 32;  // sectors per READ: one DVD block
// A failing READ is tried this often before its sectors are read one by one.
constexpr int ReadTries = 3;
// Past this many unreadable sectors in a row the disc is taken as unreadable
// from there: reading on would take hours on a real drive.
constexpr uint32_t UnreadableRunLimit = 256;

std::string WithOwner(uint32_t lba, const std::string& owner) {
  return owner.empty() ? Format("SECTOR %u", lba) : Format("SECTOR %u (%s)", lba, owner.c_str());
}

// "\A\B" of the long names, "\" for the root.
std::string LongPath(const TDEntry* dir) {
  std::string path;
  for (; dir && dir->Parent != dir && dir->OwnEntry; dir = dir->Parent)
    path = "\\" + dir->OwnEntry->LongName + path;
  return path.empty() ? "\\" : path;
}

} // namespace

void TDiscSink::Note(std::vector<uint32_t>& checks, const uint8_t* data, int32_t length, bool session) {
  for (int32_t at = 0; at + static_cast<int32_t>(SectorSize) <= length; at += SectorSize) {
    checks.push_back(SectorCheck(data + at));
    if (session && digestSectors_ < burner_.ImageLength) {
      sent_.Update(data + at, SectorSize);
      ++digestSectors_;
    }
  }
}

bool TDiscSink::ReadBack(uint32_t first, const std::vector<uint32_t>& checks, uint32_t skipFrom,
                         std::string& message) {
  TQNZBurner& b = burner_;
  std::vector<uint8_t> buffer(size_t{ReadChunk} * SectorSize);
  const auto count = static_cast<uint32_t>(std::min<size_t>(checks.size(), skipFrom));
  const bool session = first == b.SessionStart;
  for (uint32_t done = 0; done < count;) {
    if (AbortRequested) {
      message = msgAbortedByUser;
      return false;
    }
    const auto n = static_cast<uint16_t>(std::min<uint32_t>(ReadChunk, count - done));
    const std::span<uint8_t> chunk(buffer.data(), size_t{n} * SectorSize);
    bool read = false;
    for (int tries = 0; tries < ReadTries && !read && !b.TransportFailed; ++tries)
      read = b.Read10(first + done, n, chunk, true);
    for (uint16_t i = 0; i < n; ++i) {
      const uint32_t lba = first + done + i;
      const std::span<uint8_t> sector = chunk.subspan(size_t{i} * SectorSize, SectorSize);
      bool readable = read;
      // A failed chunk is read sector by sector: only the bad ones count.
      for (int tries = 0; tries < ReadTries && !readable && !b.TransportFailed; ++tries)
        readable = b.Read10(lba, 1, sector, true);
      if (!readable) {
        bad_.push_back({lba, true, b.LastErrorText});
        std::fill(sector.begin(), sector.end(), uint8_t{0});
        if (b.TransportFailed || ++unreadableRun_ >= UnreadableRunLimit) {
          message = Format("VERIFY FAILED AT %s: THE DISC CAN'T BE READ FROM THERE [%s]",
                           WithOwner(bad_.front().Lba, owner_(bad_.front().Lba)).c_str(), b.LastErrorText.c_str());
          return false;
        }
      } else {
        unreadableRun_ = 0;
        if (SectorCheck(sector.data()) != checks[done + i])
          bad_.push_back({lba, false, ""});
      }
      if (session && lba - first < digestSectors_)
        read_.Update(sector.data(), SectorSize);
    }
    done += n;
    b.bytesWritten_ = std::min<int64_t>(b.bytesWritten_ + int64_t{n} * SectorSize, b.TrackLength() * SectorSize);
  }
  return true;
}

bool TDiscSink::Verify(std::string& message) {
  TQNZBurner& b = burner_;
  // The digest of the session as sent, for users to compare discs and images.
  b.SessionDigest = sent_.FinalHex();
  b.SendDebugMessage(StatusPrefix + Format("SESSION SHA-256 %s (%lld SECTORS FROM SECTOR %u)", b.SessionDigest.c_str(),
                                           static_cast<long long>(digestSectors_), b.SessionStart),
                     mtPlain);
  if (!b.Verify)
    return true;
  if (b.TestWrite) {
    b.SendDebugMessage(std::string(StatusPrefix) + "TEST WRITE: NOTHING WAS RECORDED, NOTHING TO VERIFY", mtPlain);
    return true;
  }
  const size_t total = sessionChecks_.size() + std::min<size_t>(descriptorChecks_.size(), b.SessionStart);
  b.SendDebugMessage(StatusPrefix + Format("VERIFYING %zu SECTORS", total), mtPlain);
  b.verifying_ = true;
  b.bytesWritten_ = 0;
  // The descriptors at the start of an overwritable disc, where the session
  // itself did not overwrite them, then the session.
  bool going = ReadBack(0, descriptorChecks_, b.SessionStart, message) &&
               ReadBack(b.SessionStart, sessionChecks_, UINT32_MAX, message);
  b.verifying_ = false;
  if (!going) {
    if (message == msgAbortedByUser)
      return false;
  } else if (bad_.empty() && read_.FinalHex() != b.SessionDigest) {
    // Every check value matched and yet the bytes differ: the one case the
    // per-sector values can miss.
    message = "VERIFY FAILED: THE SESSION READ BACK DIFFERS FROM WHAT WAS SENT (SHA-256)";
    return false;
  }
  if (bad_.empty()) {
    b.SendDebugMessage(StatusPrefix + Format("VERIFY PASSED: %zu SECTORS AS SENT", total), mtPlain);
    return true;
  }
  // Each bad file (or structure) once, with its first bad sector.
  std::set<std::string> listed;
  for (const TBadSector& bad : bad_) {
    const std::string owner = owner_(bad.Lba);
    if (!listed.insert(owner).second)
      continue;
    b.SendDebugMessage(StatusPrefix + Format("VERIFY: %s AT %s", bad.Unreadable ? "UNREADABLE" : "DIFFERENT",
                                             WithOwner(bad.Lba, owner).c_str()),
                       mtError);
  }
  if (message.empty()) {
    const TBadSector& first = bad_.front();
    message = "VERIFY FAILED AT " + WithOwner(first.Lba, owner_(first.Lba));
    if (first.Unreadable)
      message += ": UNREADABLE [" + first.Reason + "]";
  }
  return false;
}

std::string TQNZBurner::LayoutSectorOwner(uint32_t Lba) {
  if (ownerIndex_.empty()) {
    const auto add = [this](uint32_t start, int64_t sectors, const TDEntry* dir, const TFEntry* file) {
      if (sectors > 0)
        ownerIndex_.push_back({start, static_cast<uint32_t>(start + sectors), dir, file});
    };
    for (TDEntry* dir : Layout.DirTable) {
      add(IsoDirStart + dir->IsoSector, dir->IsoSize / SectorSize, dir, nullptr);
      if (JolietFileSystem)
        add(JolietDirStart + dir->JolietSector, dir->JolietSize / SectorSize, dir, nullptr);
    }
    for (TFEntry* file : Layout.FileTable)
      if (!file->Imported && !file->Dir && file->IsoSize > 0)
        add(FirstFileSector + file->IsoExtent, (file->IsoSize + SectorSize - 1) / SectorSize, nullptr, file);
    std::sort(ownerIndex_.begin(), ownerIndex_.end(),
              [](const TOwnedExtent& a, const TOwnedExtent& c) { return a.Start < c.Start; });
  }
  if (Lba >= SessionStart + 16 && Lba < IsoPathTableL)
    return "VOLUME DESCRIPTOR";
  if (Lba >= IsoPathTableL && Lba < IsoDirStart)
    return "PATH TABLE";
  if (Bootable && Lba == BootCatalogSector)
    return "BOOT CATALOG";
  if (Bootable && Lba >= BootImageSector && Lba < BootImageSector + static_cast<uint32_t>(BootImageSectors))
    return "BOOT IMAGE";
  // Extents don't overlap: the last one starting at or before Lba is the only candidate.
  const auto after = std::upper_bound(ownerIndex_.begin(), ownerIndex_.end(), Lba,
                                      [](uint32_t lba, const TOwnedExtent& e) { return lba < e.Start; });
  if (after == ownerIndex_.begin())
    return "";
  const TOwnedExtent& extent = *std::prev(after);
  if (Lba >= extent.End)
    return "";
  if (extent.Dir)
    return "DIRECTORY " + LongPath(extent.Dir);
  const std::string folder = LongPath(extent.File->Owner);
  return "FILE " + (folder == "\\" ? "" : folder) + "\\" + extent.File->LongName;
}

} // namespace qnzb
