#pragma once
// Internal to the platform layer (every OS): 8.3 alias assignment for a whole
// folder and the Windows mask matching of find-first. The public entry points
// (ShortAlias, IsValidShortName) are in platform/FileFind.h.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace qnzb::platform::common {

// The aliases of one folder. Feed every valid 8.3 name of the folder to Take()
// first, then call Assign() for the other names in listing order; each call is
// O(1) on average however many names collide on the same first six characters.
class TShortNameTable {
public:
  explicit TShortNameTable(size_t expectedNames = 0);

  // Records a valid 8.3 name present in the folder (any case).
  void Take(std::string_view shortName);
  // The alias of `longName` (not a valid 8.3 name), recorded as taken.
  [[nodiscard]] std::string Assign(std::string_view longName);

private:
  std::unordered_set<std::string> taken_;  // upper case
  // Per alias stem (base without "~N", "." + extension): every N below the
  // stored value is known to be taken. The taken set only grows, so this
  // hint never skips a free number.
  std::unordered_map<std::string, uint32_t> nextNumber_;
};

// The alias of `name` given the upper-case `taken` set, trying N from
// `firstNumber` upwards; `number` receives the N used. Empty for a valid 8.3
// name and for "." and "..".
[[nodiscard]] std::string ShortAlias(std::string_view name, const std::unordered_set<std::string>& taken,
                                     uint32_t firstNumber = 1, uint32_t* number = nullptr);

// Windows mask matching: ASCII case-insensitive, "*" any run, "?" one
// character (a whole UTF-8 sequence), and a trailing ".*" that also matches
// the end of the name, so "*.*" matches every name and "a.*" matches "a".
[[nodiscard]] bool MaskMatches(std::string_view mask, std::string_view name);

// Listing order: bytes of the ASCII upper-cased names, ties by the raw bytes.
[[nodiscard]] bool ListingLess(std::string_view a, std::string_view b);

} // namespace qnzb::platform::common
