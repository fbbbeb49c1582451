// What owns a sector of an image our own builder made: every kind of owner at
// its planned address, Joliet and ISO names, a volume moved to a later
// session's start, and hostile patches that must end quickly without a crash.

#include <algorithm>
#include <functional>

#include "engine/image/SectorOwner.h"
#include "image/SessionDisc.h"

namespace qnzb::test {
namespace {

class SectorOwnerTest : public LayoutTest {
protected:
  // A bootable compilation with a folder, a file in it, an empty file and a
  // file in the root.
  TImage Build(bool joliet) {
    tmp.writePattern("src/A long folder name/notes about things.md", 5000, 1);
    tmp.write("src/A long folder name/empty", "");
    tmp.writePattern("src/top.bin", 2048, 2);
    EXPECT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
    burner.JolietFileSystem = joliet;
    burner.Bootable = true;
    burner.BootImage = tmp.writePattern("boot.img", 1474560, 3);  // a 1.44 MB diskette: 720 sectors
    const std::string file = tmp.at(joliet ? "joliet.iso" : "iso.iso");
    EXPECT_EQ(burner.BuildImageFile(file, true), 1);
    const std::string bytes = readFile(file);
    return TImage(bytes.begin(), bytes.end());
  }

  // A reader over `image` placed at `start`, counting its reads.
  TSectorReader Reader(const TImage& image, uint32_t start = 0) {
    return [&image, start, this](uint32_t lba, uint8_t* sector) {
      ++reads;
      if (lba < start || (uint64_t{lba - start} + 1) * 2048 > image.size())
        return false;
      std::memcpy(sector, image.data() + size_t{lba - start} * 2048, 2048);
      return true;
    };
  }

  // The absolute first sector of a file of the built layout.
  uint32_t FileSector(const std::string& folder, const std::string& name) {
    TDEntry* dir = folder.empty() ? burner.RootDir() : burner.FindEntry(burner.RootDir(), folder)->Dir;
    return burner.FirstFileSector + burner.FindEntry(dir, name)->IsoExtent;
  }

