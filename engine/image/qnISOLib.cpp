#include "engine/image/qnISOLib.h"

#include <algorithm>
#include <cstdio>

#include "engine/runtime/Strings.h"
#include "platform/PathText.h"
#include "platform/System.h"

namespace qnzb {

TLayoutTables Layout;

TLayoutTables::TLayoutTables() = default;

TLayoutTables::~TLayoutTables() { ReleaseAll(); }

void TLayoutTables::ReleaseAll() {
  entriesByName_.clear();
  dirsByPath_.clear();
  for (TFEntry*& e : FileTable) {
    delete e;
    e = nullptr;
  }
  for (TDEntry*& d : DirTable) {
    delete d;
    d = nullptr;
  }
  FileTable.clear();
  DirTable.clear();
  sourceFolders_.clear();
  IsoDirOrder.clear();
  JolietDirOrder.clear();
}

void TLayoutTables::Reset(int32_t maxFiles, int32_t maxDirs) {
  ReleaseAll();
  MaxFiles = std::max(maxFiles, 0);
  MaxDirs = std::max(maxDirs, 1);
  auto* root = new TDEntry;
  root->Path = "\\";
  root->IsoName = RootIsoName;
  root->LongName = RootLongName;
  root->Level = 1;
  root->Number = 1;
  root->Parent = root;
  DirTable.push_back(root);
  IsoDirOrder.push_back(root);
  JolietDirOrder.push_back(root);
}

TDEntry* TLayoutTables::FindDirectory(std::string_view path) const {
  if (path.empty() || path == "\\")
    return Root();
  if (path.back() == '\\')
    path.remove_suffix(1);
  const std::string key = UpperCase(path);
  if (key == "\\")
    return nullptr;  // only "\" itself names the root; the root is not in the index
  auto it = dirsByPath_.find(key);
  return it == dirsByPath_.end() ? nullptr : it->second;
}

size_t TLayoutTables::EntryHash::operator()(const EntryKey& k) const {
  // FNV-1a over the upper-cased name, seeded with the directory.
  uint64_t h = 1469598103934665603ull ^ reinterpret_cast<uintptr_t>(k.dir);
  for (char c : k.name) {
    h ^= static_cast<unsigned char>(UpperAscii(c));
    h *= 1099511628211ull;
  }
  return static_cast<size_t>(h);
}

bool TLayoutTables::EntryEqual::operator()(const EntryKey& k, const TFEntry* e) const {
  return k.dir == e->Owner && SameText(k.name, e->LongName);
}

TFEntry* TLayoutTables::FindEntry(const TDEntry* dir, std::string_view longName) const {
  auto it = entriesByName_.find(EntryKey{dir, longName});
  return it == entriesByName_.end() ? nullptr : *it;
}

void TLayoutTables::Index(TFEntry* entry) {
  auto it = entriesByName_.find(EntryKey{entry->Owner, entry->LongName});
  if (it == entriesByName_.end()) {
    entriesByName_.insert(entry);
  } else if ((*it)->Seq > entry->Seq) {
    // The index holds the first entry of a name in list order.
    entriesByName_.erase(it);
    entriesByName_.insert(entry);
  }
}

void TLayoutTables::Unindex(TFEntry* entry) {
  auto it = entriesByName_.find(EntryKey{entry->Owner, entry->LongName});
  if (it == entriesByName_.end() || *it != entry)
    return;
  entriesByName_.erase(it);
  // A later entry of the same name, if any, becomes the first.
  for (TFEntry* e = entry->Next; e; e = e->Next) {
    if (SameText(e->LongName, entry->LongName)) {
      entriesByName_.insert(e);
      break;
    }
  }
}

TFEntry* TLayoutTables::NewEntry(TDEntry* dir, const std::string& longName) {
  if (FileCount() >= MaxFiles)
    return nullptr;
  auto* e = new TFEntry;
  e->LongName = longName;
  e->Owner = dir;
  e->Seq = nextSeq_++;
  e->Prev = dir->LastEntry;
  if (dir->LastEntry)
    dir->LastEntry->Next = e;
  else
    dir->FirstEntry = e;
  dir->LastEntry = e;
  FileTable.push_back(e);
  Index(e);
  return e;
}

TDEntry* TLayoutTables::NewDirectory(TDEntry* parent, const std::string& longName, TNodeRefusal& why) {
  why = TNodeRefusal::None;
  if (DirCount() >= MaxDirs)
    why = TNodeRefusal::DirTableFull;
  else if (FileCount() >= MaxFiles)
    why = TNodeRefusal::FileTableFull;
  else if (parent->Level == 255)
    why = TNodeRefusal::TooDeep;
  if (why != TNodeRefusal::None)
    return nullptr;

  auto* d = new TDEntry;
  d->LongName = longName;
  d->Parent = parent;
  d->Level = static_cast<uint8_t>(parent->Level + 1);
  d->Path = (parent == Root() ? std::string() : parent->Path) + "\\" + UpperCase(longName);
  DirTable.push_back(d);
  IsoDirOrder.push_back(d);
  JolietDirOrder.push_back(d);
  dirsByPath_.emplace(d->Path, d);

  TFEntry* e = NewEntry(parent, longName);
  e->Attr = 0x10;
  e->Dir = d;
  d->OwnEntry = e;
  return d;
}

void TLayoutTables::SetSource(TFEntry* entry, std::string_view path) {
  entry->SourceName.reset();
  if (path.empty()) {
    entry->SourceFolder = nullptr;
    return;
  }
  const size_t cut = path.find_last_of(platform::PathSeparators) + 1;  // 0 without a separator
  entry->SourceFolder = &*sourceFolders_.emplace(path.substr(0, cut)).first;
  const std::string_view name = path.substr(cut);
  if (entry->SourcePieces().second != name)
    entry->SourceName = std::make_unique<const std::string>(name);
}

std::pair<std::string_view, std::string_view> TFEntry::SourcePieces() const {
  if (!SourceFolder)
    return {};
  if (SourceName)
    return {*SourceFolder, *SourceName};
  // LocalName without a copy: the long name, less the full stop a file
  // without an extension carries.
  std::string_view name = LongName;
  if (!IsDirectory() && name.size() > 1 && name.ends_with('.'))
    name.remove_suffix(1);
  return {*SourceFolder, name};
}

std::string TFEntry::SourcePath() const {
  const auto [folder, name] = SourcePieces();
  std::string path;
  path.reserve(folder.size() + name.size());
  path.append(folder).append(name);
  return path;
}

void TLayoutTables::RenameEntry(TFEntry* entry, const std::string& longName) {
  if (entry->LongName == longName)
    return;
  // A source name taken from the old name is kept as it was.
  if (entry->SourceFolder && !entry->SourceName)
    entry->SourceName = std::make_unique<const std::string>(entry->SourcePieces().second);
  Unindex(entry);
  entry->LongName = longName;
  Index(entry);
}

void TLayoutTables::Unlink(TFEntry* entry) {
  TDEntry* dir = entry->Owner;
  (entry->Prev ? entry->Prev->Next : dir->FirstEntry) = entry->Next;
  (entry->Next ? entry->Next->Prev : dir->LastEntry) = entry->Prev;
  entry->Next = entry->Prev = nullptr;
}

void TLayoutTables::CollectSubtree(TFEntry* entry, std::vector<TFEntry*>& entries,
                                   std::vector<TDEntry*>& dirs) {
  // Iterative: a deep tree must not exhaust the stack.
  std::vector<TFEntry*> pending{entry};
  while (!pending.empty()) {
    TFEntry* e = pending.back();
    pending.pop_back();
    entries.push_back(e);
    if (e->Dir) {
      dirs.push_back(e->Dir);
      for (TFEntry* child = e->Dir->FirstEntry; child; child = child->Next)
        pending.push_back(child);
    }
  }
}

void TLayoutTables::EraseNodes(const std::vector<TFEntry*>& entries, const std::vector<TDEntry*>& dirs) {
  // Seq 0 and Level 0 mark the nodes to go, so each table is compacted in one pass.
  for (TFEntry* e : entries) {
    auto it = entriesByName_.find(EntryKey{e->Owner, e->LongName});
    if (it != entriesByName_.end() && *it == e)
      entriesByName_.erase(it);
    e->Seq = 0;
  }
  for (TDEntry* d : dirs) {
    dirsByPath_.erase(d->Path);
    d->Level = 0;
  }
  std::erase_if(FileTable, [](const TFEntry* e) { return e->Seq == 0; });
  auto gone = [](const TDEntry* d) { return d->Level == 0; };
  std::erase_if(DirTable, gone);
  std::erase_if(IsoDirOrder, gone);
  std::erase_if(JolietDirOrder, gone);
  for (TFEntry* e : entries)
    delete e;
  for (TDEntry* d : dirs)
    delete d;
}

void TLayoutTables::RemoveEntry(TFEntry* entry) {
  std::vector<TFEntry*> entries;
  std::vector<TDEntry*> dirs;
  CollectSubtree(entry, entries, dirs);
  Unindex(entry);  // promotes a later namesake in the surviving directory
  Unlink(entry);
  EraseNodes(entries, dirs);
}

void TLayoutTables::RemoveEmptyDirectories() {
  for (;;) {
    std::vector<TFEntry*> entries;
    std::vector<TDEntry*> dirs;
    for (size_t i = 1; i < DirTable.size(); ++i) {
      TDEntry* d = DirTable[i];
      if (!d->FirstEntry) {
        dirs.push_back(d);
        entries.push_back(d->OwnEntry);
      }
    }
    if (dirs.empty())
      return;
    for (TFEntry* e : entries) {
      Unindex(e);
      Unlink(e);
    }
    EraseNodes(entries, dirs);
  }
}

void TLayoutTables::SortPathTableOrder() {
  if (IsoDirOrder.size() <= 2) {
    JolietDirOrder = IsoDirOrder;
    for (size_t i = 0; i < IsoDirOrder.size(); ++i)
      IsoDirOrder[i]->Number = static_cast<int32_t>(i + 1);
    return;
  }
  auto renumber = [this] {
    for (size_t i = 0; i < IsoDirOrder.size(); ++i)
      IsoDirOrder[i]->Number = static_cast<int32_t>(i + 1);
  };
  // Position 0 holds the root and never moves.
  auto first = IsoDirOrder.begin() + 1;
  std::stable_sort(first, IsoDirOrder.end(), [](const TDEntry* a, const TDEntry* b) {
    if (a->Level != b->Level)
      return a->Level < b->Level;
    return a->IsoName < b->IsoName;
  });
  renumber();
  // Grouping children by their parents' numbers renumbers the parents' own
  // children, so repeat until every parent precedes its children in order.
  for (;;) {
    std::stable_sort(first, IsoDirOrder.end(), [](const TDEntry* a, const TDEntry* b) {
      if (a->Parent->Number != b->Parent->Number)
        return a->Parent->Number < b->Parent->Number;
      return a->IsoName < b->IsoName;
    });
    renumber();
    bool ordered = true;
    for (size_t i = 2; i < IsoDirOrder.size() && ordered; ++i)
      ordered = IsoDirOrder[i - 1]->Parent->Number <= IsoDirOrder[i]->Parent->Number;
    if (ordered)
      break;
  }
  JolietDirOrder = IsoDirOrder;
}

std::string ShortNameFromName(std::string_view name) {
  name = name.substr(0, CodePointPrefix(name, 13));
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80) {
      // One "_" per multi-byte character: skip its continuation bytes.
      while (i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80)
        ++i;
      out += '_';
    } else if (c <= 32 || c >= 123) {
      out += '_';
    } else {
      out += UpperAscii(static_cast<char>(c));
    }
  }
  return out;
}

