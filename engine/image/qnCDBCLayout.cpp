// The burner component's layout operations: filling the layout tree from local
// files and folders, and removing from it.

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Beep.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"
#include "platform/System.h"

namespace qnzb {

namespace {

constexpr int64_t FourGiB = int64_t{1} << 32;

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// A mask that every name matches.
bool IsEveryName(const std::string& mask) { return mask == "*.*" || mask == "*"; }

// A layout path as users read it in messages.
std::string Shown(const TDEntry* dir) { return dir->Path.empty() ? std::string("\\") : dir->Path; }

// The layout path of `name` under `parent`, as directories are keyed.
std::string ChildPath(const TDEntry* parent, const std::string& name) {
  std::string key = parent->Path + "\\" + name;
  if (key.starts_with("\\\\"))
    key.erase(0, 1);
  return key;
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
  ownerIndex_.clear();
  Layout.Reset(MaxFiles, MaxDirs);
  TotalBytes = 0;
  LastEntry = nullptr;
  LeftOut.clear();
  return true;
}

std::string TQNZBurner::LeftOutSummary() const {
  return LeftOut.empty() ? std::string() : Format(msgLeftOutSummary, static_cast<int>(LeftOut.size()));
}

void TQNZBurner::LogDiscName(const std::string& given, const std::string& name, bool isFile,
                             const std::string& where) {
  if (name == given)
    return;
  // A shortened name is news; characters Joliet can't hold are replaced as
  // every burner does.
  const bool shortened = platform::Utf16Length(given) > (isFile ? MaxFileNameUnits : MaxFolderNameUnits);
  SendDebugMessage(StatusPrefix + Format(shortened ? msgNameShortened : msgNameChanged, name.c_str(), where.c_str()),
                   shortened ? mtPlain : mtProgress);
}

void TQNZBurner::NoteLeftOut(const std::string& path, const std::string& reason, bool log) {
  LeftOut.push_back({path, reason});
  if (log)
    SendDebugMessage(StatusPrefix + reason + msgNotAdded + path, mtError);
}

bool TQNZBurner::SameFile(const TFEntry& existing, const std::string& FullPath, int64_t size, TDateTime when) {
  if (existing.IsoSize != size)
    return false;
  if (existing.Imported) {
    // The disc keeps whole seconds of local time: the same file comes back
    // within a second of its date.
    constexpr double TwoSeconds = 2.0 / 86400.0;
    return std::fabs(existing.DateTime - when) < TwoSeconds;
  }
  const std::string source = existing.SourcePath();
  if (source == FullPath)
    return true;
  // The same file reached twice, through a link or two overlapping sources.
  std::error_code ec;
  return !source.empty() && std::filesystem::equivalent(source, FullPath, ec);
}

TFEntry* TQNZBurner::NewEntryLogged(TDEntry* dir, const std::string& longName) {
  TFEntry* entry = Layout.NewEntry(dir, longName);
  if (!entry)
    SendDebugMessage(Format(msgMaxFiles, Layout.MaxFiles), mtTable);
  return entry;
}

TDEntry* TQNZBurner::AddDirEntry(TDEntry* Parent, const TListing& Listing) {
  std::string why;
  TDEntry* dir = AddDirEntryWhy(Parent, Listing, why);
  // A full table has said so already.
  if (!dir && !why.empty() && why != whyLayoutFull)
    SendDebugMessage(StatusPrefix + why + msgNotAdded + ChildPath(Parent, DiscName(Listing.Name, false)), mtError);
  return dir;
}

TDEntry* TQNZBurner::AddDirEntryWhy(TDEntry* Parent, const TListing& Listing, std::string& why) {
  if (!Parent)
    return nullptr;
  const std::string name = DiscName(Listing.Name, false);
  if (TDEntry* existing = FindDirectory(ChildPath(Parent, name)))
    return existing;
  // A folder and a file of one name can't both be in a directory.
  if (const TFEntry* file = FindEntry(Parent, name); file && !file->IsDirectory()) {
    why = Format(whyNameIsFile, Shown(Parent).c_str());
    return nullptr;
  }

  TNodeRefusal refusal;
  TDEntry* dir = Layout.NewDirectory(Parent, name, refusal);
  if (!dir) {
    why = refusal == TNodeRefusal::TooDeep ? whyFolderTooDeep : whyLayoutFull;
    if (refusal == TNodeRefusal::DirTableFull)
      SendDebugMessage(StatusPrefix + Format(msgMaxDirectories, Layout.MaxDirs), mtTable);
    else if (refusal == TNodeRefusal::FileTableFull)
      SendDebugMessage(Format(msgMaxFiles, Layout.MaxFiles), mtTable);
    return nullptr;
  }
  LogDiscName(Listing.Name, name, false, ChildPath(Parent, Listing.Name));
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
  const bool local = !FullPath.empty();
  const int64_t size = Listing.Size();
  if (size >= FourGiB) {
    if (local)
      NoteLeftOut(FullPath, whyFileTooLarge);
    return 0;
  }
  const bool isFile = (Listing.Attr & platform::faDirectory) == 0;
  std::string given = Listing.Name;
  if (isFile && given.find('.') == std::string::npos)
    given += '.';
  std::string longName = DiscName(given, isFile);
  LogDiscName(given, longName, isFile, local ? FullPath : ChildPath(Dir, given));
  TFEntry* existing = FindEntry(Dir, longName);
  std::string shortName = Listing.AlternateName.empty() ? UpperCase(longName) : Listing.AlternateName;
  TDateTime when = ListingDate(Listing);
  const bool replace = existing && ReplaceFile;
  bool skip = false;

  if (OnAddFile) {
    OnAddFile(this, FullPath, longName, shortName, when, Listing.Attr, size, skip);
    if (skip)
      return 0;
    // The handler's name must fit the disc as much as the listed one.
    const std::string fitted = DiscName(longName, isFile);
    LogDiscName(longName, fitted, isFile, local ? FullPath : ChildPath(Dir, longName));
    longName = fitted;
  }

  TFEntry* node;
  if (replace) {
    if (existing->IsDirectory()) {
      // Turning a folder's entry into a file would orphan the folder's sub-tree.
      if (local)
        NoteLeftOut(FullPath, whyNameIsFolder);
      return 0;
    }
    node = existing;
    if (!node->Imported)
      TotalBytes -= SectorBytes(node->IsoSize);
    Layout.RenameEntry(node, longName);
  } else if (existing) {
    if (local && (existing->IsDirectory() || !SameFile(*existing, FullPath, size, when)))
      NoteLeftOut(FullPath, existing->IsDirectory() ? std::string(whyNameIsFolder)
                            : Format(existing->Imported ? whyEarlierSession : whyDuplicate, Shown(Dir).c_str()));
    return 0;
  } else {
    node = NewEntryLogged(Dir, longName);
    if (!node) {
      if (local)
        NoteLeftOut(FullPath, whyLayoutFull);
      return 0;
    }
  }

  node->IsoName = UpperCase(shortName);
  node->IsoSize = node->JolietSize = size;
  node->Attr = Listing.Attr;
  node->DateTime = when;
  Layout.SetSource(node, FullPath);
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
  std::vector<platform::TListingProblem> problems;
  const std::vector<TListing> found = platform::FindFiles(SourceFile, platform::faAnyFile, problems);
  for (const platform::TListingProblem& problem : problems)
    NoteLeftOut(problem.Path, problem.Reason);
  if (found.empty() || (found.front().Attr & platform::faDirectory))
    return -1;
  if (found.front().Unreadable)
    NoteLeftOut(SourceFile, whyPermissionDenied);
  else
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
  // With every name and every attribute asked for, the folders and the files
  // come from one listing of the folder.
  const bool oneListing = IsEveryName(mask) && AttrMask == platform::faAnyFile;
  // The archive bit costs a look per file on some systems: asked for only
  // when it selects what is added.
  const int32_t everything = ArchiveOnly ? platform::faAnyFile : platform::faAnyFile & ~platform::faArchive;
  const int32_t listMask = ArchiveOnly ? AttrMask | platform::faArchive : AttrMask & ~platform::faArchive;
  std::vector<platform::TListingProblem> problems;
  std::vector<TListing> listing;
  if (Recursive || oneListing)
    listing = platform::FindFiles(source + "*.*", everything, problems);
  if (!oneListing) {
    // The files come from the masked listing below; from this one only what
    // concerns folders: the folder itself and links to folders.
    std::erase_if(problems, [&](const platform::TListingProblem& p) {
      return p.Path != source && p.Reason.find("FOLDER") == std::string::npos;
    });
  }
  int32_t result = 0;

  if (Recursive) {
    for (const TListing& item : listing) {
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
      std::string why;
      TDEntry* dir = AddDirEntryWhy(Dest, renamed, why);
      if (!dir) {
        // One folder that can't be made costs only itself: the walk goes on.
        NoteLeftOut(source + item.Name + "/", why.empty() ? std::string(whyLayoutFull) : why);
        continue;
      }
      if (item.Name == "Installer")
        MessageBeep();
      result = AddFolder(dir, source + item.Name, mask, AttrMask, Recursive, false, ArchiveOnly);
      if (!dir->FirstEntry)
        RemoveDirectory(dir);
    }
  }

  std::vector<TListing> masked;
  if (!oneListing)
    masked = platform::FindFiles(source + mask, listMask, problems);
  for (const TListing& item : oneListing ? listing : masked) {
    if (IsDotName(item.Name)) {
      result = 1;
    } else if (!(item.Attr & platform::faDirectory) && (!ArchiveOnly || (item.Attr & platform::faArchive))) {
      if (item.Unreadable) {
        NoteLeftOut(source + item.Name, whyPermissionDenied);
        result = 0;
      } else {
        result = AddFileEntry(Dest, item, source + item.Name, 0, ArchiveOnly);
      }
    }
  }
  // Two listings of one folder report its problems twice.
  std::sort(problems.begin(), problems.end(),
            [](const auto& a, const auto& b) { return a.Path < b.Path; });
  problems.erase(std::unique(problems.begin(), problems.end(),
                             [](const auto& a, const auto& b) { return a.Path == b.Path; }),
                 problems.end());
  for (const platform::TListingProblem& problem : problems)
    NoteLeftOut(problem.Path, problem.Reason);
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
      (void)platform::ApplyFileAttributes(entry->SourcePath(), entry->Attr - platform::faArchive);
  }
  return true;
}

} // namespace qnzb
