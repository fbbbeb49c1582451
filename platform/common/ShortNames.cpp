// Windows 8.3 names on a file system that has none: validity, alias
// generation with per-folder numbering, and find-first mask matching.

#include "platform/FileFind.h"

#include <algorithm>
#include <charconv>

#include "platform/common/ShortNames.h"

namespace qnzb::platform {
namespace common {
namespace {

char UpperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsShortNameChar(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
    return true;
  switch (c) {
  case '!': case '#': case '$': case '%': case '&': case '\'': case '(': case ')':
  case '-': case '@': case '^': case '_': case '`': case '{': case '}': case '~':
    return true;
  default:
    return false;
  }
}

// Bytes of the character starting at text[i]: a UTF-8 lead byte with the
// continuation bytes it announces, or a single stray byte.
size_t CharLength(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t want = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  size_t n = 1;
  while (n < want && i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
    ++n;
  return n;
}

// Appends up to `limit` characters of `text` as they appear in an alias:
// upper case, spaces and dots dropped, anything else that is not a short-name
// character (including every non-ASCII character) as "_".
void AppendCleaned(std::string_view text, size_t limit, std::string& out) {
  size_t count = 0;
  for (size_t i = 0; i < text.size() && count < limit;) {
    const size_t len = CharLength(text, i);
    const char c = text[i];
    i += len;
    if (c == ' ' || c == '.')
      continue;
    out.push_back(len == 1 && IsShortNameChar(c) ? UpperAscii(c) : '_');
    ++count;
  }
}

struct TStem {
  std::string base;  // at most six characters
  std::string ext;   // at most three characters
};

TStem MakeStem(std::string_view name) {
  const size_t start = name.find_first_not_of(" .");
  const std::string_view rest = start == std::string_view::npos ? std::string_view() : name.substr(start);
  const size_t dot = rest.rfind('.');
  TStem stem;
  stem.base.reserve(6);
  AppendCleaned(rest.substr(0, dot), 6, stem.base);
  if (dot != std::string_view::npos)
    AppendCleaned(rest.substr(dot + 1), 3, stem.ext);
  // Only a name made of dots and spaces gets here with no base; it still
  // needs an alias, and "_" is what any other unrepresentable character becomes.
  if (stem.base.empty())
    stem.base = "_";
  return stem;
}

std::string Candidate(const TStem& stem, uint32_t number) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  const auto digitCount = static_cast<size_t>(end - digits);
  // "~N" grows with N; the base gives way so the part before the dot stays 8.
  const size_t baseLen = std::min(stem.base.size(), digitCount >= 7 ? size_t{0} : 7 - digitCount);
  std::string alias;
  alias.reserve(13);
  alias.append(stem.base, 0, baseLen);
  alias.push_back('~');
  alias.append(digits, end);
  if (!stem.ext.empty()) {
    alias.push_back('.');
    alias.append(stem.ext);
  }
  return alias;
}

std::string FirstFree(const TStem& stem, const std::unordered_set<std::string>& taken, uint32_t firstNumber,
                      uint32_t* number) {
  uint32_t n = std::max<uint32_t>(firstNumber, 1);
  std::string alias = Candidate(stem, n);
  while (taken.count(alias) != 0)
    alias = Candidate(stem, ++n);
  if (number)
    *number = n;
  return alias;
}

bool IsDotEntry(std::string_view name) {
  return name == "." || name == "..";
}

bool MatchPlain(std::string_view mask, std::string_view name) {
  size_t m = 0;
  size_t n = 0;
  size_t starMask = std::string_view::npos;
  size_t starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && mask[m] == '?') {
      ++m;
      n += CharLength(name, n);
    } else if (m < mask.size() && UpperAscii(mask[m]) == UpperAscii(name[n])) {
      ++m;
      ++n;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*')
    ++m;
  return m == mask.size();
}

} // namespace

TShortNameTable::TShortNameTable(size_t expectedNames) {
  taken_.reserve(expectedNames);
}

void TShortNameTable::Take(std::string_view shortName) {
  std::string upper(shortName);
  std::transform(upper.begin(), upper.end(), upper.begin(), UpperAscii);
  taken_.insert(std::move(upper));
}

std::string TShortNameTable::Assign(std::string_view longName) {
  if (IsDotEntry(longName) || IsValidShortName(longName))
    return {};
  const TStem stem = MakeStem(longName);
  std::string key = stem.base;
  key.push_back('.');
  key.append(stem.ext);
  uint32_t& next = nextNumber_.try_emplace(std::move(key), 1).first->second;
  uint32_t used = 0;
  std::string alias = FirstFree(stem, taken_, next, &used);
  next = used + 1;
  taken_.insert(alias);
  return alias;
}

std::string ShortAlias(std::string_view name, const std::unordered_set<std::string>& taken, uint32_t firstNumber,
                       uint32_t* number) {
  if (IsDotEntry(name) || IsValidShortName(name))
    return {};
  return FirstFree(MakeStem(name), taken, firstNumber, number);
}

bool MaskMatches(std::string_view mask, std::string_view name) {
  if (mask == "*" || mask == "*.*" || MatchPlain(mask, name))
    return true;
  return mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*" && MatchPlain(mask.substr(0, mask.size() - 2), name);
}

bool ListingLess(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const auto ca = static_cast<unsigned char>(UpperAscii(a[i]));
    const auto cb = static_cast<unsigned char>(UpperAscii(b[i]));
    if (ca != cb)
      return ca < cb;
  }
  if (a.size() != b.size())
    return a.size() < b.size();
  return a < b;
}

} // namespace common

bool IsValidShortName(std::string_view name) {
  const size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3)
    return false;
  if (dot != std::string_view::npos && ext.empty())
    return false;
  return std::all_of(base.begin(), base.end(), common::IsShortNameChar) &&
         std::all_of(ext.begin(), ext.end(), common::IsShortNameChar);
}

std::string ShortAlias(std::string_view name, const std::vector<std::string>& taken) {
  const std::unordered_set<std::string> set(taken.begin(), taken.end());
  return common::ShortAlias(name, set);
}

} // namespace qnzb::platform
