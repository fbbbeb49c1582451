// Time zone, code pages, the platform's log and the program's folders on Windows.

#include "platform/System.h"

#include <cstdlib>
#include <vector>

#include "platform/win32/WinApi.h"

namespace qnzb::platform {

namespace win32 {

std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n && text ? std::string(text, n) : "error " + std::to_string(error);
  if (text)
    ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' ||
                             result.back() == '.'))
    result.pop_back();
  return result;
}

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '/')
      c = '\\';
  return native;
}

} // namespace win32

namespace {

// The ANSI code page's default character is "?"; UTF-8 takes none.
bool AnsiIsUtf8() { return ::GetACP() == CP_UTF8; }

} // namespace

int32_t TimeZoneBias() {
  TIME_ZONE_INFORMATION zone{};
  if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID)
    return 0;
  return static_cast<int32_t>(zone.Bias);
}

std::u16string AnsiToUtf16(std::string_view text) {
  if (text.empty())
    return {};
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (n <= 0)
    return std::u16string(text.size(), u'\uFFFD');
  std::wstring wide(static_cast<size_t>(n), L'\0');
  (void)::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), n);
  return std::u16string(wide.begin(), wide.end());
}

std::string Utf16ToAnsi(std::u16string_view text) {
  if (text.empty())
    return {};
  const std::wstring wide(text.begin(), text.end());
  const int size = static_cast<int>(wide.size());
  const char* fallback = AnsiIsUtf8() ? nullptr : "?";
  const int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, fallback, nullptr);
  if (n <= 0)
    return std::string(text.size(), '?');
  std::string result(static_cast<size_t>(n), '\0');
  (void)::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, result.data(), n, fallback, nullptr);
  return result;
}

size_t Utf16Length(std::string_view text) {
  if (text.empty())
    return 0;
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  return n > 0 ? static_cast<size_t>(n) : text.size();
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string ProgramDirectory() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0)
      return {};
    if (n < path.size()) {
      const std::string full(path.data(), n);
      const size_t slash = full.find_last_of("\\/");
      return slash == std::string::npos ? std::string() : full.substr(0, slash);
    }
    path.resize(path.size() * 2);
  }
}

std::string HomeDirectory() {
  if (const char* profile = std::getenv("USERPROFILE"); profile && *profile)
    return profile;
  const char* drive = std::getenv("HOMEDRIVE");
  const char* path = std::getenv("HOMEPATH");
  if (drive && path && *path)
    return std::string(drive) + path;
  if (const char* home = std::getenv("HOME"); home && *home)
    return home;
  return {};
}

} // namespace qnzb::platform
