#include "engine/image/SectorOwner.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <queue>

#include "engine/image/IsoRecords.h"
#include "engine/runtime/Strings.h"
#include "platform/System.h"

namespace qnzb {

namespace {

constexpr uint32_t SectorSize = 2048;
// Descriptors follow one another from sector 16; real volumes have a handful.
constexpr uint32_t DescriptorScanSectors = 32;
// Far beyond any real volume (600,000 entries take some 60 MB of directories
// in both trees); they bound what a hostile one costs.
constexpr uint64_t MaxDirectoryBytes = 64u << 20;
constexpr uint64_t MaxDirectorySectorsRead = 65536;
constexpr size_t MaxNodes = 2'000'000;
constexpr size_t MaxNameBytes = 64u << 20;
constexpr uint32_t MaxDepth = 255;
// 65,535 directories with the longest identifiers.
constexpr uint64_t MaxPathTableSectors = (65535ull * 264 + SectorSize - 1) / SectorSize;
constexpr uint64_t AddressSpace = 1ull << 32;
constexpr uint32_t NoNode = 0xFFFFFFFFu;

bool IsDescriptor(const uint8_t* sector, uint8_t type) {
  return sector[0] == type && std::memcmp(sector + 1, "CD001", 5) == 0;
}

// A supplementary descriptor holds Joliet names only when its escape
// sequences (bytes 88-119) name UCS-2 level 1, 2 or 3.
bool IsJoliet(const uint8_t* sector) {
  for (size_t i = 88; i + 2 < 120; ++i) {
    const uint8_t level = sector[i + 2];
    if (sector[i] == 0x25 && sector[i + 1] == 0x2F && (level == 0x40 || level == 0x43 || level == 0x45))
      return true;
  }
  return false;
}

bool IsBootRecord(const uint8_t* sector) {
  static constexpr char system[] = "EL TORITO " "SPECIFI" "CATION";
  return IsDescriptor(sector, 0) && std::memcmp(sector + 7, system, sizeof system - 1) == 0;
}

uint64_t SectorsOf(uint64_t bytes) { return (bytes + SectorSize - 1) / SectorSize; }

// A name as recorded, fit to be shown: ISO names are bytes cut at ";",
// Joliet names UTF-16 big-endian cut at a ";" from their third character on;
// control characters become \xNN.
std::string ShownName(const uint8_t* identifier, uint32_t bytes, bool joliet) {
  std::u16string units;
  if (joliet) {
    for (uint32_t i = 0; i + 1 < bytes; i += 2)
      units += static_cast<char16_t>(identifier[i] << 8 | identifier[i + 1]);
    const size_t cut = units.find(u';', 2);
    if (cut != std::u16string::npos)
      units.resize(cut);
  } else {
    for (uint32_t i = 0; i < bytes && identifier[i] != ';'; ++i)
      units += static_cast<char16_t>(identifier[i]);
  }
  std::u16string shown;
  for (const char16_t c : units) {
    if (c < 0x20 || c == 0x7F || (joliet && c >= 0x80 && c < 0xA0)) {
      const std::string hex = Format("\\x%02X", static_cast<unsigned>(c));
      shown.append(hex.begin(), hex.end());
    } else {
      shown += c;
    }
  }
  if (joliet)
    return platform::Utf16ToAnsi(shown);
  // ISO names are single bytes; kept as they are.
  std::string bytesOut;
  for (const char16_t c : shown)
    bytesOut += static_cast<char>(c);
  return bytesOut;
}

} // namespace

// One directory tree read into nodes and claims.
class TSectorOwners::TWalk {
public:
  TWalk(TSectorOwners& owners, const TSectorReader& read, uint64_t& sectorsRead)
      : owners_(owners), read_(read), sectorsRead_(sectorsRead) {}

