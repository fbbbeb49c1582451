#include "engine/image/DiscReadBack.h"

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <utility>
#include <span>

#include "engine/device/qnDrvLib.h"
#include "engine/image/SectorOwner.h"
#include "engine/recording/SideFile.h"
#include "engine/recording/qnCache.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Digest.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"

namespace qnzb {

namespace {

constexpr uint32_t SectorSize = 2048;
// 31 sectors a command: below the 64 KiB many transports take at once.
constexpr uint32_t ChunkSectors = 31;
// Tries of one READ before it counts as failed.
constexpr int ReadAttempts = 3;
constexpr uint64_t AddressSpace = 1ull << 32;

bool KeepsNoSessions(uint8_t kind) {
  return kind == MediaDvdRam || kind == MediaDvdPlusRw || kind == MediaDvdRwRestricted;
}

// The disc's READ with a drive reader's persistence: a failed read is tried
// again, then sector by sector, so that a failure names one sector.
class TPatientReader {
public:
  TPatientReader(TSCSIDevice& device, const std::atomic<bool>& abort) : device_(device), abort_(abort) {}

  // `count` sectors from `lba` into `out`. False when stopped or when a
  // sector can't be read: BadSector and Why say which and why.
  bool Read(uint32_t lba, uint32_t count, uint8_t* out) {
    if (Try(lba, count, out))
      return true;
    // A transport that failed (the drive gone, no answer) would fail every
    // single sector too, each after its timeout.
    if (count > 1 && !abort_ && !device_.TransportFailed) {
      for (uint32_t i = 0; i < count; ++i) {
        if (!Try(lba + i, 1, out + size_t{i} * SectorSize)) {
          if (!abort_)
            Fail(lba + i);
          return false;
        }
      }
      return true;  // the sectors read alone: a passing fault
    }
    if (!abort_)
      Fail(lba);
    return false;
  }

  uint32_t BadSector = 0;
  std::string Why;

private:
  bool Try(uint32_t lba, uint32_t count, uint8_t* out) {
    for (int attempt = 0; attempt < ReadAttempts && !abort_; ++attempt) {
      if (device_.Read10(lba, static_cast<uint16_t>(count), std::span<uint8_t>(out, size_t{count} * SectorSize)))
        return true;
      if (device_.TransportFailed)
        break;
    }
    return false;
  }

  void Fail(uint32_t lba) {
    BadSector = lba;
    Why = device_.LastErrorText.empty() ? std::string("NO ANSWER FROM THE DRIVE") : device_.LastErrorText;
  }

