#pragma once
// Small text helpers for the state file and the vdrive command: numbers,
// comma lists and trimming, all strict (no partial parses).

#include <cstdint>
#include <string_view>
#include <vector>

namespace qnzb::vdrive {

// A decimal number, or hexadecimal with a "0x" prefix, that fits 32 bits.
// The whole text must be the number.
[[nodiscard]] bool ParseNumber(std::string_view text, uint32_t& value);
// Items of a comma-separated list, trimmed; empty items are dropped.
[[nodiscard]] std::vector<std::string_view> SplitList(std::string_view text);
// Items separated by blanks.
[[nodiscard]] std::vector<std::string_view> SplitWords(std::string_view text);
[[nodiscard]] std::string_view Trim(std::string_view text);

} // namespace qnzb::vdrive
