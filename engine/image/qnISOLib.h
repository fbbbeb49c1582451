#pragma once
// The layout tree of a compilation: directory nodes and entry nodes, owned by
// one program-wide set of tables, plus the ISO 9660 and Joliet naming rules and
// the path table order.
//
// The tables keep the system's observable order (creation order, entry lists
// in the order of adding, slots moving down on removal). The look-ups that the
// system describes as scans (a directory by path, an entry by name) go through
// hash indexes so that adding stays constant-time at 600,000 entries.
//
// Threading: built and changed on the main thread only; the recording threads
// read it while a job runs, so nothing may change it then.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/runtime/DateTime.h"

namespace qnzb {

struct TFEntry;

// One directory of the disc, the root included.
struct TDEntry {
  std::string IsoName;     // ISO 9660 directory identifier; the root's is "CD_ROOT"
  std::string LongName;    // Joliet name; the root's is "CD Root Directory"
  int64_t IsoSize = 0;     // bytes of the ISO directory extent (multiple of 2048)
  int64_t JolietSize = 0;  // bytes of the Joliet directory extent
  std::string Path;        // "\" for the root, else "\A\B" of upper-cased long names
  uint32_t IsoSector = 0;     // relative to the ISO directory start
  uint32_t JolietSector = 0;  // relative to the Joliet directory start
  uint8_t Level = 1;       // 1 for the root
  int32_t Number = 0;      // 1-based position in path table order
  TDEntry* Parent = nullptr;     // the root's parent is the root
  TFEntry* FirstEntry = nullptr; // head of the entry list

  // Layout bookkeeping, not part of the disc model.
  TFEntry* LastEntry = nullptr;  // tail of the entry list, for appending
  TFEntry* OwnEntry = nullptr;   // this directory's entry in its parent's list
};

// One file or sub-directory, listed in its directory's entry list.
struct TFEntry {
  std::string IsoName;     // upper-case short name, without ";1"
  std::string LongName;    // Joliet name, without ";1"
  // The local source file's folder (up to its last separator), shared by
  // every entry from that folder; nullptr for sub-directories and imports.
  const std::string* SourceFolder = nullptr;
  // The source file's name in that folder, only when the entry's name on the
  // disc does not give it (LocalName): most entries hold no copy of it.
  std::unique_ptr<const std::string> SourceName;
  TDateTime DateTime = 0;
  int64_t IsoSize = 0;     // file: its size; sub-directory: its directory's extent size
  int64_t JolietSize = 0;
  uint32_t IsoExtent = 0;  // relative to the first file sector (files), the directory start (sub-directories), absolute when imported
  uint32_t JolietExtent = 0;
  int32_t Attr = 0;        // 10h directory, 02h hidden, 20h archive
  bool ArchiveOnly = false;
  bool Imported = false;   // extents are absolute sectors of an earlier session
  TDEntry* Dir = nullptr;  // sub-directory: its directory node
  TFEntry* Next = nullptr; // next entry of the same directory

  // Layout bookkeeping, not part of the disc model.
  TDEntry* Owner = nullptr;  // the directory whose list holds this entry
  TFEntry* Prev = nullptr;
  uint64_t Seq = 0;          // adding order: list order within a directory

  [[nodiscard]] bool IsDirectory() const { return (Attr & 0x10) != 0; }
  [[nodiscard]] bool HasSource() const { return SourceFolder != nullptr; }
  // The local source file; empty for sub-directories and imports.
  [[nodiscard]] std::string SourcePath() const;
  // The same in two pieces, views into the layout: folder, then name.
  [[nodiscard]] std::pair<std::string_view, std::string_view> SourcePieces() const;
};

// Why a node could not be created.
enum class TNodeRefusal { None, DirTableFull, FileTableFull, TooDeep };

// The program-wide layout: one per program, shared by every burner component.
class TLayoutTables {
public:
  TLayoutTables();
  ~TLayoutTables();
  TLayoutTables(const TLayoutTables&) = delete;
  TLayoutTables& operator=(const TLayoutTables&) = delete;

  // Releases every node and makes a new root; sets the capacities.
  void Reset(int32_t maxFiles, int32_t maxDirs);

  // Directory nodes in creation order; index 0 is the root.
  std::vector<TDEntry*> DirTable;
  // The same nodes, in path table order after SortPathTableOrder().
  std::vector<TDEntry*> IsoDirOrder;
  std::vector<TDEntry*> JolietDirOrder;
  // Every entry node in creation order: file data is laid out in this order.
  std::vector<TFEntry*> FileTable;
  int32_t MaxDirs = 0;
  int32_t MaxFiles = 0;
  // Time zone offset in 15-minute units, taken at the last reset.
  int16_t TZOffset = 0;

  [[nodiscard]] int32_t DirCount() const { return static_cast<int32_t>(DirTable.size()); }
  [[nodiscard]] int32_t FileCount() const { return static_cast<int32_t>(FileTable.size()); }
  [[nodiscard]] TDEntry* Root() const { return DirTable.empty() ? nullptr : DirTable[0]; }

  // The root for "" or "\"; else the directory whose Path equals `path`
  // without one trailing "\", compared upper-cased; nullptr when none.
  [[nodiscard]] TDEntry* FindDirectory(std::string_view path) const;
  // The first entry of `dir` whose long name equals `longName` without
  // regard to ASCII case; nullptr when none.
  [[nodiscard]] TFEntry* FindEntry(const TDEntry* dir, std::string_view longName) const;

