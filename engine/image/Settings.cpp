#include "engine/image/Settings.h"

#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "engine/image/qnCDBC.h"
#include "platform/Profile.h"
#include "platform/System.h"

namespace qnzb {

namespace {

bool ReadBool(const char* key, bool defaultValue, const std::string& iniPath) {
  return platform::ReadProfileInt(SettingsSection, key, defaultValue ? 1 : 0, iniPath) != 0;
}

std::string ReadText(const char* key, const std::string& defaultValue, const std::string& iniPath) {
  return platform::ReadProfileString(SettingsSection, key, defaultValue, iniPath);
}

const char* BoolText(bool value) { return value ? "1" : "0"; }

constexpr TDateTime UnixEpochDay = 25569.0;  // 1970-01-01 as days since 1899-12-30
constexpr int64_t LastSecondOf9999 = 253402300799;

// Whole seconds in plain decimal digits, as `date +%s` prints them; nullopt
// for anything else or a time past what a four-digit year can show.
std::optional<int64_t> EpochSeconds(std::string_view text) {
  if (text.empty() || text.size() > 12)
    return std::nullopt;
  int64_t seconds = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  if (seconds > LastSecondOf9999)
    return std::nullopt;
  return seconds;
}

} // namespace

void ApplyDesignValues(TQNZBurner& burner) {
  burner.UnderrunProtection = true;
  burner.DoDebug = true;
  burner.FinalizeDisc = false;
  burner.TestWrite = false;
  burner.ReplaceFile = false;
  burner.PerformOPC = true;
  burner.SetCacheSize(8392704);
  const std::string home = platform::HomeDirectory();
  burner.ISOFileName = (home == "/" ? std::string() : home) + "/abc.iso";
  burner.WritePostGap = true;
  burner.ReadSpeed = 0;
  burner.DeviceBufferSize = 0;
  burner.DeviceFreeBufferSize = 0;
}

void LoadSettings(TQNZBurner& burner, TAppOptions& options, const std::string& iniPath) {
  options.ArchiveOnly = ReadBool("ArchiveFiles", options.ArchiveOnly, iniPath);
  options.ImportSession = ReadBool("ImportSession", false, iniPath);
  options.SavePath = SavePathFromText(ReadText("SavePath", "", iniPath));
  burner.FinalizeDisc = ReadBool("CloseDisc", burner.FinalizeDisc, iniPath);
  burner.JolietFileSystem = ReadBool("JolietFS", burner.JolietFileSystem, iniPath);
  burner.TestWrite = ReadBool("TestWrite", burner.TestWrite, iniPath);
  burner.PerformOPC = ReadBool("PerformOPC", burner.PerformOPC, iniPath);
  options.QuickSaveISO = ReadBool("QuickSaveISO", options.QuickSaveISO, iniPath);
  options.SessionToImport = 0;
  if (options.ImportSession) {
    const int32_t session = platform::ReadProfileInt(SettingsSection, "SessionNo", burner.SessionToImport, iniPath);
    // A hand-edited number that no session field could hold imports nothing:
    // importing some other session than meant would be worse.
    if (session >= -128 && session <= 127)
      options.SessionToImport = static_cast<int8_t>(session);
  }
  options.EjectDisc = ReadBool("EjectDisc", false, iniPath);
  options.ShowFiles = ReadBool("ShowFiles", false, iniPath);
  burner.BootImage = ReadText("BootImage", burner.BootImage, iniPath);
  burner.Bootable = ReadBool("Bootable", burner.Bootable, iniPath);
  burner.IdVolume = ReadText("VolumeLable", burner.IdVolume, iniPath);
  burner.SetCacheSize(platform::ReadProfileInt(SettingsSection, "CacheSize", burner.CacheSize(), iniPath));
  burner.Verify = ReadBool("Verify", true, iniPath);
}

bool SaveSettings(const TQNZBurner& burner, const TAppOptions& options, const std::string& iniPath,
                  const std::optional<std::string>& sessionText) {
  const std::string session = sessionText ? *sessionText : std::to_string(options.SessionToImport);
  const std::string cacheSize = std::to_string(burner.CacheSize());
  const std::initializer_list<std::pair<const char*, std::string_view>> keys = {
      {"ArchiveFiles", BoolText(options.ArchiveOnly)},
      {"ImportSession", BoolText(options.ImportSession)},
      {"SavePath", SavePathText(options.SavePath)},
      {"CloseDisc", BoolText(burner.FinalizeDisc)},
      {"EjectDisc", BoolText(options.EjectDisc)},
      {"JolietFS", BoolText(burner.JolietFileSystem)},
      {"Bootable", BoolText(burner.Bootable)},
      {"TestWrite", BoolText(burner.TestWrite)},
      {"QuickSaveISO", BoolText(options.QuickSaveISO)},
      {"ShowFiles", BoolText(options.ShowFiles)},
      {"PerformOPC", BoolText(burner.PerformOPC)},
      {"SessionNo", session},
      {"BootImage", burner.BootImage},
      {"VolumeLable", burner.IdVolume},
      {"CacheSize", cacheSize},
      {"Verify", BoolText(burner.Verify)},
  };
  for (const auto& [key, value] : keys) {
    if (!platform::StoreProfileString(SettingsSection, key, value, iniPath))
      return false;
  }
  return true;
}

std::string StampVolumeDates(TQNZBurner& burner) {
  std::string warning;
  std::optional<int64_t> fixed;
  if (const char* value = std::getenv(SourceDateEpochVariable); value != nullptr && *value != '\0') {
    fixed = EpochSeconds(value);
    if (!fixed)
      warning = std::string(SourceDateEpochVariable) + " is not a number of seconds since 1970 (\"" + value +
                "\"): ignored, the volume is dated now";
  }
  TDateTime when = 0;
  if (fixed) {
    when = UnixEpochDay + static_cast<double>(*fixed) / 86400.0;
  } else {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    when = UnixEpochDay + static_cast<double>(now.count()) / 86400000.0;
  }
  burner.DateCreation = when;
  burner.DateModification = when;
  return warning;
}

bool SaveSavePath(TSavePath state, const std::string& iniPath) {
  return platform::StoreProfileString(SettingsSection, "SavePath", SavePathText(state), iniPath);
}

} // namespace qnzb