  // The tree of the root record at byte 156 of `descriptor`. Files are
  // claimed only with `files`; false when the root is unusable.
  bool Tree(const uint8_t* descriptor, bool joliet, bool files) {
    joliet_ = joliet;
    files_ = files;
    const uint8_t* root = descriptor + 156;
    const uint32_t extent = GetLE32(root + 2);
    const uint32_t length = GetLE32(root + 10);
    if (length == 0)
      return false;
    std::array<uint8_t, SectorSize> probe{};
    if (!read_(extent, probe.data()))
      return false;
    const uint32_t rootNode = owners_.AddNode(TKind::Directory, NoNode, std::string());
    if (rootNode == NoNode)
      return false;
    pending_.push_back({rootNode, extent, length, 0});
    while (!pending_.empty() && !owners_.truncated_) {
      const TPending dir = pending_.back();
      pending_.pop_back();
      Directory(dir);
    }
    return true;
  }

private:
  struct TPending {
    uint32_t Node;
    uint32_t Extent;
    uint32_t Length;
    uint32_t Depth;
  };

  // Whether [start, end) shares a sector with a directory read before: a
  // loop, or two directories on the same sectors.
  bool Overlaps(uint64_t start, uint64_t end) const {
    auto next = visited_.upper_bound(start);
    if (next != visited_.end() && next->first < end)
      return true;
    return next != visited_.begin() && std::prev(next)->second > start;
  }

  void Directory(const TPending& dir) {
    uint64_t sectors = SectorsOf(std::min<uint64_t>(dir.Length, MaxDirectoryBytes));
    sectors = std::min(sectors, AddressSpace - dir.Extent);
    if (sectors > MaxDirectorySectorsRead - sectorsRead_) {
      sectors = MaxDirectorySectorsRead - sectorsRead_;
      owners_.truncated_ = true;
    }
    if (sectors == 0 || Overlaps(dir.Extent, dir.Extent + sectors))
      return;
    visited_[dir.Extent] = dir.Extent + sectors;
    owners_.Claim(dir.Extent, sectors, dir.Node);
    sectorsRead_ += sectors;
    std::array<uint8_t, SectorSize> sector{};
    for (uint64_t i = 0; i < sectors && !owners_.truncated_; ++i) {
      // An unreadable sector holds no records; the rest of the directory may.
      if (read_(static_cast<uint32_t>(dir.Extent + i), sector.data()))
        Records(sector.data(), dir);
    }
  }

  void Records(const uint8_t* sector, const TPending& dir) {
    uint32_t offset = 0;
    while (offset < RecordScanEnd && !owners_.truncated_) {
      const uint8_t* record = sector + offset;
      if (!joliet_ && std::memcmp(record, "\0\0\0\0", 4) == 0 && record[5] == 0x55 && record[6] == 0x58 &&
          record[7] == 0x41) {
        offset += 14;  // an extended-architecture block between records
        continue;
      }
      const uint32_t length = record[0];
      // Records never continue across sectors: a zero or a bad length ends this one.
      if (length < MinRecordLength || offset + length > SectorSize)
        return;
      offset += length;
      const uint32_t nameLength = record[32];
      if (nameLength == 0 || 33 + nameLength > length)
        continue;
      if (nameLength == 1 && (record[33] == 0 || record[33] == 1))
        continue;  // "." and ".."
      const uint32_t extent = GetLE32(record + 2);
      const uint32_t size = GetLE32(record + 10);
      const bool isDir = (record[25] & 0x02) != 0;
      if (!isDir && (!files_ || extent == 0 || size == 0))
        continue;
      const uint32_t node = owners_.AddNode(isDir ? TKind::Directory : TKind::File, dir.Node,
                                            ShownName(record + 33, nameLength, joliet_));
      if (node == NoNode)
        return;
      if (!isDir)
        owners_.Claim(extent, SectorsOf(size), node);
      else if (dir.Depth + 1 < MaxDepth)
        pending_.push_back({node, extent, size, dir.Depth + 1});
    }
  }

