// Folder listings with find-first semantics over getdents64 + fstatat.
// A folder is read once: every name goes into one buffer, the names are
// sorted, aliases are numbered over all of them, and only the items the mask
// selects are stat'ed.

#include "platform/FileFind.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/System.h"
#include "platform/posix/FileAttributes.h"
#include "platform/common/ShortNames.h"

namespace qnzb::platform {
namespace {

struct TEntry {
  uint32_t offset = 0;  // of the NUL-terminated name in the name buffer
  uint32_t length = 0;
  unsigned char type = DT_UNKNOWN;
  bool matches = false;
  bool validShort = false;
};

// Closes the folder's descriptor when the listing is done.
class TFd {
public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  [[nodiscard]] int get() const { return fd_; }

private:
  int fd_;
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The listed folder and every folder above it, read once and only when a
// link to a folder turns up.
class TAncestors {
public:
  explicit TAncestors(int dirFd) : dirFd_(dirFd) {}

  [[nodiscard]] bool Contains(const struct stat& st) {
    if (!loaded_)
      Load();
    return std::any_of(chain_.begin(), chain_.end(), [&](const auto& id) {
      return id.first == st.st_dev && id.second == st.st_ino;
    });
  }

private:
  void Load() {
    loaded_ = true;
    struct stat st {};
    if (::fstat(dirFd_, &st) != 0)
      return;
    chain_.emplace_back(st.st_dev, st.st_ino);
    int fd = ::openat(dirFd_, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
    // The depth bound only guards against a file system that never reaches its root.
    for (int depth = 0; fd >= 0 && depth < 4096; ++depth) {
      if (::fstat(fd, &st) != 0 || (st.st_dev == chain_.back().first && st.st_ino == chain_.back().second))
        break;
      chain_.emplace_back(st.st_dev, st.st_ino);
      const int parent = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = parent;
    }
    if (fd >= 0)
      ::close(fd);
  }

  int dirFd_;
  bool loaded_ = false;
  std::vector<std::pair<dev_t, ino_t>> chain_;
};

int32_t ExcludedBits(int32_t attrMask) {
  return ~attrMask & (faHidden | faSysFile | faVolumeID | faDirectory);
}

void FillTimesAndSize(TListing& item, const struct stat& st) {
  // Folders have no size in a find-first listing.
  const auto size = S_ISDIR(st.st_mode) ? uint64_t{0} : static_cast<uint64_t>(st.st_size);
  item.SizeHigh = static_cast<uint32_t>(size >> 32);
  item.SizeLow = static_cast<uint32_t>(size & 0xFFFFFFFFu);
  item.WriteTimeSec = st.st_mtim.tv_sec;
  item.WriteTimeNsec = static_cast<int32_t>(st.st_mtim.tv_nsec);
}

// "." and "..", unless the folder is the root (whose ".." is itself).
void AddDotEntries(std::vector<TListing>& result, int dirFd, bool dot, bool dotDot, int32_t attrMask) {
  if ((!dot && !dotDot) || (ExcludedBits(attrMask) & faDirectory))
    return;
  struct stat self {};
  struct stat parent {};
  if (::fstat(dirFd, &self) != 0 || ::fstatat(dirFd, "..", &parent, 0) != 0 || SameFile(self, parent))
    return;
  const std::pair<const char*, const struct stat*> items[] = {{".", &self}, {"..", &parent}};
  for (const auto& [name, st] : items) {
    if (name[1] == '\0' ? !dot : !dotDot)
      continue;
    TListing& item = result.emplace_back();
    item.Name = name;
    item.Attr = posix::AttributesOf(*st, name, name);
    FillTimesAndSize(item, *st);
  }
}

// A file is unreadable when this process may not read it. The permission
// bits settle the common cases where they allow it; access() decides the rest
// (groups, ACLs, and the capabilities that let root read anything), which are
// few.
bool Unreadable(int dirFd, const char* name, const struct stat& st) {
  if (!S_ISREG(st.st_mode))
    return false;
  static const uid_t self = ::geteuid();
  if (st.st_uid == self ? (st.st_mode & S_IRUSR) != 0
                               : (st.st_mode & (S_IRGRP | S_IROTH)) == (S_IRGRP | S_IROTH))
    return false;
  return ::faccessat(dirFd, name, R_OK, AT_EACCESS) != 0 && errno == EACCES;
}

// Reports a left-out item to the caller's list, or to the platform log.
class TProblems {
public:
  explicit TProblems(std::vector<TListingProblem>* list) : list_(list) {}
  void Add(const std::string& path, std::string reason, const char* logText) {
    if (list_)
      list_->push_back({path, std::move(reason)});
    else
      PlatformLog(std::string(logText) + path);
  }

private:
  std::vector<TListingProblem>* list_;
};

std::string UpperText(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::vector<TListing> List(std::string_view pattern, int32_t attrMask, std::vector<TListingProblem>* problemList) {
  TProblems problems(problemList);
  const size_t slash = pattern.rfind('/');
  const std::string_view mask = slash == std::string_view::npos ? pattern : pattern.substr(slash + 1);
  if (mask.empty())
    return {};
  // Items are reached as prefix + name, so a relative pattern stays relative.
  std::string path(slash == std::string_view::npos ? std::string_view() : pattern.substr(0, slash + 1));
  const size_t prefixLength = path.size();

  const TFd dir(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const int dirFd = dir.get();
  if (dirFd < 0) {
    // A missing folder is a name that matched nothing; one that is there
    // but can't be opened is a folder whose contents are lost to the caller.
    if (problemList && errno != ENOENT && errno != ENOTDIR)
      problems.Add(path, "CANNOT READ THE FOLDER (" + UpperText(posix::ErrorText(errno)) + ")", "");
    return {};
  }

  std::string names;
  std::vector<TEntry> entries;
  bool dotMatches = false;
  bool dotDotMatches = false;
  size_t matchCount = 0;
  // getdents64 straight into a buffer: readdir would add an fstat and two
  // fcntl calls per folder, which count when a tree has thousands of them.
  alignas(dirent64) char buffer[32768];
  for (;;) {
    const ssize_t got = ::getdents64(dirFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0 && problemList)
      problems.Add(path, "CANNOT READ THE FOLDER TO ITS END (" + UpperText(posix::ErrorText(errno)) + ")", "");
    if (got <= 0)
      break;  // end, or an unreadable folder: list what was read
    for (ssize_t pos = 0; pos < got;) {
      const auto* de = reinterpret_cast<const dirent64*>(buffer + pos);
      pos += de->d_reclen;
      const std::string_view name(de->d_name);
      if (name == "." || name == "..") {
        (name.size() == 1 ? dotMatches : dotDotMatches) = common::MaskMatches(mask, name);
        continue;
      }
      TEntry& e = entries.emplace_back();
      e.offset = static_cast<uint32_t>(names.size());
      e.length = static_cast<uint32_t>(name.size());
      e.type = de->d_type;
      e.matches = common::MaskMatches(mask, name);
      matchCount += e.matches ? 1 : 0;
      names.append(name);
      names.push_back('\0');
    }
  }

  std::vector<TListing> result;
  result.reserve(matchCount + 2);
  AddDotEntries(result, dirFd, dotMatches, dotDotMatches, attrMask);
  if (matchCount == 0)
    return result;

  const auto nameOf = [&names](const TEntry& e) { return std::string_view(names.data() + e.offset, e.length); };
  std::sort(entries.begin(), entries.end(),
            [&](const TEntry& a, const TEntry& b) { return common::ListingLess(nameOf(a), nameOf(b)); });

  // An alias depends on every name sorted before it and on all valid short
  // names, so numbering runs over the whole folder up to the last item that
  // needs one, whatever the mask selects.
  size_t aliasEnd = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].validShort = IsValidShortName(nameOf(entries[i]));
    if (entries[i].matches && !entries[i].validShort)
      aliasEnd = i + 1;
  }
  common::TShortNameTable aliases(aliasEnd > 0 ? entries.size() : 0);
  if (aliasEnd > 0) {
    for (const TEntry& e : entries)
      if (e.validShort)
        aliases.Take(nameOf(e));
  }

  const int32_t excluded = ExcludedBits(attrMask);
  TAncestors ancestors(dirFd);
  for (size_t i = 0; i < entries.size(); ++i) {
    const TEntry& e = entries[i];
    const std::string_view name = nameOf(e);
    std::string alias = (i < aliasEnd && !e.validShort) ? aliases.Assign(name) : std::string();
    if (!e.matches)
      continue;
    const char* cname = names.data() + e.offset;
    path.resize(prefixLength);
    path.append(name);

    struct stat st {};
    bool isLink = e.type == DT_LNK;
    if (e.type == DT_UNKNOWN) {
      if (::fstatat(dirFd, cname, &st, AT_SYMLINK_NOFOLLOW) != 0)
        continue;  // gone since the folder was read
      isLink = S_ISLNK(st.st_mode);
    }
    if ((e.type != DT_UNKNOWN || isLink) && ::fstatat(dirFd, cname, &st, 0) != 0) {
      const int error = errno;
      if (isLink)
        problems.Add(path, "BROKEN LINK", "skipped broken link: ");
      else if (error != ENOENT)
        problems.Add(path, "CANNOT BE LOOKED AT (" + UpperText(posix::ErrorText(error)) + ")",
                     ("skipped unreadable item (" + posix::ErrorText(error) + "): ").c_str());
      continue;
    }
    const bool hidden = name.front() == '.';
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      // Reading a pipe or device as file data would block or never end.
      if (!(excluded & (hidden ? faHidden : 0)))
        problems.Add(path, "NOT A REGULAR FILE (A PIPE, SOCKET OR DEVICE)", "skipped special file: ");
      continue;
    }
    if (excluded & ((S_ISDIR(st.st_mode) ? faDirectory : 0) | (hidden ? faHidden : 0)))
      continue;
    if (isLink && S_ISDIR(st.st_mode) && ancestors.Contains(st)) {
      problems.Add(path, "LINK TO A FOLDER THAT HOLDS IT", "skipped link to an enclosing folder: ");
      continue;
    }

    TListing& item = result.emplace_back();
    item.Name.assign(name);
    item.AlternateName = std::move(alias);
    item.Attr = posix::AttributesOf(st, name, path.c_str(), (attrMask & faArchive) != 0);
    item.Unreadable = Unreadable(dirFd, cname, st);
    FillTimesAndSize(item, st);
  }
  return result;
}

} // namespace

std::vector<TListing> FindFiles(std::string_view pattern, int32_t attrMask) { return List(pattern, attrMask, nullptr); }

std::vector<TListing> FindFiles(std::string_view pattern, int32_t attrMask, std::vector<TListingProblem>& problems) {
  return List(pattern, attrMask, &problems);
}

} // namespace qnzb::platform
