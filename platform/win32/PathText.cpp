// Paths hold UTF-16 on Windows: names go in and out through the ANSI code page.

#include "platform/PathText.h"

#include "platform/System.h"

namespace qnzb::platform {

std::filesystem::path PathOf(const std::string& name) {
  const std::u16string wide = AnsiToUtf16(name);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

std::string PathText(const std::filesystem::path& path) {
  const std::wstring wide = path.generic_wstring();
  return Utf16ToAnsi(std::u16string(wide.begin(), wide.end()));
}

} // namespace qnzb::platform
