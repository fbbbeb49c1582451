#pragma once
// The rules for what a settings entry may hold, the same on every system, so
// that a write the file could not give back is refused before it is made.

#include <string_view>

namespace qnzb::platform::common {

// `text` without the blanks and tabs around it, as names and values are read.
[[nodiscard]] std::string_view TrimBlanks(std::string_view text);

// True when `section`, `key` and `value` can be stored and read back as
// given: names not empty once trimmed, no line break or NUL anywhere, no "]"
// in the section, no "=" in the key, a key not starting with "[" or ";".
[[nodiscard]] bool IsStorableEntry(std::string_view section, std::string_view key, std::string_view value);

} // namespace qnzb::platform::common
