// The address plan of a session: descriptor, path table, directory, boot and
// file sectors, and the track length.

#if !defined(_WIN32)
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cstdio>

#include "engine/image/IsoRecords.h"
#include "engine/runtime/Strings.h"
#include "image/LayoutFixture.h"

namespace qnzb::test {
namespace {

class ImageLayoutTest : public LayoutTest {
protected:
  void AddOneSmallFile() { ASSERT_EQ(burner.AddFile("\\", tmp.write("a.txt", std::string(100, 'a')), false), 1); }
};

TEST_F(ImageLayoutTest, OneSmallFileWithoutJoliet) {
  burner.JolietFileSystem = false;
  AddOneSmallFile();
  ASSERT_TRUE(burner.PrepareImage(true, nullptr));
  EXPECT_EQ(burner.SessionStart, 0u);
  EXPECT_EQ(burner.IsoPathTableL, 18u);
  EXPECT_EQ(burner.IsoPathTableM, 19u);
  EXPECT_EQ(burner.IsoPathTableSize, 10);
  EXPECT_EQ(burner.IsoDirStart, 20u);
  EXPECT_EQ(burner.IsoDirBytes, 2048);
  EXPECT_EQ(burner.PaddingSectors, 129);
  EXPECT_EQ(burner.FirstFileSector, 150u);
  EXPECT_EQ(burner.FileSectors, 1);
  EXPECT_EQ(burner.ImageEnd, 151);
  EXPECT_EQ(burner.ImageLength, 151);
  EXPECT_FALSE(burner.DoDebug);
}

TEST_F(ImageLayoutTest, OneSmallFileWithJoliet) {
  AddOneSmallFile();
  burner.PrepareImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableL, 19u);
  EXPECT_EQ(burner.IsoPathTableM, 20u);
  EXPECT_EQ(burner.JolietPathTableL, 21u);
  EXPECT_EQ(burner.JolietPathTableM, 22u);
  EXPECT_EQ(burner.IsoDirStart, 23u);
  EXPECT_EQ(burner.JolietDirStart, 24u);
  EXPECT_EQ(burner.FirstFileSector, 150u);
  EXPECT_EQ(burner.PaddingSectors, 150 - 25);
}

TEST_F(ImageLayoutTest, BootableWithJolietPlacesBootItemsAfterTheDirectories) {
  AddOneSmallFile();
  burner.Bootable = true;
  burner.BootImage = tmp.write("boot.img", std::string(5000, 'b'));
  burner.PrepareImage(true, nullptr);
  burner.BuildMetadata(true, nullptr);
  ASSERT_TRUE(burner.Bootable);
  const auto type = [&](int sector) { return burner.MetadataStream[static_cast<size_t>(sector) * 2048]; };
  EXPECT_EQ(type(16), 1);
  EXPECT_EQ(type(17), 0);  // boot record
  EXPECT_EQ(type(18), 2);  // supplementary
  EXPECT_EQ(type(19), 0xFF);
  EXPECT_EQ(burner.IsoPathTableL, 20u);
  EXPECT_EQ(burner.BootCatalogSector, burner.JolietDirStart + 1);
  EXPECT_EQ(burner.BootImageSector, burner.BootCatalogSector + 1);
  EXPECT_EQ(burner.BootImageSectors, 3);
  EXPECT_EQ(burner.FirstFileSector, 150u);
  EXPECT_EQ(burner.PaddingSectors, 150 - (burner.BootImageSector + 3));
}

#if !defined(_WIN32)
TEST_F(ImageLayoutTest, MissingBootImageTurnsBootableOff) {
  AddOneSmallFile();
  // A socket is there but can't be opened: as if the image vanished after
  // the check, without planning the session twice.
  const std::string socket = tmp.at("boot.sock");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  for (const std::string& image : {std::string(), tmp.at("nope.img"), socket}) {
    burner.Bootable = true;
    burner.BootImage = image;
    burner.PrepareImage(true, nullptr);
    EXPECT_FALSE(burner.Bootable) << image;
    EXPECT_EQ(burner.IsoPathTableL, 19u);  // supplementary at 17, terminator 18
  }
  ::close(fd);
  EXPECT_TRUE(Logged(">>> BOOT IMAGE " + socket + " CAN'T BE READ, THE DISC WILL NOT BOOT", 4));
}
#endif

TEST_F(ImageLayoutTest, BootImagesTooSmallToBootAreRefused) {
  AddOneSmallFile();
  for (const int64_t size : {0, 1, 511, 512}) {
    burner.Bootable = true;
    burner.BootImage = tmp.write("boot.img", std::string(static_cast<size_t>(size), 'b'));
    if (size < 512) {
      try {
        burner.PrepareImage(true, nullptr);
        ADD_FAILURE() << size << " bytes were taken";
      } catch (const EImageError& e) {
        EXPECT_NE(std::string(e.what()).find("BOOT IMAGE " + burner.BootImage + " IS TOO SMALL"), std::string::npos);
      }
    } else {
      EXPECT_TRUE(burner.PrepareImage(true, nullptr));
      EXPECT_EQ(burner.BootImageSectors, 1);
    }
  }
}

TEST_F(ImageLayoutTest, DirectoryRecordsNeverCrossASector) {
  // Identifiers of 14 bytes ("NAMEnnnn.TXT;1") give records of 48 bytes: 41
  // of them fill 1,968 of the 1,980 bytes after "." and "..", 12 stay free.
  tmp.mkdir("src");
  for (int i = 0; i < 43; ++i)
    tmp.write(Format("src/NAME%04d.TXT", i), "x");
  burner.JolietFileSystem = false;
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  burner.PrepareImage(true, nullptr);
  EXPECT_EQ(burner.RootDir()->IsoSize, 4096);
  burner.BuildMetadata(true, nullptr);
  const uint8_t* dir = burner.MetadataStream.data() + burner.IsoDirStart * 2048;
  EXPECT_EQ(dir[2048 - 6], 0);  // the gap stays zero
  EXPECT_EQ(dir[68 + 40 * 48], 48);  // the 41st record still fits
  EXPECT_EQ(dir[2048], 48);          // the 42nd opens the second sector
}

TEST_F(ImageLayoutTest, RecordsThatFillASectorExactlyLeaveNoGap) {
  // "." and ".." take 68 bytes; 45 directory records of 44 bytes (10-byte
  // identifiers) fill the rest exactly.
  for (int i = 0; i < 45; ++i)
    ASSERT_NE(burner.AddDirByName(burner.RootDir(), Format("D%09d", i), 0x10), nullptr);
  burner.JolietFileSystem = false;
  burner.PrepareImage(true, nullptr);
  // 68 + 45 * 44 = 2048: one sector exactly, and the size says so.
  EXPECT_EQ(burner.RootDir()->IsoSize, 2048);
  ASSERT_NE(burner.AddDirByName(burner.RootDir(), "D999999999", 0x10), nullptr);
  burner.PrepareImage(true, nullptr);
  EXPECT_EQ(burner.RootDir()->IsoSize, 4096);
}

TEST_F(ImageLayoutTest, FileExtentsFollowTheFileTable) {
  tmp.write("src/a.bin", std::string(5000, 'a'));  // 3 sectors
  tmp.write("src/empty.bin", "");
  tmp.write("src/sub/b.bin", std::string(2048, 'b'));  // 1 sector
  tmp.write("src/c.bin", "c");
  ASSERT_EQ(burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false), 1);
  burner.PrepareImage(true, nullptr);
  const TDEntry* root = burner.RootDir();
  const TDEntry* sub = burner.FindDirectory("\\SUB");
  EXPECT_EQ(burner.FindEntry(sub, "b.bin")->IsoExtent, 0u);
  EXPECT_EQ(burner.FindEntry(root, "a.bin")->IsoExtent, 1u);
  EXPECT_EQ(burner.FindEntry(root, "c.bin")->IsoExtent, 4u);
  const TFEntry* empty = burner.FindEntry(root, "empty.bin");
  EXPECT_EQ(empty->IsoExtent, 0u);
  EXPECT_EQ(empty->JolietSize, 0);
  const TFEntry* subEntry = burner.FindEntry(root, "sub");
  EXPECT_EQ(subEntry->IsoExtent, sub->IsoSector);
  EXPECT_EQ(subEntry->JolietExtent, sub->JolietSector);
  EXPECT_EQ(subEntry->IsoSize, 2048);
  EXPECT_EQ(burner.FileSectors, 5);
  EXPECT_EQ(burner.ImageEnd, 155);
}

