// The encoded metadata: volume descriptors, path tables, directory records
// and the El Torito boot record and catalog, read back byte by byte.

#include <cstring>
#include <map>

#include "engine/image/IsoRecords.h"
#include "engine/runtime/Strings.h"
#include "image/LayoutFixture.h"

namespace qnzb::test {
namespace {

class MetadataTest : public LayoutTest {
protected:
  const uint8_t* Sector(uint32_t n) const { return burner.MetadataStream.data() + size_t{n} * 2048; }
  void Build() {
    ASSERT_TRUE(burner.PrepareImage(true, nullptr));
    ASSERT_TRUE(burner.BuildMetadata(true, nullptr));
  }
  static std::string Text(const uint8_t* at, size_t n) { return std::string(reinterpret_cast<const char*>(at), n); }
  static std::string Utf16BE(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
      out += '\0';
      out += c;
    }
    return out;
  }
};

TEST_F(MetadataTest, PrimaryAndSupplementaryDescriptorFields) {
  burner.IdVolume = "a volume label that is forty chars long";
  burner.IdPublisher = "Publisher";
  burner.AddFile("\\", tmp.write("a.txt", "x"), false);
  Build();
  const uint8_t* pvd = Sector(16);
  EXPECT_EQ(Text(pvd, 7), std::string("\x01" "CD001\x01", 7));
  EXPECT_EQ(Text(pvd + 8, 32), std::string(32, ' '));  // empty system id
  EXPECT_EQ(Text(pvd + 40, 32), "A VOLUME LABEL THAT IS FORTY CHA");
  EXPECT_EQ(GetLE32(pvd + 80), 151u);
  EXPECT_EQ(GetBE32(pvd + 84), 151u);
  EXPECT_EQ(Text(pvd + 88, 32), std::string(32, '\0'));  // reserved in the primary descriptor
  EXPECT_EQ(GetLE16(pvd + 128), 2048);
  EXPECT_EQ(GetLE32(pvd + 132), 10u);
  EXPECT_EQ(GetLE32(pvd + 140), burner.IsoPathTableL);
  EXPECT_EQ(GetBE32(pvd + 148), burner.IsoPathTableM);
  EXPECT_EQ(GetLE32(pvd + 156 + 2), burner.IsoDirStart);
  EXPECT_EQ(Text(pvd + 156 + 18, 7), std::string(7, '\0'));  // the root record's date is all zero
  EXPECT_EQ(pvd[156 + 25], 0x02);
  EXPECT_EQ(Text(pvd + 318, 9), "PUBLISHER");
  EXPECT_EQ(Text(pvd + 847, 17), std::string("0000000000000000\0", 17));
  EXPECT_EQ(pvd[881], 1);
  EXPECT_EQ(Text(pvd + 1024, 8), "        ");

  const uint8_t* svd = Sector(17);
  EXPECT_EQ(svd[0], 2);
  EXPECT_EQ(Text(svd + 88, 3), "\x25\x2F\x40");
  EXPECT_EQ(Text(svd + 8, 32), Utf16BE(std::string(16, ' ')));
  EXPECT_EQ(Text(svd + 40, 32), Utf16BE("a volume label t"));  // 16 units, case kept
  EXPECT_EQ(Text(svd + 318, 18), Utf16BE("Publisher"));
  EXPECT_EQ(GetLE32(svd + 140), burner.JolietPathTableL);
  EXPECT_EQ(GetLE32(svd + 156 + 2), burner.JolietDirStart);
  EXPECT_EQ(Text(svd + 702, 37), Utf16BE(std::string(18, ' ')) + std::string(1, '\0'));
  EXPECT_EQ(Sector(18)[0], 0xFF);
}

TEST_F(MetadataTest, VolumeDatesUseTheSixteenDigitText) {
  burner.DateModification = EncodeDateTime({2005, 2, 1, 12, 34, 56, 789});
  burner.AddFile("\\", tmp.write("a.txt", "x"), false);
  Build();
  EXPECT_EQ(Text(Sector(16) + 813, 17), std::string("1899123000000000\0", 17));
  EXPECT_EQ(Text(Sector(16) + 830, 17), std::string("2005020112345678\0", 17));
  EXPECT_EQ(Text(Sector(17) + 830, 16), "2005020112345678");
}

TEST_F(MetadataTest, DescriptorCopyHoldsTheDescriptorsThenFF) {
  burner.AddFile("\\", tmp.write("a.txt", "x"), false);
  Build();
  ASSERT_EQ(burner.DescriptorCopy.size(), 65537u);
  EXPECT_EQ(burner.DescriptorCopyLength, 19 * 2048);
  EXPECT_EQ(std::memcmp(burner.DescriptorCopy.data(), burner.MetadataStream.data(), 19 * 2048), 0);
  EXPECT_EQ(burner.DescriptorCopy[19 * 2048], 0xFF);
  EXPECT_EQ(burner.DescriptorCopy.back(), 0xFF);
}

TEST_F(MetadataTest, DirectoryRecordsCarryNamesExtentsFlagsAndPads) {
  burner.JolietFileSystem = false;
  tmp.write("src/A.TX", std::string(3000, 'a'));
  tmp.write("src/.hid", "h");
  tmp.write("src/.hdir/in.txt", "i");
  tmp.mkdir("src/emptydir");
  burner.AddFolder(burner.RootDir(), tmp.at("src"), "*.*", 63, true, false, false);
  burner.ForceDirectory("\\EMPTYDIR");
  Build();
  const uint8_t* root = Sector(burner.IsoDirStart);
  // "." then "..", both pointing at the root itself.
  EXPECT_EQ(root[0], 34);
  EXPECT_EQ(root[33], 0);
  EXPECT_EQ(root[34 + 33], 1);
  EXPECT_EQ(GetLE32(root + 34 + 2), burner.IsoDirStart);
  EXPECT_NE(Text(root + 18, 7), std::string(7, '\0'));  // "." carries the build time
  // Walk the records: name -> (length, flags, extent, size).
  struct Rec {
    int length, flags;
    uint32_t extent, size;
  };
  std::map<std::string, Rec> recs;
  for (size_t at = 68; at < 2048 && root[at] != 0; at += root[at])
    recs[Text(root + at + 33, root[at + 32])] = {root[at], root[at + 25], GetLE32(root + at + 2),
                                                  GetLE32(root + at + 10)};
  ASSERT_TRUE(recs.count("A.TX;1"));
  EXPECT_EQ(recs["A.TX;1"].length, 40);  // 6-byte identifier, one pad byte
  EXPECT_EQ(recs["A.TX;1"].size, 3000u);
  EXPECT_EQ(recs["A.TX;1"].extent, burner.FirstFileSector + burner.FindEntry(burner.RootDir(), "A.TX")->IsoExtent);
  const std::string hidAlias = burner.FindEntry(burner.RootDir(), ".hid")->IsoName + ";1";
  ASSERT_TRUE(recs.count(hidAlias)) << hidAlias;
  EXPECT_EQ(recs[hidAlias].flags, 0x01);
  const std::string dirAlias = burner.FindEntry(burner.RootDir(), ".hdir")->IsoName;
  ASSERT_TRUE(recs.count(dirAlias));
  EXPECT_EQ(recs[dirAlias].flags, 0x03);
  EXPECT_EQ(recs[dirAlias].extent, burner.IsoDirStart + burner.FindDirectory("\\.HDIR")->IsoSector);
  ASSERT_TRUE(recs.count("EMPTYDIR"));
  EXPECT_EQ(recs["EMPTYDIR"].size, 2048u);  // only "." and ".."
  EXPECT_EQ(recs["EMPTYDIR"].length, 33 + 8 + 1);
}

TEST_F(MetadataTest, PathTablesListDirectoriesInOrderWithParentNumbers) {
  burner.ForceDirectory("\\B\\C");
  burner.ForceDirectory("\\A");
  Build();
  const uint8_t* l = Sector(burner.IsoPathTableL);
  const uint8_t* m = Sector(burner.IsoPathTableM);
  // Root, A, B, C: records of 10 bytes each (one-byte names and their pad).
  EXPECT_EQ(l[0], 1);
  EXPECT_EQ(GetLE32(l + 2), burner.IsoDirStart);
  EXPECT_EQ(GetLE16(l + 6), 1);
  EXPECT_EQ(Text(l + 10 + 8, 1), "A");
  EXPECT_EQ(Text(l + 20 + 8, 1), "B");
  EXPECT_EQ(Text(l + 30 + 8, 1), "C");
  EXPECT_EQ(GetLE16(l + 30 + 6), 3);  // C's parent is B, number 3
  EXPECT_EQ(m[30 + 6], 0);
  EXPECT_EQ(m[30 + 7], 3);
  EXPECT_EQ(GetBE32(m + 30 + 2), burner.IsoDirStart + burner.FindDirectory("\\B\\C")->IsoSector);
  const uint8_t* jl = Sector(burner.JolietPathTableL);
  EXPECT_EQ(jl[10], 2);
  EXPECT_EQ(Text(jl + 10 + 8, 2), Utf16BE("A"));
  EXPECT_EQ(GetLE32(jl + 10 + 2), burner.JolietDirStart + burner.FindDirectory("\\A")->JolietSector);
}

TEST_F(MetadataTest, PathTableOfExactlyOneSectorHasNoZeroSectorAfter) {
  // 124 records of 16 bytes and 3 of 18 after the 10-byte root: 2,048 bytes.
  for (int i = 0; i < 124; ++i)
    burner.AddDirByName(burner.RootDir(), Format("D%07d", i), 0x10);
  for (int i = 0; i < 3; ++i)
    burner.AddDirByName(burner.RootDir(), Format("E%09d", i), 0x10);
  burner.JolietFileSystem = false;
  Build();
  EXPECT_EQ(burner.IsoPathTableSize, 2048);
  EXPECT_EQ(burner.IsoPathTableM, burner.IsoPathTableL + 1);
  EXPECT_EQ(burner.IsoDirStart, burner.IsoPathTableM + 1);
  burner.AddDirByName(burner.RootDir(), "F", 0x10);
  Build();
  EXPECT_EQ(burner.IsoPathTableM, burner.IsoPathTableL + 2);
}

TEST_F(MetadataTest, HandlerNamesOverTheRecordLimitAreShortenedToFit) {
  // 110 units with ";1" fit a Joliet record (254 bytes), 111 do not: a
  // handler's longer name is cut to fit instead of failing the build.
  std::string name;
  burner.OnAddFile = [&](TObject*, const std::string&, std::string& longName, std::string&, TDateTime&, int32_t,
                         int64_t, bool&) { longName = name; };
  name = std::string(104, 'n') + ".txt";  // 108 units
  burner.AddFile("\\", tmp.write("a.txt", "x"), false);
  name = std::string(105, 'm') + ".txt";  // 109 units
  burner.AddFile("\\", tmp.write("b.txt", "x"), false);
  burner.PrepareImage(true, nullptr);
  EXPECT_NO_THROW(burner.BuildMetadata(true, nullptr));
  EXPECT_NE(burner.FindEntry(burner.RootDir(), std::string(104, 'n') + ".txt"), nullptr);
  EXPECT_NE(burner.FindEntry(burner.RootDir(), DiscName(name, true)), nullptr);
}

TEST(ElTorito, CatalogChecksumAndMediaTypes) {
  const struct {
    int32_t sectors;
    uint8_t type;
  } rows[] = {{600, 1}, {720, 2}, {1440, 3}, {721, 4}, {1, 4}, {0, 4}};
  for (const auto& row : rows) {
    const TBytes catalog = EncodeBootCatalog(1234, row.sectors);
    uint32_t sum = 0;
    for (int i = 0; i < 32; i += 2)
      sum += GetLE16(catalog.data() + i);
    EXPECT_EQ(sum % 65536, 0u);
    EXPECT_EQ(catalog[33], row.type) << row.sectors;
    EXPECT_EQ(catalog[32], 0x88);
    EXPECT_EQ(GetLE16(catalog.data() + 38), 1);
    EXPECT_EQ(GetLE32(catalog.data() + 40), 1234u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(catalog.data() + 4), 19), "Quenz CD/DVD Burner");
    EXPECT_EQ(catalog[30], 0x55);
    EXPECT_EQ(catalog[31], 0xAA);
  }
  const TBytes record = EncodeBootRecord(77);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data() + 7), 23), "EL TORITO " "SPECIFI" "CATION");
  EXPECT_EQ(record[7 + 23], 0);
  EXPECT_EQ(GetLE32(record.data() + 71), 77u);
}

TEST(IsoRecordsFit, FieldsRefuseValuesTheyCannotHold) {
  TBytes out;
  TDirRecord big;
  big.DataLength = int64_t{1} << 32;
  big.Identifier = "A";
  EXPECT_THROW(AppendDirRecord(out, big, 0), EImageError);
  TDirRecord longName;
  longName.Identifier = std::string(222, 'x');  // 33 + 222 + 1 = 256
  EXPECT_THROW(AppendDirRecord(out, longName, 0), EImageError);
  longName.Identifier = std::string(221, 'x');  // 255
  EXPECT_NO_THROW(AppendDirRecord(out, longName, 0));
  EXPECT_THROW(AppendPathRecord(out, "A", 1, 65536, true), EImageError);
  uint8_t date[7];
  EXPECT_THROW(PutRecordingDate(date, 0, 128), EImageError);
  PutRecordingDate(date, EncodeDateTime({2004, 7, 4, 13, 5, 9, 0}), -20);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(date), 7), std::string("\x68\x07\x04\x0D\x05\x09\xEC", 7));
}

} // namespace
} // namespace qnzb::test