  TSCSIDevice& device_;
  const std::atomic<bool>& abort_;
};

// How many sectors from `lba` on (at most `limit`) are alike: all recorded
// (`recorded` true) or all outside the area's tracks.
uint32_t Run(const TDiscArea& area, uint32_t lba, uint32_t limit, bool& recorded) {
  uint64_t next = uint64_t{area.Start} + area.Sectors;
  recorded = false;
  for (const TDiscExtent& t : area.Tracks) {
    const uint64_t end = uint64_t{t.Start} + t.Sectors;
    if (lba >= t.Start && lba < end) {
      recorded = true;
      next = end;
      break;
    }
    if (t.Start > lba)
      next = std::min<uint64_t>(next, t.Start);
  }
  return static_cast<uint32_t>(std::min<uint64_t>(limit, next - lba));
}

// Whether the first `length` bytes of sector `index` of two buffers agree.
bool SameSector(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t index, size_t length) {
  const auto at = static_cast<ptrdiff_t>(size_t{index} * SectorSize);
  return std::equal(a.begin() + at, a.begin() + at + static_cast<ptrdiff_t>(length), b.begin() + at);
}

// Closes a file handle when it goes out of scope.
struct TOpenFile {
  explicit TOpenFile(const std::string& path) : Handle(platform::FileOpen(path, platform::TFileAccess::Read)) {}
  ~TOpenFile() {
    if (Handle != platform::InvalidFileHandle)
      platform::FileClose(Handle);
  }
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;
  platform::TFileHandle Handle;
};

} // namespace

bool FindDiscArea(TSCSIDevice& Device, int Session, TAreaUse Use, TDiscArea& Area, std::string& Why) {
  Area = {};
  if (KeepsNoSessions(Device.MediaKind())) {
    if (Session > 1) {
      Why = "no session " + std::to_string(Session) + ": the disc keeps no sessions, only one file system (session 1)";
      return false;
    }
    const uint32_t volume = Device.ReadVolumeSize();
    if (volume == 0) {
      Why = "the disc holds no file system";
      return false;
    }
    uint32_t start = 0, formatted = 0;
    const uint32_t sectors =
        Use == TAreaUse::Verify && Device.TrackExtent(1, start, formatted) && start == 0 && formatted > volume
            ? formatted
            : volume;
    Area = {0, sectors, {{0, sectors}}};
    return true;
  }
  const uint16_t sessions = Device.SessionCount();
  if (sessions == 0) {
    Why = "the disc holds no complete session" +
          (Device.LastErrorText.empty() ? std::string() : " (" + Device.LastErrorText + ")");
    return false;
  }
  if (Session < 0 || Session > sessions) {
    Why = "no session " + std::to_string(Session) + ": the disc holds " + std::to_string(sessions) +
          " (see `sessions`)";
    return false;
  }
  const uint32_t first = Session == 0 ? 1 : static_cast<uint32_t>(Session);
  const uint32_t last = Session == 0 ? sessions : static_cast<uint32_t>(Session);
  for (uint32_t s = first; s <= last; ++s) {
    uint32_t start = 0, size = 0;
    if (!Device.TrackExtent(s, start, size) || size == 0) {
      Why = "the drive does not tell where session " + std::to_string(s) + " lies" +
            (Device.LastErrorText.empty() ? std::string() : " (" + Device.LastErrorText + ")");
      return false;
    }
    size = static_cast<uint32_t>(std::min<uint64_t>(size, AddressSpace - 1 - start));
    // A CD track written at once ends in two run-out blocks, which some
    // drives count in its size and none can read: they hold no data.
    const uint8_t kind = Device.MediaKind();
    if (kind == MediaCdR || kind == MediaCdRw || kind == MediaCdRom) {
      std::array<uint8_t, SectorSize> probe{};
      for (int runOut = 0; runOut < 2 && size > 0 && !Device.Read10(start + size - 1, 1, probe); ++runOut)
        --size;
    }
    Area.Tracks.push_back({start, size});
  }
  // A drive's answers are sorted and disjoint; any that overlap are cut.
  std::sort(Area.Tracks.begin(), Area.Tracks.end(),
            [](const TDiscExtent& a, const TDiscExtent& b) { return a.Start < b.Start; });
  uint64_t end = 0;
  std::vector<TDiscExtent> tracks;
  for (TDiscExtent t : Area.Tracks) {
    const uint64_t tEnd = uint64_t{t.Start} + t.Sectors;
    if (tEnd <= end)
      continue;
    if (t.Start < end) {
      t.Sectors = static_cast<uint32_t>(tEnd - end);
      t.Start = static_cast<uint32_t>(end);
    }
    tracks.push_back(t);
    end = tEnd;
  }
  Area.Tracks = std::move(tracks);
  Area.Start = Session == 0 ? 0 : Area.Tracks.front().Start;
  Area.Sectors = static_cast<uint32_t>(end - Area.Start);
  return true;
}

TReadBackResult ReadDiscToFile(TSCSIDevice& Device, const TDiscArea& Area, const std::string& FileName,
                               const TReadBackProgress& Progress, const std::atomic<bool>& Abort) {
  TReadBackResult result;
  result.Sectors = Area.Sectors;
  std::unique_ptr<TSideFile> file;
  try {
    file = std::make_unique<TSideFile>(FileName);
  } catch (const EFOpenError& e) {
    result.Error = e.what();  // names the file as given
    return result;
  }
  std::vector<uint8_t> buffer(size_t{ChunkSectors} * SectorSize);
  TSha256 sha;
  TPatientReader reader(Device, Abort);
  for (uint32_t done = 0; done < Area.Sectors;) {
    if (Abort) {
      result.Aborted = true;
      result.Error = msgAbortedByUser;
      return result;
    }
    const uint32_t lba = Area.Start + done;
    bool recorded = false;
    const uint32_t count = Run(Area, lba, std::min(ChunkSectors, Area.Sectors - done), recorded);
    const size_t bytes = size_t{count} * SectorSize;
    if (!recorded) {
      std::fill_n(buffer.begin(), bytes, uint8_t{0});
    } else if (!reader.Read(lba, count, buffer.data())) {
      result.Aborted = Abort;
      result.ReadError = !Abort;
      result.BadSector = reader.BadSector;
      result.Error = Abort ? std::string(msgAbortedByUser)
                           : Format("READ ERROR AT SECTOR %u: ", reader.BadSector) + reader.Why;
      return result;
    }
    if (platform::FileWrite(file->Handle(), buffer.data(), static_cast<int32_t>(bytes)) !=
        static_cast<int32_t>(bytes)) {
      result.Error = "CANNOT WRITE " + FileName + ": " + UpperCase(platform::LastErrorText());
      return result;
    }
    sha.Update(buffer.data(), bytes);
    done += count;
    if (Progress)
      Progress(done, Area.Sectors);
  }
  std::string error;
  if (!file->Commit(error)) {
    result.Error = "CANNOT WRITE " + FileName + ": " + UpperCase(error);
    return result;
  }
  result.Sha256 = sha.FinalHex();
  result.Ok = true;
  return result;
}

TVerifyResult VerifyImageWithDisc(TSCSIDevice& Device, const std::string& FileName, const TDiscArea& Area,
                                  const TReadBackProgress& Progress, const std::atomic<bool>& Abort) {
  TVerifyResult result;
  const TOpenFile image(FileName);
  const int64_t size = image.Handle == platform::InvalidFileHandle ? -1 : platform::FileSeek(image.Handle, 0, 2);
  if (size < 0 || platform::FileSeek(image.Handle, 0, 0) != 0) {
    result.Error = "CANNOT READ THE IMAGE FILE " + FileName + ": " + UpperCase(platform::LastErrorText());
    return result;
  }
  const uint64_t sectors = (static_cast<uint64_t>(size) + SectorSize - 1) / SectorSize;
  if (sectors == 0) {
    result.Error = "THE IMAGE FILE " + FileName + " IS EMPTY";
    return result;
  }
  if (sectors > AddressSpace - 1 - Area.Start) {
    result.Error = "THE IMAGE FILE " + FileName + " IS LARGER THAN ANY DISC";
    return result;
  }
  result.Sectors = static_cast<uint32_t>(sectors);

  // The owners are looked for only once something differs. Every track
  // start may hold a volume (a session's file system); a sector is named by
  // the volume of its own track first, then by the others, newest first.
  // The image file is read for them through a handle of its own.
  std::vector<TSectorOwners> volumes;
  std::vector<uint32_t> volumeStarts;
  const TOpenFile own(FileName);
  const TSectorReader readImage = [&](uint32_t at, uint8_t* sector) {
    if (at < Area.Start || own.Handle == platform::InvalidFileHandle)
      return false;
    const int64_t offset = int64_t{at - Area.Start} * SectorSize;
    return offset + SectorSize <= size && platform::FileSeek(own.Handle, offset, 0) == offset &&
           platform::FileRead(own.Handle, sector, SectorSize) == static_cast<int32_t>(SectorSize);
  };
  auto owner = [&](uint32_t lba, size_t& volume) -> uint32_t {
    if (volumes.empty()) {
      for (const TDiscExtent& t : Area.Tracks) {
        if (t.Start < Area.Start || uint64_t{t.Start - Area.Start} * SectorSize >= static_cast<uint64_t>(size))
          continue;
        volumes.emplace_back(readImage, t.Start);
        volumeStarts.push_back(t.Start);
      }
    }
    size_t home = volumes.size();
    for (size_t v = 0; v < volumes.size(); ++v)
      if (volumeStarts[v] <= lba)
        home = v;
    if (home < volumes.size()) {
      if (const uint32_t id = volumes[home].OwnerId(lba)) {
        volume = home;
        return id;
      }
    }
    for (size_t v = volumes.size(); v-- > 0;) {
      if (const uint32_t id = volumes[v].OwnerId(lba)) {
        volume = v;
        return id;
      }
    }
    return 0;
  };
  std::set<std::pair<size_t, uint32_t>> listed;
  auto differs = [&](uint32_t lba, const std::string& reason) {
    size_t volume = 0;
    const uint32_t id = owner(lba, volume);
    const std::string text = id == 0 ? std::string() : volumes[volume].OwnerText(id);
    if (!result.Differs) {
      result.Differs = true;
      result.FirstSector = lba;
      result.FirstOwner = text;
      result.Reason = reason;
    }
    // Pieces of one file recorded in several extents, and one file in the
    // trees of several sessions, have one name.
    if (id != 0 && volumes[volume].IsFile(id) && listed.insert({volume, id}).second &&
        std::find(result.Files.begin(), result.Files.end(), text) == result.Files.end())
      result.Files.push_back(text);
  };

  std::vector<uint8_t> mine(size_t{ChunkSectors} * SectorSize), disc(mine.size());
  TSha256 sha;
  TPatientReader reader(Device, Abort);
  const uint64_t areaEnd = uint64_t{Area.Start} + Area.Sectors;
  for (uint32_t done = 0; done < result.Sectors;) {
    if (Abort) {
      result.Aborted = true;
      return result;
    }
    const uint32_t lba = Area.Start + done;
    if (lba >= areaEnd) {
      // Past the disc's end: nothing to read, every owner there differs.
      const std::string reason = Format("THE DISC ENDS AT SECTOR %u", static_cast<uint32_t>(areaEnd));
      for (; done < result.Sectors; ++done)
        differs(Area.Start + done, reason);
      break;
    }
    bool recorded = false;
    const uint32_t count = Run(Area, lba, std::min(ChunkSectors, result.Sectors - done), recorded);
    const uint64_t offset = uint64_t{done} * SectorSize;
    const auto bytes = static_cast<int32_t>(std::min<uint64_t>(uint64_t{count} * SectorSize, size - offset));
    if (platform::FileRead(image.Handle, mine.data(), bytes) != bytes) {
      result = {};
      result.Error = "CANNOT READ THE IMAGE FILE " + FileName + ": " + UpperCase(platform::LastErrorText());
      return result;
    }
    sha.Update(mine.data(), static_cast<size_t>(bytes));
    if (!recorded) {
      std::fill_n(disc.begin(), size_t{count} * SectorSize, uint8_t{0});
    } else if (!reader.Read(lba, count, disc.data())) {
      if (Abort) {
        result.Aborted = true;
        return result;
      }
      // The sectors before the bad one were read and are compared; the
      // comparison ends at the bad one.
      for (uint32_t i = 0; i < reader.BadSector - lba; ++i)
        if (!SameSector(mine, disc, i, SectorSize))
          differs(lba + i, std::string());
      differs(reader.BadSector, "READ ERROR: " + reader.Why);
      result.EndedEarly = Format("READ ERROR AT SECTOR %u: ", reader.BadSector) + reader.Why;
      break;
    }
    for (uint32_t i = 0; i < count; ++i) {
      // The image's last sector may be partial: only its bytes count.
      const size_t at = size_t{i} * SectorSize;
      const size_t length = std::min<size_t>(SectorSize, static_cast<size_t>(bytes) - std::min<size_t>(at, bytes));
      if (!SameSector(mine, disc, i, length))
        differs(lba + i, recorded ? std::string() : std::string("NOT RECORDED ON THE DISC"));
    }
    done += count;
    if (Progress)
      Progress(done, result.Sectors);
  }
  if (!result.Differs) {
    result.Match = true;
    result.Sha256 = sha.FinalHex();
  }
  return result;
}

} // namespace qnzb