TEST_F(ImageLayoutTest, TrackLengthHasAFloorWithThePostGap) {
  tmp.write("big.bin", std::string(9 * 2048, 'x'));
  ASSERT_EQ(burner.AddFile("\\", tmp.at("big.bin"), false), 1);
  burner.PrepareImage(true, nullptr);
  ASSERT_EQ(burner.ImageLength, 159);
  EXPECT_EQ(burner.TrackLength(), 300);
  burner.WritePostGap = false;
  EXPECT_EQ(burner.TrackLength(), 159);
}

TEST_F(ImageLayoutTest, PathTableSizesCountPadBytes) {
  burner.ForceDirectory("\\ODD");     // 8 + 3 + 1
  burner.ForceDirectory("\\EVEN");    // 8 + 4
#if defined(_WIN32)
  burner.ForceDirectory("\\D\xEDr");  // the ANSI code page; Joliet: 8 + 6
#else
  burner.ForceDirectory("\\Dír");     // Joliet: 8 + 6
#endif
  burner.PrepareImage(true, nullptr);
  EXPECT_EQ(burner.IsoPathTableSize, 10 + 12 + 12 + 12);
  EXPECT_EQ(burner.JolietPathTableSize, 10 + 14 + 16 + 14);
}

} // namespace
} // namespace qnzb::test
