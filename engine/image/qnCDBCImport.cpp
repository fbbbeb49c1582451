// The burner component's reading of a previous session: the volume
// descriptors of the session, then its directory tree, read sector by sector
// into the layout tree. Imported files keep their old extents; no data is
// copied.
//
// The disc is untrusted input. Every record is checked against its sector,
// every extent against the end of the session's track, and every directory
// sector is read at most once, so a damaged or hostile tree ends the import
// quickly instead of looping or reading the whole disc. Names are made safe
// as they are read: nothing taken from a disc can name a path outside its
// folder when it is extracted or written into the next session.

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/device/qnConst.h"
#include "engine/image/IsoRecords.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Strings.h"
#include "platform/System.h"

namespace qnzb {

namespace {

constexpr uint32_t SectorSize = 2048;
// The descriptors of a session: from its sector 16, at most this many.
constexpr uint32_t DescriptorScanSectors = 21;
// No real directory comes near this size (600,000 entries take some 60 MB
// spread over many directories); a larger one is damage.
constexpr uint32_t MaxDirectoryBytes = 64u << 20;
// Used when the track information gives no usable end: beyond any CD or DVD.
constexpr uint64_t DiscSectorsCap = 8'388'608;
// The layout refuses deeper trees; the walk stops there too.
constexpr size_t MaxDepth = 255;
// Longest identifiers taken: beyond them the name can't be a layout name.
constexpr uint32_t JolietNameLimit = 214;
constexpr uint32_t IsoNameLimit = 239;

bool IsDescriptor(const uint8_t* sector, uint8_t type) {
  return sector[0] == type && std::memcmp(sector + 1, "CD001", 5) == 0;
}

// A supplementary descriptor holds Joliet names only when its escape
// sequences field (bytes 88-119) names UCS-2 level 1, 2 or 3: 25h 2Fh and
// 40h, 43h or 45h. Any other (an ISO 9660:1999 enhanced descriptor, another
// character set) read as UTF-16 gives garbage.
bool IsJoliet(const uint8_t* sector) {
  for (size_t i = 88; i + 2 < 120; ++i) {
    const uint8_t level = sector[i + 2];
    if (sector[i] == 0x25 && sector[i + 1] == 0x2F && (level == 0x40 || level == 0x43 || level == 0x45))
      return true;
  }
  return false;
}

// Names are handled as bytes (ISO) or UTF-16 units (Joliet).
uint32_t Code(char c) { return static_cast<unsigned char>(c); }
uint32_t Code(char16_t c) { return c; }

// Control characters, which terminals act on; C1 too where the characters
// are known (Joliet), not bytes of a multi-byte code set.
bool IsControl(uint32_t c, bool c1) { return c < 0x20 || c == 0x7F || (c1 && c >= 0x80 && c < 0xA0); }

// `name` made safe: path separators (local and of the layout) and control
// characters become "_", and a name of full stops only becomes as many "_":
// "." and ".." name a folder, not an entry of it, and readers that drop a
// file name's last full stop turn "..." into "..". True when anything
// changed.
template <typename Text>
bool MakeSafe(Text& name, bool c1) {
  bool changed = false;
  for (auto& c : name) {
    if (IsControl(Code(c), c1) || c == '/' || c == '\\') {
      c = '_';
      changed = true;
    }
  }
  if (!name.empty() && std::all_of(name.begin(), name.end(), [](auto c) { return c == '.'; })) {
    std::fill(name.begin(), name.end(), '_');
    changed = true;
  }
  return changed;
}

// A name as recorded, for the log: control characters shown as \xNN, so
// the line says what the disc holds and does nothing to a terminal.
template <typename Text>
Text Visible(const Text& name, bool c1) {
  Text out;
  for (const auto c : name) {
    if (IsControl(Code(c), c1)) {
      const std::string hex = Format("\\x%02X", Code(c));
      out.append(hex.begin(), hex.end());
    } else {
      out += c;
    }
  }
  return out;
}

// The recording date of a directory record (bytes 18-23): a date that isn't
// valid gives day 0; time fields out of range are clamped into the day.
TDateTime RecordDate(const uint8_t* date) {
  TDateTimeParts day;
  day.Year = 1900 + date[0];
  day.Month = date[1];
  day.Day = date[2];
  TDateTime when = 0;
  if (!TryEncodeDateTime(day, when))
    when = 0;
  const int hour = std::min<int>(date[3], 23);
  const int minute = std::min<int>(date[4], 59);
  const int second = std::min<int>(date[5], 59);
  return when + EncodeTime(hour, minute, second, 0);
}

// One directory being read: its node, where it is on the disc and how far
// the reading got. The walk keeps these on a stack of its own, so the depth
// of a tree costs heap, not the machine stack.
struct TDirFrame {
  TDEntry* Dir = nullptr;
  std::string Path;        // for log lines: "\A\B" of the names on the disc
  uint32_t Extent = 0;
  uint32_t Sectors = 0;
  uint32_t Index = 0;      // sector of the extent in the buffer
  uint32_t Offset = 0;     // next record in the buffer
  std::array<uint8_t, SectorSize> Sector{};
};

class TSessionReader {
public:
  TSessionReader(TQNZBurner& burner, int session, uint64_t discEnd)
      : burner_(burner), session_(session), discEnd_(discEnd) {}

