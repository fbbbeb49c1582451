// The burner component's layout operations: filling the layout tree from local
// files and folders, and removing from it.

#include <algorithm>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Beep.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"
#include "platform/System.h"

namespace qnzb {

namespace {

constexpr int64_t FourGiB = int64_t{1} << 32;
constexpr size_t MaxLongNameUnits = 109;

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// Layout paths use "\" as separator, so a local name may not carry one.
std::string LayoutName(std::string name) {
  std::replace(name.begin(), name.end(), '\\', '_');
  return name;
}

TDateTime ListingDate(const TListing& listing) {
  TDateTime when;
  if (UnixTimeToLocalDateTime(listing.WriteTimeSec, listing.WriteTimeNsec, when))
    return when;
  return Now();
}

// A local folder path with exactly one trailing "/".
std::string WithTrailingSlash(std::string path) {
  if (path.empty() || path.back() != '/')
    path += '/';
  return path;
}

} // namespace

bool TQNZBurner::ResetLayout(int32_t MaxFiles, int32_t MaxDirs) {
  Layout.TZOffset = static_cast<int16_t>(-platform::TimeZoneBias() / 15);
  MetadataStream.clear();
  Layout.Reset(MaxFiles, MaxDirs);
  TotalBytes = 0;
  LastEntry = nullptr;
  return true;
}

TDEntry* TQNZBurner::NewDirectoryLogged(TDEntry* parent, const std::string& longName, const std::string& what) {
  TNodeRefusal why;
  TDEntry* dir = Layout.NewDirectory(parent, longName, why);
  switch (why) {
  case TNodeRefusal::None:
    break;
  case TNodeRefusal::DirTableFull:
    SendDebugMessage(StatusPrefix + Format(msgMaxDirectories, Layout.MaxDirs), mtTable);
    break;
  case TNodeRefusal::FileTableFull:
    SendDebugMessage(Format(msgMaxFiles, Layout.MaxFiles), mtTable);
    break;
  case TNodeRefusal::TooDeep:
    SendDebugMessage(StatusPrefix + Format(msgTooDeep, what.c_str()), mtError);
    break;
  }
  return dir;
}

TFEntry* TQNZBurner::NewEntryLogged(TDEntry* dir, const std::string& longName) {
  TFEntry* entry = Layout.NewEntry(dir, longName);
  if (!entry)
    SendDebugMessage(Format(msgMaxFiles, Layout.MaxFiles), mtTable);
  return entry;
}

TDEntry* TQNZBurner::AddDirEntry(TDEntry* Parent, const TListing& Listing) {
  if (!Parent)
    return nullptr;
  const std::string name = LayoutName(Listing.Name);
  std::string key = Parent->Path + "\\" + name;
  if (key.starts_with("\\\\"))
    key.erase(0, 1);
  if (TDEntry* existing = FindDirectory(key))
    return existing;

  TDEntry* dir = NewDirectoryLogged(Parent, name, key);
  if (!dir)
    return nullptr;
  const std::string shortName = Listing.AlternateName.empty() ? UpperCase(name) : Listing.AlternateName;
  dir->IsoName = shortName;
  TFEntry* entry = dir->OwnEntry;
  entry->IsoName = shortName;
  entry->Attr = Listing.Attr | platform::faDirectory;
  entry->DateTime = ListingDate(Listing);
  LayoutReady = false;
  return dir;
}

TDEntry* TQNZBurner::AddDirByName(TDEntry* Parent, const std::string& DirName, int32_t Attr) {
  std::string name = DirName;
  if (name.starts_with('\\'))
    name.erase(0, 1);
  if (name.ends_with('\\'))
    name.pop_back();
  TListing listing;
  listing.Name = name;
  listing.AlternateName = ShortNameFromName(name);
  listing.Attr = Attr;
  int32_t ns = 0;
  if (!LocalDateTimeToUnixTime(Now(), listing.WriteTimeSec, ns))
    listing.WriteTimeSec = 0;
  listing.WriteTimeNsec = ns;
  return AddDirEntry(Parent, listing);
}

TDEntry* TQNZBurner::ForceDirectory(const std::string& Path) {
  if (TDEntry* dir = FindDirectory(Path))
    return dir;
  // Each "\" ends a prefix that must exist before the next name is made under
  // it. Walking the prefixes from the shortest keeps the stack flat however
  // long the path is.
  std::vector<size_t> cuts;
  for (size_t i = 0; i < Path.size(); ++i)
    if (Path[i] == '\\')
      cuts.push_back(i);
  if (cuts.empty())
    return nullptr;  // not a layout path
  TDEntry* parent = cuts[0] == 0 ? RootDir() : FindDirectory(Path.substr(0, cuts[0]));
  if (!parent)
    return nullptr;
  for (size_t k = 0; k < cuts.size(); ++k) {
    const bool final = k + 1 == cuts.size();
    const size_t end = final ? Path.size() : cuts[k + 1];
    if (!final) {
      if (TDEntry* found = FindDirectory(Path.substr(0, end))) {
        parent = found;
        continue;
      }
    }
    const std::string last = Path.substr(cuts[k] + 1, end - cuts[k] - 1);
    parent = last.empty() ? nullptr : AddDirByName(parent, last, platform::faDirectory);
    // A prefix that neither exists nor can be made has no directories below it.
    if (!parent)
      return nullptr;
  }
  return parent;
}

int32_t TQNZBurner::AddFileEntry(TDEntry* Dir, const TListing& Listing, const std::string& FullPath,
                                 uint32_t Extent, bool ArchiveOnly) {
  if (!Dir)
    return 0;
  const int64_t size = Listing.Size();
  if (size >= FourGiB) {
    SendDebugMessage(StatusPrefix + Format(msgFileTooLarge, FullPath.c_str()), mtError);
    return 0;
  }
  std::string longName = LayoutName(Listing.Name);
  if ((Listing.Attr & platform::faDirectory) == 0 && longName.find('.') == std::string::npos)
    longName += '.';
  TFEntry* existing = FindEntry(Dir, longName);
  std::string shortName = Listing.AlternateName.empty() ? UpperCase(longName) : Listing.AlternateName;
  TDateTime when = ListingDate(Listing);
  const bool replace = existing && ReplaceFile;
  bool skip = platform::Utf16Length(longName) > MaxLongNameUnits;

  if (OnAddFile)
    OnAddFile(this, FullPath, longName, shortName, when, Listing.Attr, size, skip);

  if (skip)
    return 0;
  TFEntry* node;
  if (replace) {
    if (existing->IsDirectory()) {
      // Turning a folder's entry into a file would orphan the folder's sub-tree.
      SendDebugMessage(StatusPrefix + Format(msgNameIsFolder, FullPath.c_str()), mtError);
      return 0;
    }
    node = existing;
    if (!node->Imported)
      TotalBytes -= SectorBytes(node->IsoSize);
    Layout.RenameEntry(node, LayoutName(longName));
  } else if (existing) {
    return 0;
  } else {
    node = NewEntryLogged(Dir, LayoutName(longName));
    if (!node)
      return 0;
  }

  node->IsoName = UpperCase(shortName);
  node->IsoSize = node->JolietSize = size;
  node->Attr = Listing.Attr;
  node->DateTime = when;
  node->SourcePath = FullPath;
  node->ArchiveOnly = ArchiveOnly;
  if (Extent != 0) {
    node->IsoExtent = node->JolietExtent = Extent;
    node->Imported = true;
  } else {
    TotalBytes += SectorBytes(size);
    node->Imported = false;
  }
  LayoutReady = false;
  LastEntry = node;
  return 1;
}

std::string TQNZBurner::LayoutPathOf(const std::string& sourceFolder) {
  std::string path = sourceFolder;
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.starts_with("\\\\")) {
    // "\\server\share\rest": the rest keeps its leading "\".
    const size_t share = path.find('\\', 2);
    const size_t rest = share == std::string::npos ? std::string::npos : path.find('\\', share + 1);
    return rest == std::string::npos ? std::string("\\") : path.substr(rest);
  }
  if (path.size() >= 2 && path[1] == ':')
    return path.substr(2);
  return path;
}

