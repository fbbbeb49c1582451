// Settings through the system's private-profile calls, and where the
// program's settings file lives on Windows.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/FileIO.h"
#include "platform/Profile.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace qnzb::platform {
namespace {

TEST(WinSettings, ValuesComeBackAsWrittenAndMissingOnesGiveTheDefault) {
  test::TempDir dir;
  const std::string ini = dir.path() + "/sub/folder/s.ini";  // folders made by the first write
  EXPECT_EQ(ReadProfileString("Options", "Label", "none", ini), "none");
  const struct {
    const char* key;
    std::string value;
  } rows[] = {{"Label", "MY DISC"}, {"Empty", ""}, {"Blanks", "  padded  "}, {"Quoted", "\"q\""}, {"Path", "C:\\x y"}};
  for (const auto& row : rows)
    ASSERT_TRUE(StoreProfileString("Options", row.key, row.value, ini)) << row.key;
  for (const auto& row : rows)
    EXPECT_EQ(ReadProfileString("options", row.key, "<missing>", ini), row.value) << row.key;
  EXPECT_EQ(ReadProfileString("Options", "LABEL", "", ini), "MY DISC");  // names fold case
  EXPECT_EQ(ReadProfileString("Other", "Label", "<missing>", ini), "<missing>");

  const struct {
    const char* text;
    int32_t expected;
  } numbers[] = {{"12", 12}, {"-1", -1}, {"+3", 3}, {"12abc", 7}, {"", 7}, {"2147483648", 7}, {"-2147483648", INT32_MIN}};
  for (const auto& row : numbers) {
    ASSERT_TRUE(StoreProfileString("N", "k", row.text, ini));
    EXPECT_EQ(ReadProfileInt("N", "k", 7, ini), row.expected) << row.text;
  }
  EXPECT_FALSE(StoreProfileString(" ", "k", "v", ini));
  EXPECT_FALSE(StoreProfileString("S", "a=b", "v", ini));
  EXPECT_FALSE(StoreProfileString("S", "k", "a\nb", ini));
  EXPECT_EQ(ReadProfileString("S", "k", "<missing>", ini), "<missing>");
}

TEST(WinSettings, AppDataFileWithTheWindowsFoldersOneAsItsFallback) {
  test::TempDir dir;
  {
    const test::TScopedEnv ini("QNZB_INI", "D:\\mine.ini");
    EXPECT_EQ(SettingsFilePath(), "D:\\mine.ini");
  }
  const test::TScopedEnv noIni("QNZB_INI", std::nullopt);
  const test::TScopedEnv appData("APPDATA", dir.path());
  const std::string settings = SettingsFilePath();
  EXPECT_EQ(settings, dir.path() + "\\QNZB.ini");

  // An installation that kept its settings in the Windows folder.
  const char* windows = std::getenv("WINDIR");
  ASSERT_NE(windows, nullptr);
  const std::string old = std::string(windows) + "\\QNZB.ini";
  if (FileExists(old))
    GTEST_SKIP() << old << " exists already: not touching a real installation's settings";
  ASSERT_TRUE(StoreProfileString("Options", "Label", "OLD", old));
  ASSERT_TRUE(StoreProfileString("Options", "Speed", "8", old));
  EXPECT_EQ(ReadProfileString("Options", "Label", "", settings), "OLD");

  // The first write makes the new file; from then on it alone is read.
  ASSERT_TRUE(StoreProfileString("Options", "Label", "NEW", settings));
  EXPECT_TRUE(FileExists(settings));
  EXPECT_EQ(ReadProfileString("Options", "Label", "", settings), "NEW");
  EXPECT_EQ(ReadProfileString("Options", "Speed", "none", settings), "none");
  EXPECT_EQ(ReadProfileString("Options", "Label", "", old), "OLD");
  EXPECT_TRUE(RemoveFile(old));
}

} // namespace
} // namespace qnzb::platform
