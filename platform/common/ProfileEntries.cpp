// Entry rules and integer values of the settings files, the same on every system.

#include "platform/common/ProfileEntries.h"

#include <climits>
#include <cstdint>
#include <string>

#include "platform/Profile.h"

namespace qnzb::platform::common {
namespace {

// A line break would split the entry; a NUL would cut it short for other readers.
bool Storable(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

} // namespace

std::string_view TrimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool IsStorableEntry(std::string_view section, std::string_view key, std::string_view value) {
  const std::string_view sectionName = TrimBlanks(section);
  const std::string_view keyName = TrimBlanks(key);
  return !sectionName.empty() && !keyName.empty() && Storable(section) && Storable(key) && Storable(value) &&
         sectionName.find(']') == std::string_view::npos && keyName.find('=') == std::string_view::npos &&
         keyName.front() != '[' && keyName.front() != ';';
}

} // namespace qnzb::platform::common

namespace qnzb::platform {

int32_t ReadProfileInt(std::string_view section, std::string_view key, int32_t defaultValue,
                       const std::string& fileName) {
  const std::string text = ReadProfileString(section, key, "", fileName);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  if (i == text.size())
    return defaultValue;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9')
      return defaultValue;
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1)
      return defaultValue;
  }
  if (negative)
    value = -value;
  if (value < INT32_MIN || value > INT32_MAX)
    return defaultValue;
  return static_cast<int32_t>(value);
}

} // namespace qnzb::platform
