// Building an image file on the calling thread: the sector order of the
// image, short and unreadable sources, and failures that leave nothing behind.

#include <filesystem>

#include "engine/image/IsoRecords.h"
#include "engine/recording/qnStreamEx.h"
#include "engine/runtime/Strings.h"
#include "image/LayoutFixture.h"

namespace qnzb::test {
namespace {

class QuickImageTest : public LayoutTest {
protected:
  QuickImageTest() {
    burner.OnWriteDone = [this](TObject*, const std::string& error) { done.push_back(error); };
  }
  std::vector<std::string> done;
};

TEST_F(QuickImageTest, OneSmallFileMakesAnImageOf151Sectors) {
  burner.JolietFileSystem = false;
  const std::string content(100, 'q');
  burner.AddFile("\\", tmp.write("a.txt", content), false);
  const std::string image = tmp.at("out.iso");
  EXPECT_EQ(burner.BuildImageFile(image, true), 1);
  EXPECT_EQ(std::filesystem::file_size(image), 309248u);
  EXPECT_EQ(Sector(image, 150), Padded(content));
  EXPECT_EQ(Sector(image, 0, 16), std::string(16 * 2048, '\0'));
  EXPECT_EQ(done, std::vector<std::string>{""});
  EXPECT_FALSE(std::filesystem::exists(image + ".part"));
  EXPECT_TRUE(burner.LayoutReady);
  EXPECT_TRUE(burner.DoDebug);
}

TEST_F(QuickImageTest, FilesLandOnTheirPlannedSectorsInTableOrder) {
  const std::string a(5000, 'a'), b(2048, 'b'), c(1, 'c');
  tmp.write("src/a.bin", a);
  tmp.write("src/sub/b.bin", b);
  tmp.write("src/c.bin", c);
  tmp.write("src/zero.bin", "");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  const std::string image = tmp.at("out.iso");
  ASSERT_EQ(burner.BuildImageFile(image, true), 1);
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(image)), burner.ImageEnd * 2048);
  for (const auto& [name, content] : {std::pair{"a.bin", a}, {"c.bin", c}}) {
    const TFEntry* e = burner.FindEntry(burner.RootDir(), name);
    EXPECT_EQ(Sector(image, burner.FirstFileSector + e->IsoExtent, SectorCount(e->IsoSize)), Padded(content));
  }
  const TFEntry* be = burner.FindEntry(burner.FindDirectory("\\SUB"), "b.bin");
  EXPECT_EQ(Sector(image, burner.FirstFileSector + be->IsoExtent), b);
  // The metadata stream is the image's head.
  EXPECT_EQ(readFile(image).substr(0, burner.MetadataStream.size()),
            std::string(burner.MetadataStream.begin(), burner.MetadataStream.end()));
}

TEST_F(QuickImageTest, BootImageFollowsTheCatalogThenPaddingThenFiles) {
  const std::string boot = tmp.writePattern("boot.img", 3000, 5);
  const std::string content(700, 'f');
  burner.AddFile("\\", tmp.write("f.txt", content), false);
  burner.Bootable = true;
  burner.BootImage = boot;
  const std::string image = tmp.at("boot.iso");
  ASSERT_EQ(burner.BuildImageFile(image, true), 1);
  ASSERT_TRUE(burner.Bootable);
  EXPECT_EQ(burner.BootImageSector, burner.BootCatalogSector + 1);
  const std::string catalog = Sector(image, burner.BootCatalogSector);
  EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(catalog.data()) + 40), burner.BootImageSector);
  EXPECT_EQ(Sector(image, burner.BootImageSector, 2), Padded(readFile(boot)));
  for (uint32_t s = burner.BootImageSector + 2; s < burner.FirstFileSector; ++s)
    ASSERT_EQ(Sector(image, s), std::string(2048, '\0')) << s;
  EXPECT_EQ(Sector(image, burner.FirstFileSector), Padded(content));
  EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(image)), burner.ImageEnd * 2048);
}

