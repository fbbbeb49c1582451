// The options in section "Options" of the settings file: defaults on a first
// start, each key's effect, the session rules, and saving in a form the next
// start reads back.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/image/Settings.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/DateTime.h"
#include "platform/Profile.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace qnzb::test {
namespace {

class SettingsTest : public ::testing::Test {
protected:
  SettingsTest() : burner(nullptr), ini(tmp.at("QNZB.ini")) { ApplyDesignValues(burner); }

  void Store(const std::string& content) { tmp.write("QNZB.ini", "[Options]\n" + content); }
  void Load() { LoadSettings(burner, options, ini); }

  TempDir tmp;
  TQNZBurner burner;
  TAppOptions options;
  std::string ini;
};

TEST_F(SettingsTest, FirstStartWithoutAFile) {
  EXPECT_EQ(options.SavePath, TSavePath::Grayed);  // the box's design state, until the file is read
  Load();
  EXPECT_EQ(options.SavePath, TSavePath::Unchecked);
  EXPECT_EQ(burner.CacheSize(), 8392704);
  EXPECT_TRUE(burner.JolietFileSystem);
  EXPECT_FALSE(burner.FinalizeDisc);
  EXPECT_TRUE(burner.PerformOPC);
  EXPECT_FALSE(burner.TestWrite);
  EXPECT_FALSE(burner.Bootable);
  EXPECT_TRUE(burner.UnderrunProtection);
  EXPECT_FALSE(options.ArchiveOnly || options.EjectDisc || options.ShowFiles || options.ImportSession ||
               options.QuickSaveISO);
  EXPECT_EQ(options.SessionToImport, 0);
  EXPECT_FALSE(platform::ReadProfileString("Options", "SavePath", "", ini).size());  // reading writes nothing
}

TEST_F(SettingsTest, EachKeyReachesItsSetting) {
  const struct {
    const char* line;
    std::function<bool(const TQNZBurner&, const TAppOptions&)> holds;
  } rows[] = {
      {"ArchiveFiles=1", [](auto&, auto& o) { return o.ArchiveOnly; }},
      {"SavePath=grayed", [](auto&, auto& o) { return o.SavePath == TSavePath::Grayed; }},
      {"SavePath=Checked", [](auto&, auto& o) { return o.SavePath == TSavePath::Checked; }},
      {"SavePath=Half", [](auto&, auto& o) { return o.SavePath == TSavePath::Unchecked; }},
      {"CloseDisc=1", [](auto& b, auto&) { return b.FinalizeDisc; }},
      {"JolietFS=0", [](auto& b, auto&) { return !b.JolietFileSystem; }},
      {"TestWrite=2", [](auto& b, auto&) { return b.TestWrite; }},  // any integer but 0 is true
      {"PerformOPC=0", [](auto& b, auto&) { return !b.PerformOPC; }},
      {"PerformOPC=yes", [](auto& b, auto&) { return b.PerformOPC; }},  // no integer: the default
      {"QuickSaveISO=1", [](auto&, auto& o) { return o.QuickSaveISO; }},
      {"EjectDisc=1", [](auto&, auto& o) { return o.EjectDisc; }},
      {"ShowFiles=1", [](auto&, auto& o) { return o.ShowFiles; }},
      {"BootImage=/boot/floppy.img", [](auto& b, auto&) { return b.BootImage == "/boot/floppy.img"; }},
      {"Bootable=1", [](auto& b, auto&) { return b.Bootable; }},
      {"VolumeLable=MY DISC", [](auto& b, auto&) { return b.IdVolume == "MY DISC"; }},
      {"CacheSize=67108864", [](auto& b, auto&) { return b.CacheSize() == 67108864; }},
      {"CacheSize=3000001", [](auto& b, auto&) { return b.CacheSize() == 2998272; }},  // through the setter
      {"CacheSize=100", [](auto& b, auto&) { return b.CacheSize() == 2097152; }},
      {"CacheSize=lots", [](auto& b, auto&) { return b.CacheSize() == 8392704; }},
      {"Verify=0", [](auto& b, auto&) { return !b.Verify; }},
      {"", [](auto& b, auto&) { return b.Verify; }},  // missing: on
  };
  for (const auto& row : rows) {
    TQNZBurner fresh(nullptr);
    ApplyDesignValues(fresh);
    TAppOptions freshOptions;
    Store(std::string(row.line) + "\n");
    LoadSettings(fresh, freshOptions, ini);
    EXPECT_TRUE(row.holds(fresh, freshOptions)) << row.line;
  }
}

TEST_F(SettingsTest, SessionNumberCountsOnlyWithImportOn) {
  burner.SessionToImport = 4;
  const struct {
    const char* content;
    int expected;
  } rows[] = {
      {"ImportSession=0\nSessionNo=3\n", 0},
      {"SessionNo=3\n", 0},
      {"ImportSession=1\nSessionNo=3\n", 3},
      {"ImportSession=1\nSessionNo=-1\n", -1},
      {"ImportSession=1\nSessionNo=127\n", 127},
      {"ImportSession=1\nSessionNo=-128\n", -128},
      {"ImportSession=1\nSessionNo=128\n", 0},   // no session field holds it: import nothing
      {"ImportSession=1\nSessionNo=-200\n", 0},
      {"ImportSession=1\n", 4},                  // missing: the component's value
      {"ImportSession=1\nSessionNo=two\n", 4},
  };
  for (const auto& row : rows) {
    options.SessionToImport = 9;
    Store(row.content);
    Load();
    EXPECT_EQ(options.SessionToImport, row.expected) << row.content;
  }
}

TEST_F(SettingsTest, MissingKeysKeepCurrentValuesWhereTheyShould) {
  options.ArchiveOnly = options.QuickSaveISO = options.EjectDisc = options.ShowFiles = true;
  burner.IdVolume = "KEEP";
  burner.BootImage = "/keep.img";
  burner.TestWrite = true;
  Store("Unrelated=1\n");
  Load();
  EXPECT_TRUE(options.ArchiveOnly);
  EXPECT_TRUE(options.QuickSaveISO);
  EXPECT_FALSE(options.EjectDisc);  // these two default to false, not to the current value
  EXPECT_FALSE(options.ShowFiles);
  EXPECT_EQ(burner.IdVolume, "KEEP");
  EXPECT_EQ(burner.BootImage, "/keep.img");
  EXPECT_TRUE(burner.TestWrite);
}

// The file's lines without blank ones and line ends: the system's own profile
// writer (Windows) ends lines in CR LF and drops blank lines between sections.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty())
      lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

TEST_F(SettingsTest, SavedSettingsComeBackOnTheNextStart) {
  tmp.write("QNZB.ini", "; hand-written\n[Recent]\nFile1=/x.iso\n");
  burner.FinalizeDisc = burner.TestWrite = burner.Bootable = true;
  burner.JolietFileSystem = burner.PerformOPC = false;
  burner.BootImage = "/images/boot disk.img";
  burner.IdVolume = " SPACED ";
  burner.SetCacheSize(64 * 1048576);
  burner.Verify = false;
  options = {.ArchiveOnly = true, .EjectDisc = true, .ShowFiles = true, .ImportSession = true,
             .SessionToImport = -1, .QuickSaveISO = true, .SavePath = TSavePath::Grayed};
  ASSERT_TRUE(SaveSettings(burner, options, ini));

  EXPECT_EQ(Lines(test::readFile(ini)),
            Lines("; hand-written\n[Recent]\nFile1=/x.iso\n\n[Options]\n"
            "ArchiveFiles=1\nImportSession=1\nSavePath=Grayed\nCloseDisc=1\nEjectDisc=1\nJolietFS=0\n"
            "Bootable=1\nTestWrite=1\nQuickSaveISO=1\nShowFiles=1\nPerformOPC=0\nSessionNo=-1\n"
            "BootImage=/images/boot disk.img\nVolumeLable=\" SPACED \"\nCacheSize=67108864\nVerify=0\n"));

  TQNZBurner next(nullptr);
  ApplyDesignValues(next);
  TAppOptions nextOptions;
  LoadSettings(next, nextOptions, ini);
  EXPECT_EQ(next.FinalizeDisc, true);
  EXPECT_EQ(next.TestWrite, true);
  EXPECT_EQ(next.Bootable, true);
  EXPECT_EQ(next.JolietFileSystem, false);
  EXPECT_EQ(next.PerformOPC, false);
  EXPECT_EQ(next.BootImage, burner.BootImage);
  EXPECT_EQ(next.IdVolume, " SPACED ");
  EXPECT_EQ(next.CacheSize(), 67108864);
  EXPECT_FALSE(next.Verify);
  EXPECT_EQ(nextOptions.ArchiveOnly, true);
  EXPECT_EQ(nextOptions.ImportSession, true);
  EXPECT_EQ(nextOptions.EjectDisc, true);
  EXPECT_EQ(nextOptions.ShowFiles, true);
  EXPECT_EQ(nextOptions.QuickSaveISO, true);
  EXPECT_EQ(nextOptions.SessionToImport, -1);
  EXPECT_EQ(nextOptions.SavePath, TSavePath::Grayed);
}

TEST_F(SettingsTest, TypedSessionTextAndTheSavePathBoxAreStoredAsGiven) {
  options.ImportSession = true;
  ASSERT_TRUE(SaveSettings(burner, options, ini, std::string("0")));
  EXPECT_EQ(platform::ReadProfileString("Options", "SessionNo", "", ini), "0");

  for (TSavePath state : {TSavePath::Checked, TSavePath::Unchecked, TSavePath::Grayed}) {
    ASSERT_TRUE(SaveSavePath(state, ini));
    Load();
    EXPECT_EQ(options.SavePath, state);
  }
  EXPECT_EQ(platform::ReadProfileString("Options", "SessionNo", "", ini), "0");  // the box wrote only its key
}

TEST_F(SettingsTest, AnUnwritableFileIsReported) {
  const std::string file = tmp.write("plain", "x");
  EXPECT_FALSE(SaveSettings(burner, options, file + "/QNZB.ini"));
  EXPECT_FALSE(SaveSavePath(TSavePath::Checked, file + "/QNZB.ini"));
  burner.BootImage = "two\nlines";
  EXPECT_FALSE(SaveSettings(burner, options, ini));
}

// The volume dates: SOURCE_DATE_EPOCH's time when it is whole seconds, else
// now; both as UTC, as the descriptors' zone byte (0) says.
TEST(VolumeDates, TheJobsTimeOrSourceDateEpoch) {
  const struct {
    std::optional<std::string> epoch;
    const char* fixed;  // the date as the descriptor writes it, or nullptr for now
    bool warned;
  } rows[] = {
      {"1700000000", "2023-11-14 22:13:20.000", false},
      {"0", "1970-01-01 00:00:00.000", false},
      {"253402300799", "9999-12-31 23:59:59.000", false},
      {std::nullopt, nullptr, false},
      {"", nullptr, false},
      {"garbage", nullptr, true},
      {"-1", nullptr, true},
      {"1.5", nullptr, true},
      {" 17", nullptr, true},
      {"253402300800", nullptr, true},
      {"99999999999999999999", nullptr, true},
  };
  const auto utcNow = [] {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return 25569.0 + static_cast<double>(ms.count()) / 86400000.0;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.epoch.value_or("(unset)"));
    const TScopedEnv env(SourceDateEpochVariable, row.epoch);
    TQNZBurner burner(nullptr);
    burner.DateEffective = 5;
    const double before = utcNow();
    const std::string warning = StampVolumeDates(burner);
    const double after = utcNow();
    EXPECT_EQ(!warning.empty(), row.warned) << warning;
    if (row.warned) {
      EXPECT_NE(warning.find(*row.epoch), std::string::npos) << warning;
    }
    EXPECT_EQ(burner.DateModification, burner.DateCreation);
    EXPECT_EQ(burner.DateEffective, 5);
    if (row.fixed) {
      EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", burner.DateCreation), row.fixed);
    } else {
      EXPECT_GE(burner.DateCreation, before - 1e-8);
      EXPECT_LE(burner.DateCreation, after + 1e-8);
    }
  }
}

} // namespace
} // namespace qnzb::test
