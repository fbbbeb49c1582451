// Private-profile files through GetPrivateProfileStringA and
// WritePrivateProfileStringA, and the settings file's place on Windows.
//
// The program's settings live in %APPDATA%\QNZB.ini: the Windows folder,
// where they used to be, can't be written without administrator rights on
// current Windows. Until that file exists, reads of it come from the
// Windows folder's QNZB.ini, so an existing installation keeps its settings;
// the first write makes the new one.

#include "platform/Profile.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/System.h"
#include "platform/common/ProfileEntries.h"
#include "platform/win32/WinApi.h"

namespace qnzb::platform {
namespace {

constexpr const char* SettingsName = "QNZB.ini";

std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

// The profile functions take a name without a folder from the Windows
// folder: always hand them a full path.
std::string FullPath(const std::string& fileName) {
  const std::string native = win32::NativePath(fileName);
  char full[MAX_PATH * 4];
  const DWORD n = ::GetFullPathNameA(native.c_str(), sizeof full, full, nullptr);
  return n > 0 && n < sizeof full ? std::string(full, n) : native;
}

std::string AppDataSettings() {
  const char* appData = std::getenv("APPDATA");
  return appData && *appData ? std::string(appData) + "\\" + SettingsName : std::string();
}

std::string WindowsFolderSettings() {
  char folder[MAX_PATH + 1] = {};
  const UINT n = ::GetWindowsDirectoryA(folder, sizeof folder);
  return n > 0 && n < sizeof folder ? std::string(folder, n) + "\\" + SettingsName : std::string();
}

enum class TKind { Missing, File, Other };

TKind KindOf(const std::string& path, int64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return TKind::Missing;
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
    return TKind::Other;
  size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return TKind::File;
}

// The file reads of `fileName` come from: the Windows folder's settings
// while the APPDATA one is missing.
std::string ReadPath(const std::string& fileName) {
  const std::string path = FullPath(fileName);
  const std::string appData = AppDataSettings();
  int64_t size = 0;
  if (!appData.empty() && ::lstrcmpiA(path.c_str(), FullPath(appData).c_str()) == 0 &&
      KindOf(path, size) == TKind::Missing) {
    const std::string old = WindowsFolderSettings();
    if (!old.empty())
      return old;
  }
  return path;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

} // namespace

std::string ReadProfileString(std::string_view section, std::string_view key, std::string_view defaultValue,
                              const std::string& fileName) {
  const std::string fallback(defaultValue);
  if (fileName.empty() || section.empty() || key.empty())
    return fallback;
  const std::string path = ReadPath(fileName);
  int64_t size = 0;
  if (KindOf(path, size) != TKind::File || size > ProfileMaxBytes)
    return fallback;
  const std::string s(section), k(key);
  // The default is told apart from a present value by a text no value holds.
  const char* absent = "\x01\x02qnzb-absent\x02\x01";
  std::vector<char> buffer(1024);
  for (;;) {
    const DWORD n = ::GetPrivateProfileStringA(s.c_str(), k.c_str(), absent, buffer.data(),
                                               static_cast<DWORD>(buffer.size()), path.c_str());
    if (n + 1 < buffer.size() || buffer.size() >= static_cast<size_t>(ProfileMaxBytes)) {
      const std::string value(buffer.data(), n);
      return value == absent ? fallback : value;
    }
    buffer.resize(buffer.size() * 4);
  }
}

bool StoreProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& fileName) {
  if (fileName.empty() || !common::IsStorableEntry(section, key, value))
    return false;
  const std::string path = FullPath(fileName);
  int64_t size = 0;
  const TKind kind = KindOf(path, size);
  if (kind == TKind::Other) {
    PlatformLog("not writing settings to " + path + ": not a regular file");
    return false;
  }
  if (kind == TKind::File && size > ProfileMaxBytes)
    return false;
  // Blanks around the value, or quotes around it, would be lost on reading.
  std::string stored(value);
  const bool quoted = stored.size() >= 2 && (stored.front() == '"' || stored.front() == '\'') &&
                      stored.back() == stored.front();
  if (!stored.empty() && (IsBlank(stored.front()) || IsBlank(stored.back()) || quoted))
    stored = "\"" + stored + "\"";
  const size_t slash = path.find_last_of('\\');
  if (slash != std::string::npos && slash > 2) {
    const std::string folder = path.substr(0, slash);
    for (size_t at = folder.find('\\', 3); at != std::string::npos; at = folder.find('\\', at + 1))
      (void)::CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
    (void)::CreateDirectoryA(folder.c_str(), nullptr);
  }
  const std::string s(section), k(key);
  const std::lock_guard lock(WriteMutex());
  return ::WritePrivateProfileStringA(s.c_str(), k.c_str(), stored.c_str(), path.c_str()) != 0;
}

std::string SettingsFilePath() {
  if (const char* path = std::getenv("QNZB_INI"); path && *path)
    return path;
  return AppDataSettings();
}

} // namespace qnzb::platform
