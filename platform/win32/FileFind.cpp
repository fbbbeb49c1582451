// Folder listings through FindFirstFileA/FindNextFileA: the system's own 8.3
// alternate names (cAlternateFileName), attributes, last-write times and
// sizes. The folder is listed whole and the mask applied here, so matching
// and order are the same as on every other system; where the volume makes
// no short names (8.3 creation turned off) they are made as the header says.

#include "platform/FileFind.h"

#include <algorithm>

#include "platform/System.h"
#include "platform/common/ShortNames.h"
#include "platform/win32/WinApi.h"

namespace qnzb::platform {
namespace {

constexpr int64_t EpochDifference = 116444736000000000LL;

struct TFound {
  TListing Item;
  bool Dots = false;
};

void SetTime(const FILETIME& time, TListing& item) {
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) -
                        EpochDifference;
  int64_t seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  item.WriteTimeSec = seconds;
  item.WriteTimeNsec = static_cast<int32_t>(rest * 100);
}

// Hidden, system and directory items need their bit in the mask.
bool Selected(int32_t attr, int32_t mask) {
  constexpr int32_t guarded = faHidden | faSysFile | faDirectory;
  return (attr & guarded & ~mask) == 0;
}

std::vector<TListing> List(std::string_view pattern, int32_t attrMask, std::vector<TListingProblem>* problems) {
  const std::string text(pattern);
  const size_t slash = text.find_last_of("\\/");
  const std::string folder = slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
  const std::string mask = text.substr(folder.size());
  std::vector<TListing> result;
  if (mask.empty())
    return result;

  WIN32_FIND_DATAA data{};
  const std::string search = win32::NativePath(folder) + "*";
  HANDLE find = ::FindFirstFileA(search.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
      const std::string reason = "CANNOT READ THE FOLDER (" + win32::ErrorText(error) + ")";
      if (problems)
        problems->push_back({folder.empty() ? std::string(".") : folder, reason});
      else
        PlatformLog(folder + ": " + reason);
    }
    return result;
  }
  std::vector<TFound> found;
  do {
    TFound f;
    f.Item.Name = data.cFileName;
    f.Item.AlternateName = data.cAlternateFileName;
    f.Item.Attr = static_cast<int32_t>(data.dwFileAttributes) & faAnyFile;
    f.Dots = f.Item.Name == "." || f.Item.Name == "..";
    if (f.Dots)
      f.Item.Attr &= ~faHidden;
    if (f.Item.Attr & faDirectory) {
      f.Item.SizeHigh = 0;
      f.Item.SizeLow = 0;
    } else {
      f.Item.SizeHigh = data.nFileSizeHigh;
      f.Item.SizeLow = data.nFileSizeLow;
    }
    SetTime(data.ftLastWriteTime, f.Item);
    found.push_back(std::move(f));
  } while (::FindNextFileA(find, &data));
  const DWORD end = ::GetLastError();
  ::FindClose(find);
  if (end != ERROR_NO_MORE_FILES) {
    const std::string reason = "CANNOT READ THE FOLDER (" + win32::ErrorText(end) + ")";
    if (problems)
      problems->push_back({folder, reason});
    else
      PlatformLog(folder + ": " + reason);
  }

  // "." and ".." first, as find-first gives them; the rest in listing order.
  std::stable_sort(found.begin(), found.end(), [](const TFound& a, const TFound& b) {
    if (a.Dots != b.Dots)
      return a.Dots;
    if (a.Dots)
      return a.Item.Name.size() < b.Item.Name.size();
    return common::ListingLess(a.Item.Name, b.Item.Name);
  });

  // Short names the volume did not make, numbered over the whole folder.
  common::TShortNameTable table(found.size());
  for (const TFound& f : found) {
    if (!f.Dots && IsValidShortName(f.Item.Name))
      table.Take(f.Item.Name);
    else if (!f.Item.AlternateName.empty())
      table.Take(f.Item.AlternateName);
  }
  for (TFound& f : found) {
    if (f.Dots || IsValidShortName(f.Item.Name))
      f.Item.AlternateName.clear();
    else if (f.Item.AlternateName.empty())
      f.Item.AlternateName = table.Assign(f.Item.Name);
  }

  for (TFound& f : found)
    if (common::MaskMatches(mask, f.Item.Name) && Selected(f.Item.Attr, attrMask))
      result.push_back(std::move(f.Item));
  return result;
}

} // namespace

std::vector<TListing> FindFiles(std::string_view pattern, int32_t attrMask) {
  return List(pattern, attrMask, nullptr);
}

std::vector<TListing> FindFiles(std::string_view pattern, int32_t attrMask, std::vector<TListingProblem>& problems) {
  return List(pattern, attrMask, &problems);
}

} // namespace qnzb::platform