  // Reads the tree whose root record sits at byte 156 of `descriptor` into
  // `into`. False, with nothing added, when the root directory is unusable.
  bool ImportTree(const uint8_t* descriptor, bool joliet, TDEntry* into) {
    joliet_ = joliet;
    visited_.clear();
    added_.clear();
    const uint8_t* root = descriptor + 156;
    auto frame = std::make_unique<TDirFrame>();
    frame->Dir = into;
    if (const char* why = Enter(*frame, GetLE32(root + 2), GetLE32(root + 10))) {
      Log(Format(msgImportTreeUnusable, session_, joliet_ ? "JOLIET" : "ISO 9660", why));
      return false;
    }
    stack_.push_back(std::move(frame));
    Walk();
    return true;
  }

private:
  void Log(const std::string& line) { burner_.SendDebugMessage(StatusPrefix + line, mtError); }
  void Skipped(const std::string& what, const char* why) {
    Log(Format(msgImportSkipped, session_, what.c_str(), why));
  }
  static std::string Shown(const std::string& path) { return path.empty() ? std::string("\\") : path; }

  // Prepares `frame` to read the directory at `extent` of `length` bytes and
  // reads its first sector. The reason when it must not or can't be read.
  const char* Enter(TDirFrame& frame, uint32_t extent, uint32_t length) {
    if (length == 0)
      return whyNoDirectoryData;
    if (extent >= discEnd_)
      return whyOutsideDisc;
    const std::string shown = Shown(frame.Path);
    uint64_t sectors = (static_cast<uint64_t>(length) + SectorSize - 1) / SectorSize;
    if (length > MaxDirectoryBytes) {
      sectors = MaxDirectoryBytes / SectorSize;
      Log(Format(msgImportCut, session_, shown.c_str(), whyTooLarge));
    }
    if (extent + sectors > discEnd_) {
      sectors = discEnd_ - extent;
      Log(Format(msgImportCut, session_, shown.c_str(), whyOutsideDisc));
    }
    if (Overlaps(extent, static_cast<uint32_t>(sectors)))
      return whyLoop;
    visited_[extent] = extent + static_cast<uint32_t>(sectors);
    frame.Extent = extent;
    frame.Sectors = static_cast<uint32_t>(sectors);
    frame.Index = 0;
    if (!Load(frame))
      return whyUnreadable;
    if (joliet_) {
      // "." and ".." go by their length bytes; the loop checks what follows.
      frame.Offset = frame.Sector[0];
      frame.Offset += frame.Sector[frame.Offset];
    }
    return nullptr;
  }

  // Whether any sector of [extent, extent + sectors) was part of a directory
  // read before: a loop, or two directories sharing sectors.
  bool Overlaps(uint32_t extent, uint32_t sectors) const {
    const uint64_t end = static_cast<uint64_t>(extent) + sectors;
    auto next = visited_.upper_bound(extent);
    if (next != visited_.end() && next->first < end)
      return true;
    if (next != visited_.begin() && std::prev(next)->second > extent)
      return true;
    return false;
  }

  bool Load(TDirFrame& frame) {
    frame.Offset = 0;
    return burner_.Read10(frame.Extent + frame.Index, 1, frame.Sector);
  }

  void Walk() {
    while (!stack_.empty() && !stopped_) {
      TDirFrame& frame = *stack_.back();
      if (frame.Offset >= RecordScanEnd) {
        // Records never continue across sectors. A read that fails ends the
        // directory; what was read stays.
        if (++frame.Index >= frame.Sectors || !Load(frame))
          stack_.pop_back();
        continue;
      }
      ReadRecord(frame);
    }
    stack_.clear();
  }