  uint64_t reads = 0;
};

TEST_F(SectorOwnerTest, NamesEveryKindOfOwnerAtItsPlannedSector) {
  const TImage image = Build(true);
  const TSectorOwners owners(Reader(image), 0);
  ASSERT_TRUE(owners.HasVolume());
  EXPECT_FALSE(owners.Truncated());
  const TDEntry* folder = burner.FindEntry(burner.RootDir(), "A long folder name")->Dir;
  const uint32_t notes = FileSector("A long folder name", "notes about things.md");
  const uint32_t top = FileSector("", "top.bin");
  const struct {
    uint32_t Lba;
    std::string Owner;
  } cases[] = {
      {0, ""},  // the system area
      {16, "VOLUME DESCRIPTOR"},
      {19, "VOLUME DESCRIPTOR"},  // primary, boot record, Joliet, terminator
      {burner.IsoPathTableL, "PATH TABLE"},
      {burner.JolietPathTableM, "PATH TABLE"},
      {burner.IsoDirStart, "DIRECTORY \\"},
      {burner.IsoDirStart + folder->IsoSector, "DIRECTORY \\" + folder->IsoName},
      {burner.JolietDirStart, "DIRECTORY \\"},
      {burner.JolietDirStart + folder->JolietSector, "DIRECTORY \\A long folder name"},
      {burner.BootCatalogSector, "BOOT CATALOG"},
      {burner.BootImageSector, "BOOT IMAGE"},
      {burner.BootImageSector + 719, "BOOT IMAGE"},
      {notes, "FILE \\A long folder name\\notes about things.md"},
      {notes + 2, "FILE \\A long folder name\\notes about things.md"},
      {top, "FILE \\top.bin"},
      {std::max(notes + 3, top + 1), ""},  // after the last file
  };
  for (const auto& c : cases)
    EXPECT_EQ(owners.OwnerOf(c.Lba), c.Owner) << "sector " << c.Lba;
  EXPECT_TRUE(owners.IsFile(owners.OwnerId(top)));
  EXPECT_NE(owners.OwnerId(top), owners.OwnerId(notes));
  EXPECT_EQ(SectorOwner(Reader(image), 0, notes + 1), "FILE \\A long folder name\\notes about things.md");
}

TEST_F(SectorOwnerTest, WithoutJolietFilesGoByTheirIsoNamesWithoutVersion) {
  const TImage image = Build(false);
  const TSectorOwners owners(Reader(image), 0);
  TFEntry* folder = burner.FindEntry(burner.RootDir(), "A long folder name");
  TFEntry* notes = burner.FindEntry(folder->Dir, "notes about things.md");
  EXPECT_EQ(owners.OwnerOf(burner.FirstFileSector + notes->IsoExtent),
            "FILE \\" + folder->IsoName + "\\" + notes->IsoName);
  EXPECT_EQ(notes->IsoName.find(';'), std::string::npos);
}

TEST_F(SectorOwnerTest, AVolumeAtALaterSessionsStartIsReadAtItsAbsoluteAddresses) {
  TImage image = Build(true);
  const uint32_t start = 5000;
  const uint32_t notes = FileSector("A long folder name", "notes about things.md");
  Relocate(image, start);
  const TSectorOwners owners(Reader(image, start), start);
  EXPECT_EQ(owners.OwnerOf(start + 16), "VOLUME DESCRIPTOR");
  EXPECT_EQ(owners.OwnerOf(start + burner.JolietDirStart), "DIRECTORY \\");
  EXPECT_EQ(owners.OwnerOf(start + notes), "FILE \\A long folder name\\notes about things.md");
  EXPECT_EQ(owners.OwnerOf(notes), "");
}

// Damage that must not make the walk loop, read without end or crash; the
// owners it can still tell stay right.
TEST_F(SectorOwnerTest, HostileVolumesEndQuicklyAndKeepWhatIsSound) {
  struct TCase {
    const char* What;
    std::function<void(TImage&)> Damage;
    const char* Top;  // the owner of top.bin's sector afterwards; nullptr: whatever the damage left
  };
  auto folderRecord = [this](TImage& image) {
    const size_t at = FindRecord(image, burner.JolietDirStart, 2048, JolietIdentifier("A long folder name", false));
    EXPECT_NE(at, 0u);
    return image.data() + at;
  };
  const TCase cases[] = {
      {"a folder that is the root again",
       [&](TImage& image) { PutBoth32(folderRecord(image) + 2, burner.JolietDirStart); },
       "FILE \\top.bin"},
      {"a folder of 4 GiB",
       [&](TImage& image) { PutBoth32(folderRecord(image) + 10, 0xFFFFFFFFu); },
       "DIRECTORY \\A long folder name"},  // a directory's claim is the stronger
      {"a file of 4 GiB from sector 0",
       [&](TImage& image) {
         const TDEntry* folder = burner.FindEntry(burner.RootDir(), "A long folder name")->Dir;
         const size_t at = FindRecord(image, burner.JolietDirStart + folder->JolietSector, 2048,
                                      JolietIdentifier("notes about things.md", true));
         ASSERT_NE(at, 0u);
         PutBoth32(image.data() + at + 2, 0);
         PutBoth32(image.data() + at + 10, 0xFFFFFFFFu);
       },
       "FILE \\top.bin"},  // claimed first
      {"a record length running past its sector",
       [&](TImage& image) { folderRecord(image)[0] = 0xFF; }, nullptr},
      {"path tables of 4 GiB",
       [](TImage& image) { PutBoth32(Descriptor(image, 1) + 132, 0xFFFFFFFFu); }, "PATH TABLE"},
      {"a boot catalog far past the end",
       [](TImage& image) { PutLE32(SectorOf(image, 17) + 71, 0xFFFFFFF0u); },
       "FILE \\top.bin"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    burner.ResetLayout(600000, 20000);
    TImage image = Build(true);
    const uint32_t top = FileSector("", "top.bin");
    c.Damage(image);
    reads = 0;
    const TSectorOwners owners(Reader(image), 0);
    EXPECT_LE(reads, 70000u);
    EXPECT_EQ(owners.OwnerOf(16), "VOLUME DESCRIPTOR");
    if (c.Top) {
      EXPECT_EQ(owners.OwnerOf(top), c.Top);
    }
    (void)owners.OwnerOf(0xFFFFFFFFu);
  }
}

TEST_F(SectorOwnerTest, NoVolumeOwnsNothing) {
  const TImage image(40 * 2048, 0);
  const TSectorOwners owners(Reader(image), 0);
  EXPECT_FALSE(owners.HasVolume());
  EXPECT_EQ(owners.OwnerOf(16), "");
}

} // namespace
} // namespace qnzb::test