std::string TQNZBurner::LastFolderOf(const std::string& layoutPath) {
  std::string path = layoutPath;
  const bool trailing = path.ends_with('\\');
  if (trailing)
    path.pop_back();
  if (path.empty())
    return layoutPath;
  const size_t cut = path.rfind('\\');
  std::string last = cut == std::string::npos ? "\\" + path : path.substr(cut);
  if (trailing)
    last += '\\';
  return last;
}

int32_t TQNZBurner::AddFile(const std::string& DestPath, const std::string& SourceFile, bool PlaceByPath) {
  TDEntry* dest;
  if (PlaceByPath) {
    const size_t slash = SourceFile.find_last_of('/');
    std::string path = LayoutPathOf(slash == std::string::npos ? std::string() : SourceFile.substr(0, slash + 1));
    if (LastFolderOnly)
      path = LastFolderOf(path);
    ForceDirectory(path);
    dest = FindDirectory(path);
  } else {
    dest = FindDirectory(DestPath);
  }
  if (!dest) {
    SendDebugMessage(msgInvalidDestination, mtError);
    return 0;
  }
  const std::vector<TListing> found = platform::FindFiles(SourceFile, platform::faAnyFile);
  if (found.empty() || (found.front().Attr & platform::faDirectory))
    return -1;
  AddFileEntry(dest, found.front(), SourceFile, 0, false);
  return 1;
}