  // Takes the record at the frame's offset and moves the offset past it (or
  // to the end of the sector). May push a frame for a sub-directory.
  void ReadRecord(TDirFrame& frame) {
    const uint8_t* record = frame.Sector.data() + frame.Offset;
    if (!joliet_ && std::memcmp(record, "\0\0\0\0", 4) == 0 && record[5] == 0x55 && record[6] == 0x58 &&
        record[7] == 0x41) {
      frame.Offset += 14;  // an extended-architecture block between records
      return;
    }
    const uint32_t length = record[0];
    if (length == 0) {
      frame.Offset = SectorSize;
      return;
    }
    if (length < MinRecordLength || frame.Offset + length > SectorSize) {
      Skipped(Shown(frame.Path) + Format(" (SECTOR %u)", frame.Extent + frame.Index), whyRecordLength);
      frame.Offset = SectorSize;
      return;
    }
    frame.Offset += length;

    const uint32_t nameLength = record[32];
    const uint32_t available = std::min(nameLength, length - 33);
    if (nameLength > (joliet_ ? JolietNameLimit : IsoNameLimit)) {
      const std::string name = Name(record + 33, available).Safe;
      burner_.SendDebugMessage(std::string(msgImportNameTooLong) + "\n\r" + name, mtError);
      Skipped(frame.Path + "\\" + name, whyNameTooLong);
      return;
    }
    if (nameLength > available) {
      Skipped(frame.Path + "\\" + Name(record + 33, available).Safe, whyNameLength);
      return;
    }
    if (!joliet_ && nameLength == 1 && (record[33] == 0 || record[33] == 1))
      return;  // "." and ".."
    const TRecordName recorded = Name(record + 33, nameLength);
    const std::string& name = recorded.Safe;
    if (name.empty()) {
      Skipped(Shown(frame.Path) + Format(" (SECTOR %u)", frame.Extent + frame.Index), whyNoName);
      return;
    }
    if (recorded.Changed)
      Log(Format(msgImportNameChanged, session_, (frame.Path + "\\" + recorded.Recorded).c_str(), name.c_str()));

    const uint32_t extent = GetLE32(record + 2);
    const uint32_t size = GetLE32(record + 10);
    const uint8_t flags = record[25];
    TListing listing;
    listing.Name = name;
    listing.AlternateName = ShortNameFromName(name);
    listing.Attr = ((flags & 0x01) ? platform::faHidden : 0) | ((flags & 0x02) ? platform::faDirectory : 0);
    int32_t nanoseconds = 0;
    if (!LocalDateTimeToUnixTime(RecordDate(record + 18), listing.WriteTimeSec, nanoseconds))
      listing.WriteTimeSec = 0;
    listing.WriteTimeNsec = nanoseconds;
    const std::string path = frame.Path + "\\" + name;

    if (flags & 0x02) {
      if (stack_.size() >= MaxDepth) {
        Skipped(path, whyTooDeep);
        return;
      }
      // A folder of the name merges with this one; a file of the name would
      // share it with the folder.
      if (const TFEntry* existing = burner_.FindEntry(frame.Dir, name); existing && !existing->IsDirectory()) {
        Skipped(path, whyNameTaken);
        return;
      }
      const int32_t dirsBefore = Layout.DirCount();
      TDEntry* dir = burner_.AddDirEntry(frame.Dir, listing);
      if (!dir) {
        StopWhenFull();
        return;
      }
      auto child = std::make_unique<TDirFrame>();
      child->Dir = dir;
      child->Path = path;
      const char* why = Enter(*child, extent, size);
      if (!why) {
        stack_.push_back(std::move(child));  // `frame` may move: not used below
        return;
      }
      Skipped(path, why);
      if (Layout.DirCount() > dirsBefore && !dir->FirstEntry) {
        // A directory made for a record that was then left out would come
        // back as an empty folder in the next session.
        burner_.RemoveDirectory(dir);
      }
      return;
    }

    if (extent != 0) {
      const uint64_t end = static_cast<uint64_t>(extent) + (static_cast<uint64_t>(size) + SectorSize - 1) / SectorSize;
      if (end > discEnd_) {
        Skipped(path, whyOutsideDisc);
        return;
      }
      listing.SizeLow = size;
    }
    // Two records of one folder under one name (made so by the changes
    // above, or recorded so) are duplicates as any other: the second is
    // ignored unless ReplaceFile, and one of them is left out, which is said.
    // A name the layout held before the import is the usual update of a
    // file and goes unmentioned.
    const std::string longName = name.find('.') == std::string::npos ? name + "." : name;
    if (const TFEntry* existing = burner_.FindEntry(frame.Dir, longName)) {
      if (existing->IsDirectory() || added_.contains(existing)) {
        Skipped(path, whyNameTaken);
        if (existing->IsDirectory() || !burner_.ReplaceFile)
          return;
      }
    }
    // Extent 0 is an empty file: an ordinary entry of size 0.
    if (burner_.AddFileEntry(frame.Dir, listing, std::string(), extent, false) == 0) {
      StopWhenFull();
      return;
    }
    added_.insert(burner_.LastEntry);
  }

