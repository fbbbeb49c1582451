#pragma once
// The program's options and their home, section "Options" of the settings file
// "QNZB.ini" (platform/Profile.h says where it lives). Some options are
// properties of the burner component and stay there; the others are the
// application options below, held by the front end.
//
// Stored forms: Booleans as "1" / "0" and read as true when the stored
// integer is not 0 (text that is no integer reads as the default); integers
// in decimal; texts as they are.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/image/Compilation.h"

namespace qnzb {

class TQNZBurner;

inline constexpr const char* SettingsSection = "Options";

// The application's own options with their start values.
struct TAppOptions {
  // "ArchiveFiles": folder rows take only files whose archive attribute is
  // set, and the bits are cleared after a successful write.
  bool ArchiveOnly = false;
  bool EjectDisc = false;      // "EjectDisc": eject after a successful write or erase
  bool ShowFiles = false;      // "ShowFiles": show the disc layout before burning
  bool ImportSession = false;  // "ImportSession": the import box; decides whether "SessionNo" is read
  int8_t SessionToImport = 0;  // "SessionNo": 0 none, -1 the last session
  bool QuickSaveISO = false;   // "QuickSaveISO": build image files in the quick mode
  // "SavePath": the start value is the box's design state; a loaded file
  // without the key gives Unchecked.
  TSavePath SavePath = TSavePath::Grayed;
};

// Gives the component the values the program starts it with: underrun
// protection, verbose debug, OPC and a write post-gap on; finalising, test
// write and replacing off; an 8 MB (8,392,704-byte) cache; speeds and
// buffer sizes 0; the image file preset "abc.iso" in the home folder.
void ApplyDesignValues(TQNZBurner& burner);

// Reads section "Options" of `iniPath` into the component and `options`, key
// by key, in this order: "ArchiveFiles", "ImportSession", "SavePath",
// "CloseDisc" (FinalizeDisc), "JolietFS" (JolietFileSystem), "TestWrite",
// "PerformOPC", "QuickSaveISO", "SessionNo", "EjectDisc", "ShowFiles",
// "BootImage", "Bootable", "VolumeLable" (IdVolume), "CacheSize" (through
// SetCacheSize), "Verify". A missing key (or a missing file) keeps the current value,
// except: "ImportSession", "EjectDisc" and "ShowFiles" default to false,
// "Verify" to true, and
// "SavePath" to Unchecked. "SessionNo" is read only when "ImportSession" is
// true (its default then is the component's SessionToImport); otherwise, and
// when the stored number lies outside -128..127, the session to import is 0.
void LoadSettings(TQNZBurner& burner, TAppOptions& options, const std::string& iniPath);

// Writes every key of section "Options", in the order "ArchiveFiles",
// "ImportSession", "SavePath", "CloseDisc", "EjectDisc", "JolietFS",
// "Bootable", "TestWrite", "QuickSaveISO", "ShowFiles", "PerformOPC",
// "SessionNo", "BootImage", "VolumeLable", "CacheSize", "Verify". "SessionNo" is
// `sessionText` (the session field as the user typed it) when given, else the
// session to import in decimal. Other sections and keys stay. False when a key
// could not be written (the writing stops there).
[[nodiscard]] bool SaveSettings(const TQNZBurner& burner, const TAppOptions& options, const std::string& iniPath,
                                const std::optional<std::string>& sessionText = std::nullopt);

// The environment variable that fixes the time of a job for reproducible
// images: whole seconds since 1970-01-01 00:00 UTC, in decimal digits.
inline constexpr const char* SourceDateEpochVariable = "SOURCE_DATE_EPOCH";

// Dates the volume a job builds: DateCreation and DateModification both get
// the job's time as UTC wall-clock time (the volume descriptors say their
// dates are GMT). The job's time is SOURCE_DATE_EPOCH's when that variable
// holds a number of seconds up to the end of the year 9999, else now. The
// component's other dates stay. Returns a warning, the variable then being
// ignored, when it is set to anything else (an empty value counts as unset);
// else the empty text.
[[nodiscard]] std::string StampVolumeDates(TQNZBurner& burner);

// Writes only "SavePath": the "Save path" box stores its state as it changes.
[[nodiscard]] bool SaveSavePath(TSavePath state, const std::string& iniPath);

} // namespace qnzb
