#pragma once
// Folder listings as the system expects them from find-first/next: each item
// with its Windows-style short (8.3) alternate name, attributes, last-write time
// and 64-bit size. Symbolic links are followed; broken links and links that
// lead back into the folder or one above it are left out with a log line
// (PlatformLog, System.h), and so are pipes, sockets and devices, which have
// no file data to read.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qnzb::platform {

// Attribute bits, as the Windows file system reports them.
inline constexpr int32_t faReadOnly = 0x01;
inline constexpr int32_t faHidden = 0x02;
inline constexpr int32_t faSysFile = 0x04;
inline constexpr int32_t faVolumeID = 0x08;
inline constexpr int32_t faDirectory = 0x10;
inline constexpr int32_t faArchive = 0x20;
inline constexpr int32_t faAnyFile = 0x3F;

// One listed item.
struct TListing {
  std::string Name;           // as on disk (system code page)
  std::string AlternateName;  // the 8.3 alias; empty when Name is a valid 8.3 name
  int32_t Attr = 0;           // fa* bits
  uint32_t SizeHigh = 0;      // the 64-bit size in two halves, as the listing has it
  uint32_t SizeLow = 0;
  int64_t WriteTimeSec = 0;   // last write, Unix seconds (UTC)
  int32_t WriteTimeNsec = 0;
  bool Unreadable = false;    // a file this process may not read (permissions)

  [[nodiscard]] int64_t Size() const { return (static_cast<int64_t>(SizeHigh) << 32) | SizeLow; }
};

// Lists `pattern`: a folder path followed by a name or a wildcard mask in its
// last component ("/a/b/*.*", "/a/b/file.txt", "/a/b/*.TXT"). Windows matching:
// case-insensitive, "*" and "?", "*.*" matches every name. For a folder other
// than the file system root the list starts with "." and ".." (as find-first
// gives them) when the mask matches them; the rest is sorted by name.
// Items are returned when their attributes are covered by `attrMask` the way
// find-first filters: hidden, system and directory items only when the mask
// has that bit; every other item always. An unreadable or missing folder, or
// nothing matching, gives an empty list.
// Aliases are numbered over all names of the folder in listing order, so an
// item has the same alias whatever the mask. "." and ".." carry the
// attributes of the folder and of its parent, never hidden; folders
// report size 0. A pattern without "/" lists the current folder.
// A file's archive bit is looked up only when `attrMask` holds faArchive
// (on POSIX that reads an extended attribute per file); without it every
// file carries faArchive, as a file changed since its last backup does.
// Thread-safe; the order is sorted by the ASCII upper-cased name, ties by the
// name's bytes.
[[nodiscard]] std::vector<TListing> FindFiles(std::string_view pattern, int32_t attrMask);

// An item a listing could not give, or a folder it could not read.
struct TListingProblem {
  std::string Path;    // the item's (or the folder's) path as listed
  std::string Reason;  // upper case: "BROKEN LINK", "CANNOT READ THE FOLDER (Permission denied)"
};
// FindFiles, with every item left out of the listing that the mask would
// have selected (broken links, special files, links to an enclosing folder,
// items that vanished or can't be looked at) and a folder that can't be
// opened or read to its end reported in `problems` instead of the platform
// log, so that the caller can tell the user what is missing.
[[nodiscard]] std::vector<TListing> FindFiles(std::string_view pattern, int32_t attrMask,
                                              std::vector<TListingProblem>& problems);

// The Windows 8.3 alias that `name` gets in a folder where `taken` already
// holds the aliases (and valid short names) present, upper case. Empty when
// `name` is already a valid 8.3 name in any case, and for "." and "..".
// Otherwise: ASCII upper case, spaces and leading dots dropped; the extension
// is what follows the last dot, the base what precedes it with its dots
// dropped; "+,;=[]", other characters not allowed in short names and every
// non-ASCII character (one UTF-8 sequence counts as one character) become "_".
// The alias is the first six characters of the base + "~N" + "." + the first
// three characters of the extension (no dot when there is none), N the
// smallest number from 1 whose alias is not in `taken`; the base shortens so
// that the part before the dot stays within 8 characters ("MYLON~10.TXT").
// A name of only dots and spaces has base "_".
[[nodiscard]] std::string ShortAlias(std::string_view name, const std::vector<std::string>& taken);
// True when `name` is a valid 8.3 name (in any case): a base of 1 to 8 and an
// optional extension of 1 to 3 characters from A-Z (either case), 0-9 and
// !#$%&'()-@^_`{}~.
[[nodiscard]] bool IsValidShortName(std::string_view name);

} // namespace qnzb::platform