TEST_F(QuickImageTest, AShrunkSourceIsPaddedSoLaterFilesKeepTheirSectors) {
  const std::string first = tmp.write("src/1.bin", std::string(10000, '1'));
  tmp.write("src/2.bin", std::string(3000, '2'));
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  tmp.write("src/1.bin", std::string(100, '1'));  // shrinks after adding
  const std::string image = tmp.at("out.iso");
  ASSERT_EQ(burner.BuildImageFile(image, true), 1);
  const TFEntry* one = burner.FindEntry(burner.RootDir(), "1.bin");
  const TFEntry* two = burner.FindEntry(burner.RootDir(), "2.bin");
  EXPECT_EQ(Sector(image, burner.FirstFileSector + one->IsoExtent, 5), std::string(100, '1') + std::string(10140, '\0'));
  EXPECT_EQ(Sector(image, burner.FirstFileSector + two->IsoExtent, 2), Padded(std::string(3000, '2')));
  EXPECT_TRUE(Logged(">>> FILE SHRANK SINCE IT WAS ADDED, PADDED WITH ZEROS: " + first, 4));
  for (const auto& [text, type] : log)
    EXPECT_EQ(text.find("INTERNAL ERROR"), std::string::npos) << text;
}

TEST_F(QuickImageTest, AGrownSourceIsCutToItsRecordedSize) {
  tmp.write("src/1.bin", std::string(100, '1'));
  tmp.write("src/2.bin", std::string(10, '2'));
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  tmp.write("src/1.bin", std::string(5000, '1'));
  const std::string image = tmp.at("out.iso");
  ASSERT_EQ(burner.BuildImageFile(image, true), 1);
  EXPECT_EQ(Sector(image, burner.FirstFileSector), Padded(std::string(100, '1')));
  EXPECT_EQ(Sector(image, burner.FirstFileSector + 1), Padded(std::string(10, '2')));
}

TEST_F(QuickImageTest, ZeroLengthFilesAreNeverOpened) {
  const std::string zero = tmp.write("src/zero.bin", "");
  tmp.write("src/x.bin", "x");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  std::filesystem::remove(zero);
  EXPECT_EQ(burner.BuildImageFile(tmp.at("out.iso"), true), 1);
}

TEST_F(QuickImageTest, FailuresLeaveNoImageAndKeepAnOlderOne) {
  const std::string gone = tmp.write("src/gone.bin", "g");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  std::filesystem::remove(gone);
  const std::string image = tmp.write("old.iso", "an older image");
  try {
    burner.BuildImageFile(image, true);
    ADD_FAILURE() << "a missing source must fail the build";
  } catch (const EImageError& e) {
    EXPECT_NE(std::string(e.what()).find(gone), std::string::npos) << e.what();
  }
  EXPECT_EQ(readFile(image), "an older image");
  EXPECT_FALSE(std::filesystem::exists(image + ".part"));
  EXPECT_TRUE(done.empty());
}

TEST_F(QuickImageTest, AReadErrorFailsTheBuildWithTheFileNamed) {
  const std::string bad = tmp.write("src/bad.bin", "b");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  // A folder where the file was: it opens, but reading it fails.
  std::filesystem::remove(bad);
  std::filesystem::create_directory(bad);
  const std::string image = tmp.at("out.iso");
  EXPECT_THROW(burner.BuildImageFile(image, true), EImageError);
  EXPECT_FALSE(std::filesystem::exists(image));
  EXPECT_FALSE(std::filesystem::exists(image + ".part"));
}

TEST_F(QuickImageTest, AnUncreatableTargetFailsWithTheFileError) {
  burner.AddFile("\\", tmp.write("a.txt", "a"), false);
  EXPECT_THROW(burner.BuildImageFile(tmp.at("no/such/dir/out.iso"), true), EFOpenError);
  EXPECT_TRUE(done.empty());
}

} // namespace
} // namespace qnzb::test
