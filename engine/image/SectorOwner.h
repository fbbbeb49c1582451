#pragma once
// What a sector of an ISO 9660 volume belongs to: a volume descriptor, a path
// table, a directory, the El Torito boot catalog or boot image, a file, or
// nothing (the system area, padding). A verify names the owner of the first
// sector that differs, so that the user learns which file is damaged.
//
// The volume is read through a caller's sector reader and is untrusted: a
// directory that points at itself or at another one, records with lying
// lengths, extents of 4 GiB or past the end, a tree thousands deep. The walk
// reads every metadata sector at most once, stops at fixed limits and never
// follows a file's data, so its work is bounded whatever the volume holds;
// what it can't make sense of simply owns nothing.
//
// Threading: one thread at a time per object; the reader is called only by
// the constructor (and SectorOwner), never afterwards.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qnzb {

// Reads the 2048-byte sector at the absolute address Lba into Sector (room
// for 2048 bytes). False when it can't be read: the sector then counts as
// holding nothing.
using TSectorReader = std::function<bool(uint32_t Lba, uint8_t* Sector)>;

// The owners of every sector of one volume, found once and looked up many
// times.
class TSectorOwners {
public:
  // Walks the volume whose first sector (its system area) is the absolute
  // address VolumeStart: the volume descriptors from VolumeStart + 16 up to
  // the terminator, the path tables they name, the directory tree (the
  // Joliet tree when a supplementary descriptor names UCS-2, else the
  // primary one; the other tree's own directories too) and the boot catalog
  // with its initial entry's image. Every address recorded in the volume is
  // taken as absolute, as on a multi-session disc. Never throws for what the
  // volume holds.
  TSectorOwners(const TSectorReader& Read, uint32_t VolumeStart);

  // The owner of the absolute sector Lba, exactly one of
  //   "VOLUME DESCRIPTOR", "PATH TABLE", "DIRECTORY \" (the root),
  //   "DIRECTORY \PATH\NAME", "BOOT CATALOG", "BOOT IMAGE", "FILE \PATH\NAME"
  // ("" when nothing owns it). Names are the Joliet long names when the
  // Joliet tree was read, else the ISO 9660 names without their ";1" (the
  // ISO tree's own directories keep their ISO names); a control character
  // shows as \xNN. Where a damaged volume gives one sector
  // two owners, the first of that list wins, then the first one found.
  [[nodiscard]] std::string OwnerOf(uint32_t Lba) const;

  // A number per owner, for telling owners apart cheaply (a verify lists
  // each differing file once): 0 for no owner; equal numbers, equal owner.
  [[nodiscard]] uint32_t OwnerId(uint32_t Lba) const;
  // The text of an OwnerId; "" for 0 and for a number that names no owner.
  [[nodiscard]] std::string OwnerText(uint32_t Id) const;
  // Whether an OwnerId names a file.
  [[nodiscard]] bool IsFile(uint32_t Id) const;

  // False when no volume descriptor was found at VolumeStart + 16.
  [[nodiscard]] bool HasVolume() const { return hasVolume_; }
  // True when the walk stopped at one of its limits, so that part of the
  // tree owns nothing here.
  [[nodiscard]] bool Truncated() const { return truncated_; }

private:
  enum class TKind : uint8_t { VolumeDescriptor, PathTable, Directory, BootCatalog, BootImage, File };
  struct TNode {
    TKind Kind;
    uint32_t Parent;      // node of the directory holding it; the node itself for a root
    uint32_t NameOffset;  // in names_
    uint32_t NameLength;
  };
  struct TClaim {
    uint64_t Start;
    uint64_t End;  // exclusive
    uint32_t Node;
  };
  struct TSegment {
    uint64_t Start;
    uint64_t End;
    uint32_t Node;
  };
  class TWalk;

  uint32_t AddNode(TKind kind, uint32_t parent, const std::string& name);
  void Claim(uint64_t start, uint64_t sectors, uint32_t node);
  // Turns the claims into disjoint segments, the stronger claim winning.
  void Resolve();
  [[nodiscard]] std::string PathOf(uint32_t node) const;

  std::vector<TNode> nodes_;
  std::string names_;
  std::vector<TClaim> claims_;
  std::vector<TSegment> segments_;
  bool hasVolume_ = false;
  bool truncated_ = false;
};

// The owner of one sector, as TSectorOwners(Read, VolumeStart).OwnerOf(Lba):
// for one lookup. Build a TSectorOwners to look up many.
[[nodiscard]] std::string SectorOwner(const TSectorReader& Read, uint32_t VolumeStart, uint32_t Lba);

} // namespace qnzb