std::string LocalName(const TFEntry& entry) {
  if (!entry.IsDirectory() && entry.LongName.size() > 1 && entry.LongName.ends_with('.'))
    return entry.LongName.substr(0, entry.LongName.size() - 1);
  return entry.LongName;
}

std::string DiscName(std::string_view name, bool isFile) {
  std::string out(name);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '*' || c == '/' || c == ':' || c == ';' || c == '?' || c == '\\')
      c = '_';
  }
  const size_t limit = isFile ? MaxFileNameUnits : MaxFolderNameUnits;
  if (platform::Utf16Length(out) <= limit)
    return out;

  std::u16string units = platform::AnsiToUtf16(out);
  std::u16string extension;
  const size_t dot = units.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0 && units.size() - dot <= 16)
    extension = units.substr(dot);
  uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the name as given
  for (const char c : name)
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
  char tag[16];
  std::snprintf(tag, sizeof tag, "~%08llX", static_cast<unsigned long long>(hash & 0xFFFFFFFFull));
  const std::u16string suffix = platform::AnsiToUtf16(tag) + extension;
  size_t keep = limit - suffix.size();
  // A surrogate pair is one character: never cut between its halves.
  if (keep > 0 && units[keep - 1] >= 0xD800 && units[keep - 1] <= 0xDBFF)
    --keep;
  units.resize(keep);
  return platform::Utf16ToAnsi(units + suffix);
}

std::string IsoIdentifier(const TFEntry& entry) {
  return entry.IsDirectory() ? entry.IsoName : entry.IsoName + ";1";
}

std::string JolietIdentifier(std::string_view longName, bool isFile) {
  std::u16string units = platform::AnsiToUtf16(longName);
  if (isFile)
    units += u";1";
  std::string out;
  out.reserve(units.size() * 2);
  for (char16_t u : units) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  }
  return out;
}

size_t JolietUnits(std::string_view longName, bool isFile) {
  return platform::Utf16Length(longName) + (isFile ? 2 : 0);
}

} // namespace qnzb