  // Creates a directory node under `parent` (Path, Level, Parent, LongName
  // set) with its entry node (LongName, Dir, Attr 10h) appended to the
  // parent's list. nullptr and the reason, with nothing created, when a table
  // is full or the tree would get deeper than 255 levels.
  [[nodiscard]] TDEntry* NewDirectory(TDEntry* parent, const std::string& longName, TNodeRefusal& why);
  // Creates an entry node (LongName set) appended to `dir`'s list. nullptr
  // when FileTable is full.
  [[nodiscard]] TFEntry* NewEntry(TDEntry* dir, const std::string& longName);
  // Changes an entry's long name, keeping the name index right.
  void RenameEntry(TFEntry* entry, const std::string& longName);
  // Sets (or, with "", clears) an entry's local source file. Call it after
  // the entry's name and attributes are set.
  void SetSource(TFEntry* entry, std::string_view path);

  // Removes `entry` from its directory and FileTable; a sub-directory entry
  // takes its whole sub-tree out of all four tables. Later slots move down.
  void RemoveEntry(TFEntry* entry);
  // Removes every non-root directory without entries, again and again until
  // none is left (directories emptied by the removal go too).
  void RemoveEmptyDirectories();

  // Sorts IsoDirOrder into path table order (breadth first: by level, then by
  // parent number and ISO name), numbers the directories 1.. in that order and
  // copies the order to JolietDirOrder.
  void SortPathTableOrder();

private:
  struct EntryKey {
    const TDEntry* dir;
    std::string_view name;
  };
  struct EntryHash {
    using is_transparent = void;
    size_t operator()(const TFEntry* e) const { return (*this)(EntryKey{e->Owner, e->LongName}); }
    size_t operator()(const EntryKey& k) const;
  };
  struct EntryEqual {
    using is_transparent = void;
    bool operator()(const TFEntry* a, const TFEntry* b) const { return (*this)(EntryKey{a->Owner, a->LongName}, b); }
    bool operator()(const EntryKey& k, const TFEntry* e) const;
    bool operator()(const TFEntry* e, const EntryKey& k) const { return (*this)(k, e); }
  };

  void ReleaseAll();
  void Unindex(TFEntry* entry);
  void Index(TFEntry* entry);
  void Unlink(TFEntry* entry);
  // Marks `entry` and, for a sub-directory, everything below it for removal.
  void CollectSubtree(TFEntry* entry, std::vector<TFEntry*>& entries, std::vector<TDEntry*>& dirs);
  void EraseNodes(const std::vector<TFEntry*>& entries, const std::vector<TDEntry*>& dirs);

  // Directory by Path (views into the nodes' own Path strings).
  std::unordered_map<std::string_view, TDEntry*> dirsByPath_;
  // The first entry of each (directory, upper-cased long name).
  std::unordered_set<TFEntry*, EntryHash, EntryEqual> entriesByName_;
  // The source folders the entries point to (a node-based set: they stay put).
  std::unordered_set<std::string> sourceFolders_;
  uint64_t nextSeq_ = 1;
};

// The one layout of the program.
extern TLayoutTables Layout;

// 2048 zero bytes.
inline constexpr std::array<uint8_t, 2048> ZeroSector{};

// ---- Names ----

// The root's names.
inline constexpr const char* RootIsoName = "CD_ROOT";
inline constexpr const char* RootLongName = "CD Root Directory";

// Short name of a directory made from a name alone (and of imported entries):
// the first 13 characters, ASCII letters upper-cased, every character with
// code 32 or below or 123 or above replaced by "_" (a multi-byte character
// counts as one).
[[nodiscard]] std::string ShortNameFromName(std::string_view name);

// Longest long names the Joliet directory records hold: a record has room
// for an identifier of 110 UTF-16 units, ";1" included for files.
inline constexpr size_t MaxFileNameUnits = 108;
inline constexpr size_t MaxFolderNameUnits = 110;

// `name` as the disc can carry it. Characters Joliet forbids ("*", "/", ":",
// ";", "?", "\") and control characters become "_". A name longer than its
// limit is cut to it in whole characters, keeping its extension (the part
// from the last ".", when at most 16 units), with "~" and 8 hex digits of a
// hash of the whole name before the extension: the same long name always
// gives the same short one (so folders still merge and an earlier session's
// file is recognised), different long names practically never the same.
[[nodiscard]] std::string DiscName(std::string_view name, bool isFile);

// An entry's name as the local disk had it, for copying it back there: a
// file without an extension carries a full stop at the end of its disc
// name, which this drops.
[[nodiscard]] std::string LocalName(const TFEntry& entry);

// ISO 9660 identifier bytes of a node: the ISO name, plus ";1" for files.
[[nodiscard]] std::string IsoIdentifier(const TFEntry& entry);
// Joliet identifier bytes: the long name (plus ";1" for files) in UTF-16
// big-endian, two bytes per unit.
[[nodiscard]] std::string JolietIdentifier(std::string_view longName, bool isFile);
// Number of UTF-16 units the Joliet identifier of `longName` takes, ";1" included for files.
[[nodiscard]] size_t JolietUnits(std::string_view longName, bool isFile);

// Sector count of `bytes`: 0 for 0, else rounded up.
[[nodiscard]] inline int64_t SectorCount(int64_t bytes) { return (bytes + 2047) / 2048; }
// `bytes` rounded up to a multiple of 2048.
[[nodiscard]] inline int64_t SectorBytes(int64_t bytes) { return SectorCount(bytes) * 2048; }

} // namespace qnzb