int32_t TQNZBurner::AddFolder(TDEntry* Dest, const std::string& SourcePath, const std::string& Mask,
                              int32_t AttrMask, bool Recursive, bool PlaceByPath, bool ArchiveOnly) {
  if (!Dest)
    return 0;
  if (PlaceByPath) {
    std::string path = LayoutPathOf(SourcePath);
    if (LastFolderOnly)
      path = LastFolderOf(path);
    else if (!Dest->Path.empty() && Dest->Path != "\\")
      path = Dest->Path + path;
    ForceDirectory(path);
    Dest = FindDirectory(path);
    if (!Dest) {
      SendDebugMessage(msgInvalidDestination, mtError);
      return 0;
    }
  }
  const std::string source = WithTrailingSlash(SourcePath);
  const std::string mask = Mask.empty() ? "*.*" : Mask;
  int32_t result = 0;

  if (Recursive) {
    for (const TListing& item : platform::FindFiles(source + "*.*", platform::faAnyFile)) {
      result = 1;
      if (!(item.Attr & platform::faDirectory) || IsDotName(item.Name))
        continue;
      std::string longName = item.Name;
      std::string shortName = item.AlternateName.empty() ? UpperCase(item.Name) : item.AlternateName;
      bool skip = false;
      if (OnAddDir)
        OnAddDir(this, longName, shortName, skip);
      if (skip)
        continue;
      TListing renamed = item;
      renamed.Name = longName;
      renamed.AlternateName = shortName;
      TDEntry* dir = AddDirEntry(Dest, renamed);
      if (!dir)
        return 0;
      if (item.Name == "Installer")
        MessageBeep();
      result = AddFolder(dir, source + item.Name, mask, AttrMask, Recursive, false, ArchiveOnly);
      if (!dir->FirstEntry)
        RemoveDirectory(dir);
      if (result == 0)
        return 0;
    }
  }

  for (const TListing& item : platform::FindFiles(source + mask, AttrMask)) {
    if (IsDotName(item.Name)) {
      result = 1;
    } else if (!(item.Attr & platform::faDirectory) && (!ArchiveOnly || (item.Attr & platform::faArchive))) {
      result = AddFileEntry(Dest, item, source + item.Name, 0, ArchiveOnly);
    }
  }
  LayoutReady = false;
  return result;
}

void TQNZBurner::Forget(TFEntry* entry) {
  // LastEntry must not outlive the node it names.
  if (!LastEntry)
    return;
  if (LastEntry == entry) {
    LastEntry = nullptr;
    return;
  }
  if (entry->Dir) {
    for (const TDEntry* d = LastEntry->Owner; d && d != RootDir(); d = d->Parent) {
      if (d == entry->Dir) {
        LastEntry = nullptr;
        return;
      }
    }
  }
}

bool TQNZBurner::RemoveEntry(TDEntry* Dir, TFEntry* Entry) {
  if (!Dir || !Entry || Entry->Owner != Dir)
    return true;
  Forget(Entry);
  Layout.RemoveEntry(Entry);
  return true;
}

bool TQNZBurner::RemoveByName(const std::string& DirPath, const std::string& LongName) {
  TDEntry* dir = FindDirectory(DirPath);
  TFEntry* entry = dir ? FindEntry(dir, LongName) : nullptr;
  if (!entry)
    return false;
  RemoveEntry(dir, entry);
  return true;
}

bool TQNZBurner::RemoveDirectory(TDEntry*& Dir) {
  if (!Dir || Dir == RootDir() || Dir->Path == "\\")
    return false;
  // The directory's own entry, not a namesake found by name, takes the sub-tree with it.
  RemoveEntry(Dir->Parent, Dir->OwnEntry);
  Dir = nullptr;
  return true;
}

bool TQNZBurner::RemoveEmptyDirectories() {
  // Only directory entries go here; LastEntry names a file unless an import set it.
  if (LastEntry && LastEntry->IsDirectory())
    LastEntry = nullptr;
  Layout.RemoveEmptyDirectories();
  return true;
}

int64_t TQNZBurner::FolderSize(const std::string& Path) const {
  int64_t total = 0;
  if (Path.ends_with('/')) {
    for (const TListing& item : platform::FindFiles(Path + "*.*", platform::faAnyFile)) {
      if (IsDotName(item.Name))
        continue;
      if (item.Attr & platform::faDirectory)
        total += FolderSize(Path + item.Name + "/");
      else
        total += item.Size();
    }
    return total;
  }
  for (const TListing& item : platform::FindFiles(Path, platform::faAnyFile))
    if (!(item.Attr & platform::faDirectory))
      total += item.Size();
  return total;
}

bool TQNZBurner::ClearArchiveBits() {
  for (const TFEntry* entry : Layout.FileTable) {
    if (!entry->IsDirectory() && (entry->Attr & platform::faArchive) && entry->ArchiveOnly)
      (void)platform::SetFileAttributes(entry->SourcePath, entry->Attr - platform::faArchive);
  }
  return true;
}

} // namespace qnzb
