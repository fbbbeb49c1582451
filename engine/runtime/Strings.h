#pragma once
// String helpers with the system's semantics: upper-casing touches only the
// ASCII letters a to z (names on disc are compared that way), and printf-style
// formatting for the engine's fixed message texts.

#include <cstdint>
#include <string>
#include <string_view>

namespace qnzb {

[[nodiscard]] std::string UpperCase(std::string_view text);
[[nodiscard]] inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
// Equal when equal after UpperCase.
[[nodiscard]] bool SameText(std::string_view a, std::string_view b);

// A number with a fixed count of decimals, halves rounded away from zero,
// optionally with "," between groups of three digits ("#,##0.00").
[[nodiscard]] std::string FormatFixed(double value, int decimals, bool grouped = false);

// printf-style formatting into a std::string. MinGW's compiler checks
// "printf" against the old system library, which knows no %zu; Format runs
// on the C99 family there, so it is checked as such.
#if defined(__MINGW32__)
#define QNZB_PRINTF_FORMAT gnu_printf
#else
#define QNZB_PRINTF_FORMAT printf
#endif
[[nodiscard]] std::string Format(const char* pattern, ...) __attribute__((format(QNZB_PRINTF_FORMAT, 1, 2)));

// The number of code points of UTF-8 `text` (a stray byte counts as one).
[[nodiscard]] size_t CodePointCount(std::string_view text);
// The byte length of the first `count` code points of UTF-8 `text`.
[[nodiscard]] size_t CodePointPrefix(std::string_view text, size_t count);

} // namespace qnzb
