#pragma once
// Internal to the posix platform layer: the two ways text moves between the
// system code page and UTF-16. AnsiToUtf16 and friends (platform/System.h)
// pick one by the locale's code set; tests call both directly.

#include <string>
#include <string_view>

namespace qnzb::platform::posix {

// UTF-8 <-> UTF-16 by hand. Each maximal invalid UTF-8 subsequence (stray
// byte, truncated or overlong sequence, encoded surrogate, beyond U+10FFFF)
// becomes one U+FFFD; an unpaired surrogate becomes "?".
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view text);
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view text);
[[nodiscard]] size_t Utf8Utf16Length(std::string_view text);

// The same through iconv for any other code set (`codeSet` as nl_langinfo
// names it). An unknown code set is treated as UTF-8.
[[nodiscard]] std::u16string CodeSetToUtf16(std::string_view text, const char* codeSet);
[[nodiscard]] std::string Utf16ToCodeSet(std::u16string_view text, const char* codeSet);

} // namespace qnzb::platform::posix
