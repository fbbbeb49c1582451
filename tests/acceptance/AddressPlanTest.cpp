// Where things land in a built image: descriptors, path tables, directory extents
// and file data at their sector addresses, read from the image's own bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "AcceptanceSupport.h"

namespace qnzb::acceptance {
namespace {

namespace fs = std::filesystem;

struct Plan {
  std::string name;
  bool joliet = false;
  uint32_t terminator = 0;
  uint32_t isoPathL = 0, isoPathM = 0;
  uint32_t jolietPathL = 0, jolietPathM = 0;
  uint32_t isoDir = 0, jolietDir = 0;
};

void PrintTo(const Plan& plan, std::ostream* os) {
  *os << plan.name;
}

class AddressPlan : public ::testing::TestWithParam<Plan> {};

struct BuildMode {
  const char* name;
  bool quick;
};
const BuildMode BuildModes[] = {{"quick build", true}, {"cached build", false}};

void ExpectPlan(const Plan& plan, const BuildMode& mode, uint32_t fileSectors) {
  CliSandbox sandbox;
  const std::string content = PositionPattern(100, 7);
  const std::string source = sandbox.dir().mkdir("source");
  WriteTree(source, {{"a.txt", content}});
  const std::string path = sandbox.dir().at("plan.iso");
  std::vector<std::string> args{"build-iso", path, "--save-path", "unchecked", "--volume", "Plan Check"};
  if (mode.quick)
    args.push_back("--quick");
  if (!plan.joliet)
    args.push_back("--no-joliet");
  args.push_back(source);
  const RunResult r = sandbox.Cli(args);
  ASSERT_EQ(r.exitCode, 0) << r.Describe();

  ASSERT_EQ(fs::file_size(path), uint64_t{fileSectors} * SectorSize);
  const ImageBytes img = ImageBytes::Load(path);
  EXPECT_TRUE(img.AllZero(0, 16 * SectorSize)) << "system area";

  // Descriptors: type byte, "CD001", version.
  const uint64_t pvd = 16 * SectorSize;
  EXPECT_EQ(img.U8(pvd), 1);
  EXPECT_EQ(img.Range(pvd + 1, 5), "CD001");
  EXPECT_EQ(img.U8(pvd + 6), 1);
  const uint64_t term = uint64_t{plan.terminator} * SectorSize;
  EXPECT_EQ(img.U8(term), 0xFF);
  EXPECT_EQ(img.Range(term + 1, 5), "CD001");

  EXPECT_EQ(img.Range(pvd + 40, 32), "PLAN CHECK" + std::string(22, ' '));
  EXPECT_EQ(img.U32Both(pvd + 80), 151u) << "volume space size";
  EXPECT_EQ(img.U32LE(pvd + 128) & 0xFFFF, SectorSize);
  EXPECT_EQ(img.U32Both(pvd + 132), 10u) << "path table of the root alone";
  EXPECT_EQ(img.U32LE(pvd + 140), plan.isoPathL);
  EXPECT_EQ(img.U32BE(pvd + 148), plan.isoPathM);

  // The path tables themselves: the root's record points at its extent.
  EXPECT_EQ(img.U8(uint64_t{plan.isoPathL} * SectorSize), 1);
  EXPECT_EQ(img.U32LE(uint64_t{plan.isoPathL} * SectorSize + 2), plan.isoDir);
  EXPECT_EQ(img.U16LE(uint64_t{plan.isoPathL} * SectorSize + 6), 1);
  EXPECT_EQ(img.U32BE(uint64_t{plan.isoPathM} * SectorSize + 2), plan.isoDir);
  EXPECT_EQ(img.U16BE(uint64_t{plan.isoPathM} * SectorSize + 6), 1);

  // Root record in the descriptor, then the root directory itself.
  EXPECT_EQ(img.U8(pvd + 156), 34);
  EXPECT_EQ(img.U32Both(pvd + 156 + 2), plan.isoDir);
  EXPECT_EQ(img.U32Both(pvd + 156 + 10), SectorSize);
  const std::vector<DirRecord> root = ReadDirectory(img, plan.isoDir, SectorSize);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(root[0].extent, plan.isoDir);
  EXPECT_EQ(root[1].extent, plan.isoDir);
  EXPECT_EQ(root[2].identifier, "A.TXT;1");
  EXPECT_EQ(root[2].extent, 150u);
  EXPECT_EQ(root[2].length, 100u);

  if (plan.joliet) {
    const uint64_t svd = 17 * SectorSize;
    EXPECT_EQ(img.U8(svd), 2);
    EXPECT_EQ(img.Range(svd + 1, 5), "CD001");
    EXPECT_EQ(img.Range(svd + 88, 3), "\x25\x2F\x40");
    EXPECT_EQ(img.Range(svd + 40, 32), Utf16BE("Plan Check" + std::string(6, ' ')));
    EXPECT_EQ(img.U32Both(svd + 80), 151u);
    EXPECT_EQ(img.U32LE(svd + 140), plan.jolietPathL);
    EXPECT_EQ(img.U32BE(svd + 148), plan.jolietPathM);
    EXPECT_EQ(img.U32LE(uint64_t{plan.jolietPathL} * SectorSize + 2), plan.jolietDir);
    EXPECT_EQ(img.U32BE(uint64_t{plan.jolietPathM} * SectorSize + 2), plan.jolietDir);
    EXPECT_EQ(img.U32Both(svd + 156 + 2), plan.jolietDir);
    const std::vector<DirRecord> jroot = ReadDirectory(img, plan.jolietDir, SectorSize);
    ASSERT_EQ(jroot.size(), 3u);
    EXPECT_EQ(jroot[0].extent, plan.jolietDir);
    EXPECT_EQ(jroot[2].identifier, Utf16BE("a.txt;1"));
    EXPECT_EQ(jroot[2].extent, 150u) << "both trees share the file's data";
    EXPECT_EQ(jroot[2].length, 100u);
  } else {
    EXPECT_TRUE(img.AllZero(pvd + 88, 3)) << "no Joliet escape without Joliet";
  }

  // Nothing between the last directory sector and the file; then the file, zero-filled.
  const uint32_t lastMeta = plan.joliet ? plan.jolietDir : plan.isoDir;
  EXPECT_TRUE(img.AllZero(uint64_t{lastMeta + 1} * SectorSize, uint64_t{150 - lastMeta - 1} * SectorSize));
  EXPECT_EQ(img.Range(150 * SectorSize, 100), content);
  EXPECT_TRUE(img.AllZero(150 * SectorSize + 100, uint64_t{fileSectors - 150} * SectorSize - 100));
}

// One file of 100 bytes: the metadata fits below sector 150, so the file opens
// sector 150 and the volume ends after it, with zeros in between. Both build
// modes lay it out alike; the cached one, which also feeds a disc write, pads
// an image shorter than 300 sectors with zeros up to 300.
TEST_P(AddressPlan, OneSmallFileLandsAtTheAddressesOfThePlan) {
  const Plan& plan = GetParam();
  for (const BuildMode& mode : BuildModes) {
    SCOPED_TRACE(mode.name);
    ExpectPlan(plan, mode, mode.quick ? 151 : 300);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, AddressPlan,
                         ::testing::Values(Plan{"IsoOnly", false, 17, 18, 19, 0, 0, 20, 0},
                                           Plan{"WithJoliet", true, 18, 19, 20, 21, 22, 23, 24}),
                         [](const ::testing::TestParamInfo<Plan>& row) { return row.param.name; });

// Files follow each other sector by sector from 150 in the order of the file
// table, each from a sector boundary; empty files take no sector.
TEST(AddressPlanFiles, FilesAreContiguousAndEmptyOnesTakeNoRoom) {
  CliSandbox sandbox;
  const std::string source = sandbox.dir().mkdir("source");
  const TreeContent tree = {
      {"a.bin", PositionPattern(2048, 1)},
      {"b.bin", PositionPattern(2049, 2)},
      {"c.bin", PositionPattern(0, 3)},
      {"d.bin", PositionPattern(1, 4)},
  };
  WriteTree(source, tree);
  const std::string path = sandbox.dir().at("files.iso");
  const RunResult r = sandbox.Cli({"build-iso", "--quick", path, "--save-path", "unchecked", "--no-joliet", source});
  ASSERT_EQ(r.exitCode, 0) << r.Describe();
  const ImageBytes img = ImageBytes::Load(path);
  // 1 + 2 + 0 + 1 sectors of data after 150.
  EXPECT_EQ(img.sectors(), 154u);
  EXPECT_EQ(img.U32Both(16 * SectorSize + 80), 154u);

  const std::vector<DirRecord> root = ReadDirectory(img, img.U32LE(16 * SectorSize + 156 + 2), SectorSize);
  ASSERT_EQ(root.size(), 2 + tree.size());
  std::vector<std::pair<uint32_t, uint32_t>> placed;  // extent, length of the non-empty files
  for (size_t i = 2; i < root.size(); ++i) {
    const DirRecord& rec = root[i];
    // A.BIN;1 stands for a.bin, and so on.
    const std::string rel = std::string(1, static_cast<char>(rec.identifier[0] - 'A' + 'a')) + ".bin";
    ASSERT_TRUE(tree.count(rel)) << rec.identifier;
    const std::string& content = tree.at(rel);
    ASSERT_EQ(rec.length, content.size()) << rec.identifier;
    if (content.empty()) {
      EXPECT_EQ(rec.extent, 0u) << rec.identifier;
      continue;
    }
    placed.emplace_back(rec.extent, rec.length);
    EXPECT_EQ(img.Range(uint64_t{rec.extent} * SectorSize, content.size()), content) << rec.identifier;
    const uint64_t tail = content.size() % SectorSize;
    if (tail) {
      EXPECT_TRUE(img.AllZero(uint64_t{rec.extent} * SectorSize + content.size(), SectorSize - tail)) << rec.identifier;
    }
  }
  std::sort(placed.begin(), placed.end());
  uint32_t next = 150;
  for (const auto& [extent, length] : placed) {
    EXPECT_EQ(extent, next);
    next = extent + (length + SectorSize - 1) / SectorSize;
  }
  EXPECT_EQ(next, 154u);
}

// A file past 2 GiB (sparse, with marks at both ends) keeps its whole size in
// both build modes: the record, the volume size and the data of the file after
// it are all where 64-bit arithmetic puts them.
TEST(AddressPlanFiles, FileBeyond2GiBKeepsItsFullSize) {
  CliSandbox sandbox;
  const std::string source = sandbox.dir().mkdir("source");
  const uint64_t bigSize = (uint64_t{1} << 31) + 5;
  const std::string big = sandbox.dir().writeSparse("source/big.bin", static_cast<int64_t>(bigSize));
  {
    std::fstream f(big, std::ios::in | std::ios::out | std::ios::binary);
    f.write("HEAD", 4);
    f.seekp(static_cast<std::streamoff>(bigSize - 5));
    f.write("TAIL!", 5);
  }
  const std::string small = PositionPattern(100, 8);
  WriteTree(source, {{"small.txt", small}});
  const uint64_t bigSectors = (bigSize + SectorSize - 1) / SectorSize;
  const uint64_t sectors = 150 + bigSectors + 1;

  for (const BuildMode& mode : BuildModes) {
    SCOPED_TRACE(mode.name);
    const std::string path = sandbox.dir().at("big.iso");
    std::vector<std::string> args{"build-iso", path, "--save-path", "unchecked", "--no-joliet", source};
    if (mode.quick)
      args.push_back("--quick");
    const RunResult r = sandbox.Cli(args);
    ASSERT_EQ(r.exitCode, 0) << r.Describe();

    ASSERT_EQ(fs::file_size(path), sectors * SectorSize);
    const ImageBytes head = ImageBytes::LoadHead(path, 150 * SectorSize);
    EXPECT_EQ(head.U32Both(16 * SectorSize + 80), sectors);
    const std::vector<DirRecord> root = ReadDirectory(head, head.U32LE(16 * SectorSize + 156 + 2), SectorSize);
    ASSERT_EQ(root.size(), 4u);
    for (size_t i = 2; i < root.size(); ++i) {
      const DirRecord& rec = root[i];
      const uint64_t at = uint64_t{rec.extent} * SectorSize;
      if (rec.identifier == "BIG.BIN;1") {
        EXPECT_EQ(rec.length, bigSize);
        EXPECT_EQ(ReadRange(path, at, 4), "HEAD");
        EXPECT_EQ(ReadRange(path, at + bigSize - 5, 5), "TAIL!");
        EXPECT_EQ(ReadRange(path, at + bigSize, SectorSize - bigSize % SectorSize),
                  std::string(SectorSize - bigSize % SectorSize, '\0'));
      } else {
        EXPECT_EQ(rec.identifier, "SMALL.TXT;1");
        EXPECT_EQ(rec.length, small.size());
        EXPECT_EQ(ReadRange(path, at, small.size()), small);
      }
    }
    // Whichever comes first, the two files fill sectors 150 to the end without a gap.
    const uint32_t first = std::min(root[2].extent, root[3].extent);
    const uint32_t second = std::max(root[2].extent, root[3].extent);
    EXPECT_EQ(first, 150u);
    EXPECT_TRUE(second == 151u || second == 150u + bigSectors) << second;
    fs::remove(path);
  }
}

} // namespace
} // namespace qnzb::acceptance