  // After a refused add: when a table is full nothing more can be added, so
  // the walk ends instead of offering every remaining record.
  void StopWhenFull() {
    if (Layout.FileCount() >= Layout.MaxFiles || Layout.DirCount() >= Layout.MaxDirs) {
      Log(Format(msgImportStopped, session_));
      stopped_ = true;
    }
  }

  struct TRecordName {
    std::string Safe;      // the long name the layout gets
    std::string Recorded;  // as recorded, for the log
    bool Changed = false;
  };

  // The long name of an identifier: Joliet names are UTF-16 big-endian, cut
  // at a ";" from their third character on; ISO names are cut at their ";".
  // Joliet names are made safe before they are converted, so that a code
  // set whose characters take several bytes keeps them whole.
  TRecordName Name(const uint8_t* identifier, uint32_t bytes) const {
    TRecordName out;
    if (!joliet_) {
      std::string name(reinterpret_cast<const char*>(identifier), bytes);
      const size_t cut = name.find(';');
      if (cut != std::string::npos)
        name.resize(cut);
      out.Recorded = Visible(name, false);
      out.Changed = MakeSafe(name, false);
      out.Safe = std::move(name);
      return out;
    }
    std::u16string units;
    for (uint32_t i = 0; i + 1 < bytes; i += 2)
      units += static_cast<char16_t>(identifier[i] << 8 | identifier[i + 1]);
    const size_t cut = units.find(u';', 2);
    if (cut != std::u16string::npos)
      units.resize(cut);
    out.Recorded = platform::Utf16ToAnsi(Visible(units, true));
    out.Changed = MakeSafe(units, true);
    out.Safe = platform::Utf16ToAnsi(units);
    return out;
  }

  TQNZBurner& burner_;
  const int session_;
  const uint64_t discEnd_;
  bool joliet_ = false;
  bool stopped_ = false;
  std::vector<std::unique_ptr<TDirFrame>> stack_;
  // Directory sectors read so far: start -> end (exclusive), non-overlapping.
  std::map<uint32_t, uint32_t> visited_;
  // Files this tree put into the layout (compared, never followed).
  std::unordered_set<const TFEntry*> added_;
};

} // namespace

bool TQNZBurner::ImportPreviousSession(int8_t Session, TDEntry* Into) {
  if (!Into)
    Into = RootDir();
  const uint16_t sessions = SessionCount();
  if (sessions == 0)
    return false;
  int session = Session;
  if (session < 0 || session > sessions)
    session = sessions;
  if (session == 0)
    return false;
  SendDebugMessage(StatusPrefix + Format(msgImportingSession, session), mtProgress);

  // Imported files may lie in earlier sessions, never past this one's track.
  uint32_t start = 0, size = 0;
  if (!TrackExtent(static_cast<uint32_t>(session), start, size)) {
    SendDebugMessage(StatusPrefix + std::string(msgImportError) + Format(" # %d", session), mtError);
    return false;
  }
  uint64_t discEnd = static_cast<uint64_t>(start) + size;
  if (size == 0 || size == 0xFFFFFFFFu || discEnd > DiscSectorsCap)
    discEnd = std::max<uint64_t>(DiscSectorsCap, start);

  // The descriptors are read once; both passes look at the same sectors. An
  // unreadable sector counts as an empty one.
  std::vector<std::array<uint8_t, SectorSize>> descriptors;
  for (uint32_t i = 0; i < DescriptorScanSectors; ++i) {
    const uint64_t lba = static_cast<uint64_t>(start) + 16 + i;
    if (lba > 0xFFFFFFFFu)
      break;
    std::array<uint8_t, SectorSize>& sector = descriptors.emplace_back();
    if (!Read10(static_cast<uint32_t>(lba), 1, sector))
      sector.fill(0);
    if (IsDescriptor(sector.data(), 0xFF))
      break;
  }

  TSessionReader reader(*this, session, discEnd);
  for (const uint8_t type : {uint8_t{2}, uint8_t{1}}) {
    for (const auto& sector : descriptors) {
      if (!IsDescriptor(sector.data(), type) || (type == 2 && !IsJoliet(sector.data())))
        continue;
      // A damaged tree gives way to the next descriptor.
      if (reader.ImportTree(sector.data(), type == 2, Into))
        return true;
      break;
    }
  }
  SendDebugMessage(StatusPrefix + Format(msgImportNotFound, session), mtError);
  return false;
}

} // namespace qnzb
