// The burner component's construction, published defaults and shared layout.

#include <gtest/gtest.h>

#include "engine/image/qnCDBC.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace qnzb::test {
namespace {

TEST(BurnerComponent, ConstructionSetsThePublishedDefaults) {
  TComponent owner(nullptr);
  TQNZBurner burner(&owner);
  EXPECT_EQ(burner.Owner(), &owner);
  EXPECT_EQ(burner.DirectoryCount(), 0);
  EXPECT_EQ(burner.EntryCount(), 0);
  EXPECT_EQ(Layout.DirCount(), 1);
  EXPECT_EQ(Layout.MaxFiles, 65535);
  EXPECT_EQ(Layout.MaxDirs, 8191);
  EXPECT_TRUE(burner.JolietFileSystem);
  EXPECT_TRUE(burner.FinalizeTrack);
  EXPECT_TRUE(burner.WritePostGap);
  EXPECT_TRUE(burner.UnderrunProtection);
  EXPECT_FALSE(burner.DoDebug);
  EXPECT_FALSE(burner.ReplaceFile);
  EXPECT_FALSE(burner.PerformOPC);
  EXPECT_EQ(burner.CacheSize(), 4194304);
  EXPECT_EQ(burner.Version(), "1.21");
  EXPECT_TRUE(burner.IdVolume.empty());
  EXPECT_EQ(burner.DateCreation, 0.0);
  EXPECT_TRUE(burner.MetadataStream.empty());
}

TEST(BurnerComponent, VersionCannotBeChanged) {
  TQNZBurner burner(nullptr);
  burner.SetVersion("2.0");
  EXPECT_EQ(burner.Version(), "1.21");
  burner.SetVersion("");
  EXPECT_EQ(burner.Version(), "1.21");
}

TEST(BurnerComponent, CacheSizeHasAFloorAndWholeSectors) {
  TQNZBurner burner(nullptr);
  const struct {
    int32_t given, kept;
  } rows[] = {{0, 2097152},       {-5, 2097152},      {2097151, 2097152},
              {2097152, 2097152}, {8392704, 8392704}, {8392705, 8392704}};
  for (const auto& row : rows) {
    burner.SetCacheSize(row.given);
    EXPECT_EQ(burner.CacheSize(), row.kept) << row.given;
  }
}

TEST(BurnerComponent, TwoComponentsShareOneLayout) {
  TempDir tmp;
  TQNZBurner first(nullptr);
  {
    TQNZBurner second(nullptr);
    ASSERT_EQ(first.AddFile("\\", tmp.write("a.txt", "a"), false), 1);
    EXPECT_EQ(second.EntryCount(), 1);
    EXPECT_EQ(second.RootDir(), first.RootDir());
    EXPECT_NE(second.FindEntry(second.RootDir(), "A.TXT"), nullptr);
  }
  // The layout outlives the component that went first.
  EXPECT_EQ(first.EntryCount(), 1);
  EXPECT_NE(first.FindEntry(first.RootDir(), "a.txt"), nullptr);
}

TEST(BurnerComponent, ResetTakesTheTimeZoneInQuarterHours) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows takes the zone from the system's settings, not TZ";
#endif
  const struct {
    const char* tz;
    int16_t offset;
  } rows[] = {{"UTC0", 0}, {"CET-1", 4}, {"EST5", -20}, {"IST-5:30", 22}, {"NPT-5:45", 23}};
  TQNZBurner burner(nullptr);
  for (const auto& row : rows) {
    TScopedEnv zone("TZ", std::string(row.tz));
    burner.ResetLayout(10, 10);
    EXPECT_EQ(Layout.TZOffset, row.offset) << row.tz;
  }
  tzset();
}

} // namespace
} // namespace qnzb::test