  TSectorOwners& owners_;
  const TSectorReader& read_;
  uint64_t& sectorsRead_;
  bool joliet_ = false;
  bool files_ = false;
  std::vector<TPending> pending_;
  // Directory sectors of this tree read so far: start -> end (exclusive).
  std::map<uint64_t, uint64_t> visited_;
};

TSectorOwners::TSectorOwners(const TSectorReader& Read, uint32_t VolumeStart) {
  std::vector<std::array<uint8_t, SectorSize>> descriptors;
  uint64_t lastDescriptor = 0;
  for (uint32_t i = 0; i < DescriptorScanSectors; ++i) {
    const uint64_t lba = uint64_t{VolumeStart} + 16 + i;
    if (lba >= AddressSpace)
      break;
    std::array<uint8_t, SectorSize>& sector = descriptors.emplace_back();
    if (!Read(static_cast<uint32_t>(lba), sector.data()) || std::memcmp(sector.data() + 1, "CD001", 5) != 0) {
      descriptors.pop_back();
      break;
    }
    lastDescriptor = lba;
    if (sector[0] == 0xFF)
      break;
  }
  if (descriptors.empty())
    return;
  hasVolume_ = true;
  const uint64_t first = uint64_t{VolumeStart} + 16;
  Claim(first, lastDescriptor + 1 - first, AddNode(TKind::VolumeDescriptor, NoNode, std::string()));

  // The path tables of the primary and the Joliet descriptor: L, optional L,
  // M, optional M.
  const uint32_t pathTable = AddNode(TKind::PathTable, NoNode, std::string());
  for (const auto& d : descriptors) {
    if (!IsDescriptor(d.data(), 1) && !(IsDescriptor(d.data(), 2) && IsJoliet(d.data())))
      continue;
    const uint64_t sectors = std::min(SectorsOf(GetLE32(d.data() + 132)), MaxPathTableSectors);
    for (const uint32_t at : {GetLE32(d.data() + 140), GetLE32(d.data() + 144), GetBE32(d.data() + 148),
                              GetBE32(d.data() + 152)})
      if (at != 0)
        Claim(at, sectors, pathTable);
  }

  uint64_t sectorsRead = 0;
  bool filesClaimed = false;
  for (const bool joliet : {true, false}) {
    for (const auto& d : descriptors) {
      if (joliet ? !(IsDescriptor(d.data(), 2) && IsJoliet(d.data())) : !IsDescriptor(d.data(), 1))
        continue;
      TWalk walk(*this, Read, sectorsRead);
      // The first tree that can be read names the files; the other adds its
      // own directories.
      if (walk.Tree(d.data(), joliet, !filesClaimed))
        filesClaimed = true;
      break;
    }
  }

  for (const auto& d : descriptors) {
    if (!IsBootRecord(d.data()))
      continue;
    const uint32_t catalog = GetLE32(d.data() + 71);
    Claim(catalog, 1, AddNode(TKind::BootCatalog, NoNode, std::string()));
    std::array<uint8_t, SectorSize> entry{};
    if (!Read(catalog, entry.data()) || entry[0] != 1 || entry[30] != 0x55 || entry[31] != 0xAA ||
        (entry[32] != 0x88 && entry[32] != 0x00))
      break;
    const uint32_t image = GetLE32(entry.data() + 40);
    // Emulated diskettes have fixed sizes; a hard disk's is in its partition
    // table; otherwise the entry's count of 512-byte sectors.
    uint64_t bytes = uint64_t{GetLE16(entry.data() + 38)} * 512;
    switch (entry[33] & 0x0F) {
      case 1: bytes = 1200 * 1024; break;
      case 2: bytes = 1440 * 1024; break;
      case 3: bytes = 2880 * 1024; break;
      case 4: {
        std::array<uint8_t, SectorSize> mbr{};
        if (Read(image, mbr.data()) && mbr[510] == 0x55 && mbr[511] == 0xAA) {
          for (size_t p = 446; p < 510; p += 16) {
            const uint64_t end = uint64_t{GetLE32(mbr.data() + p + 8)} + GetLE32(mbr.data() + p + 12);
            bytes = std::max(bytes, end * 512);
          }
        }
        break;
      }
      default: break;
    }
    Claim(image, std::max<uint64_t>(1, SectorsOf(bytes)), AddNode(TKind::BootImage, NoNode, std::string()));
    break;
  }
  Resolve();
}

uint32_t TSectorOwners::AddNode(TKind kind, uint32_t parent, const std::string& name) {
  if (nodes_.size() >= MaxNodes || names_.size() + name.size() > MaxNameBytes) {
    truncated_ = true;
    return NoNode;
  }
  const auto index = static_cast<uint32_t>(nodes_.size());
  nodes_.push_back({kind, parent == NoNode ? index : parent, static_cast<uint32_t>(names_.size()),
                    static_cast<uint32_t>(name.size())});
  names_ += name;
  return index;
}

void TSectorOwners::Claim(uint64_t start, uint64_t sectors, uint32_t node) {
  if (node == NoNode || sectors == 0 || start >= AddressSpace)
    return;
  claims_.push_back({start, std::min(start + sectors, AddressSpace), node});
}

void TSectorOwners::Resolve() {
  // A sweep over the claims' ends: at each boundary the strongest claim
  // covering it (lowest kind, then the first made) owns up to the next one.
  std::vector<uint64_t> bounds;
  bounds.reserve(claims_.size() * 2);
  for (const TClaim& c : claims_) {
    bounds.push_back(c.Start);
    bounds.push_back(c.End);
  }
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  std::vector<uint32_t> order(claims_.size());
  for (uint32_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [this](uint32_t a, uint32_t b) { return claims_[a].Start < claims_[b].Start; });
  auto weaker = [this](uint32_t a, uint32_t b) {
    const TKind ka = nodes_[claims_[a].Node].Kind, kb = nodes_[claims_[b].Node].Kind;
    return ka != kb ? ka > kb : a > b;
  };
  std::priority_queue<uint32_t, std::vector<uint32_t>, decltype(weaker)> active(weaker);
  size_t next = 0;
  for (size_t b = 0; b + 1 < bounds.size(); ++b) {
    const uint64_t at = bounds[b];
    while (next < order.size() && claims_[order[next]].Start <= at)
      active.push(order[next++]);
    while (!active.empty() && claims_[active.top()].End <= at)
      active.pop();
    if (active.empty())
      continue;
    const uint32_t node = claims_[active.top()].Node;
    if (!segments_.empty() && segments_.back().End == at && segments_.back().Node == node)
      segments_.back().End = bounds[b + 1];
    else
      segments_.push_back({at, bounds[b + 1], node});
  }
  claims_.clear();
  claims_.shrink_to_fit();
}

uint32_t TSectorOwners::OwnerId(uint32_t Lba) const {
  auto it = std::upper_bound(segments_.begin(), segments_.end(), uint64_t{Lba},
                             [](uint64_t lba, const TSegment& s) { return lba < s.Start; });
  if (it == segments_.begin())
    return 0;
  --it;
  return Lba < it->End ? it->Node + 1 : 0;
}

std::string TSectorOwners::PathOf(uint32_t node) const {
  // Parents always come before their children, so the climb ends.
  std::vector<uint32_t> chain;
  while (nodes_[node].Parent != node) {
    chain.push_back(node);
    node = nodes_[node].Parent;
  }
  if (chain.empty())
    return "\\";
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    path += "\\" + names_.substr(nodes_[*it].NameOffset, nodes_[*it].NameLength);
  return path;
}

std::string TSectorOwners::OwnerText(uint32_t Id) const {
  if (Id == 0 || Id > nodes_.size())
    return std::string();
  const uint32_t node = Id - 1;
  switch (nodes_[node].Kind) {
    case TKind::VolumeDescriptor: return "VOLUME DESCRIPTOR";
    case TKind::PathTable: return "PATH TABLE";
    case TKind::Directory: return "DIRECTORY " + PathOf(node);
    case TKind::BootCatalog: return "BOOT CATALOG";
    case TKind::BootImage: return "BOOT IMAGE";
    case TKind::File: return "FILE " + PathOf(node);
  }
  return std::string();
}

bool TSectorOwners::IsFile(uint32_t Id) const {
  return Id != 0 && Id <= nodes_.size() && nodes_[Id - 1].Kind == TKind::File;
}

std::string TSectorOwners::OwnerOf(uint32_t Lba) const { return OwnerText(OwnerId(Lba)); }

std::string SectorOwner(const TSectorReader& Read, uint32_t VolumeStart, uint32_t Lba) {
  return TSectorOwners(Read, VolumeStart).OwnerOf(Lba);
}

} // namespace qnzb
