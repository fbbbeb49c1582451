// Extracting imported files from a virtual disc: chunking of the reads,
// dates, replacing, and failures that leave nothing half-written behind.

#include <filesystem>
#include <sys/stat.h>

#include "engine/device/qnConst.h"
#include "engine/runtime/DateTime.h"
#include "engine/runtime/Strings.h"
#include "image/SessionDisc.h"
#include "vdrive/FaultPlan.h"

namespace qnzb::test {
namespace {

class ExtractFileTest : public SessionDiscTest {
protected:
  ExtractFileTest() {
    const std::vector<std::pair<std::string, int64_t>> files = {
        {"zero.bin", 0}, {"exact.bin", 63488}, {"over.bin", 63489}, {"small.txt", 10}};
    TDateTime when = EncodeDateTime({2019, 8, 7, 6, 5, 4, 0});
    for (const auto& [name, size] : files) {
      sources[name] = tmp.writePattern("src/" + name, size, static_cast<int>(size % 251));
      burner.AddFile("\\", sources[name], false);
      burner.LastEntry->DateTime = when;
    }
    Burn(Build());
    burner.ResetLayout(65535, 8191);
    EXPECT_TRUE(burner.ImportPreviousSession(1, nullptr));
    log.clear();
  }

  TFEntry* Entry(const std::string& name) { return burner.FindEntry(burner.RootDir(), name); }

  // The READ (10) commands sent since the last clear: (lba, blocks).
  std::vector<std::pair<uint32_t, uint16_t>> Reads() const {
    std::vector<std::pair<uint32_t, uint16_t>> out;
    for (const auto& sent : manager.Sent)
      if (sent.Block.CDBByte[0] == 0x28)
        out.emplace_back(GetBE32(sent.Block.CDBByte + 2),
                         static_cast<uint16_t>(sent.Block.CDBByte[7] << 8 | sent.Block.CDBByte[8]));
    return out;
  }

  static int64_t ModifiedSeconds(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
  }

  std::map<std::string, std::string> sources;
};

TEST_F(ExtractFileTest, CopiesInChunksOf31SectorsWithTheRecordedDate) {
  int64_t expectedTime = 0;
  int32_t ns = 0;
  ASSERT_TRUE(LocalDateTimeToUnixTime(EncodeDateTime({2019, 8, 7, 6, 5, 4, 0}), expectedTime, ns));
  struct Case {
    const char* Name;
    std::vector<uint16_t> Blocks;
  };
  for (const Case& c : {Case{"zero.bin", {}}, Case{"exact.bin", {31}}, Case{"over.bin", {31, 1}},
                        Case{"small.txt", {1}}}) {
    SCOPED_TRACE(c.Name);
    TFEntry* e = Entry(c.Name);
    ASSERT_NE(e, nullptr);
    manager.Sent.clear();
    const std::string target = tmp.at(std::string("out/") + c.Name);
    tmp.mkdir("out");
    EXPECT_TRUE(burner.ExtractFile(e, target));
    EXPECT_EQ(readFile(target), readFile(sources[c.Name]));
    EXPECT_EQ(ModifiedSeconds(target), expectedTime);
    std::vector<std::pair<uint32_t, uint16_t>> expected;
    uint32_t lba = e->IsoExtent;
    for (uint16_t blocks : c.Blocks) {
      expected.emplace_back(lba, blocks);
      lba += blocks;
    }
    EXPECT_EQ(Reads(), expected);
    EXPECT_TRUE(Logged(Format(">>> EXTRACTING FILE %s TO %s", c.Name, target.c_str()), mtProgress));
    EXPECT_FALSE(std::filesystem::exists(target + ".part"));
  }
}

TEST_F(ExtractFileTest, ExtractingAgainReplacesTheTarget) {
  const std::string target = tmp.write("target.bin", std::string(100000, 'o'));
  ASSERT_TRUE(burner.ExtractFile(Entry("over.bin"), target));
  ASSERT_TRUE(burner.ExtractFile(Entry("small.txt"), target));
  EXPECT_EQ(readFile(target), readFile(sources["small.txt"]));
}

TEST_F(ExtractFileTest, FailedReadReportsAndLeavesNoPartialFile) {
  TFEntry* e = Entry("over.bin");
  vdrive::FaultPlan plan;
  vdrive::FaultRule rule;
  rule.Opcode = 0x28;
  rule.Kind = vdrive::FaultKind::MediumError;
  rule.FromLba = e->IsoExtent + 31;  // the second command
  rule.Times = 0;
  plan.Add(rule);
  recorder.SetFaultPlan(plan);

  const std::string fresh = tmp.at("fresh.bin");
  EXPECT_FALSE(burner.ExtractFile(e, fresh));
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_FALSE(std::filesystem::exists(fresh + ".part"));
  EXPECT_TRUE(Logged(Format(">>> EXTRACTING FILE over.bin FAILED: READ ERROR AT SECTOR %u (%s)", e->IsoExtent + 31,
                            burner.LastErrorText.c_str()),
                     mtError));
  EXPECT_NE(burner.LastErrorText, "");

  // An earlier copy under the target's name stays as it was.
  const std::string earlier = tmp.write("earlier.bin", "keep me");
  EXPECT_FALSE(burner.ExtractFile(e, earlier));
  EXPECT_EQ(readFile(earlier), "keep me");
}

TEST_F(ExtractFileTest, WhatCantBeExtractedIsRefusedWithALogLine) {
  // A target folder that doesn't exist.
  const std::string nowhere = tmp.at("missing/folder/x.bin");
  EXPECT_FALSE(burner.ExtractFile(Entry("small.txt"), nowhere));
  EXPECT_TRUE(LoggedContaining("EXTRACTING FILE small.txt FAILED: CANNOT CREATE " + nowhere, mtError));
  EXPECT_FALSE(std::filesystem::exists(tmp.at("missing")));

  // A folder, a file added from the local disk, nothing at all.
  TDEntry* dir = burner.AddDirByName(burner.RootDir(), "folder", platform::faDirectory);
  burner.AddFile("\\", tmp.write("local.txt", "local"), false);
  for (TFEntry* e : {dir->OwnEntry, Entry("local.txt"), static_cast<TFEntry*>(nullptr)}) {
    log.clear();
    EXPECT_FALSE(burner.ExtractFile(e, tmp.at("y.bin")));
    EXPECT_TRUE(LoggedContaining("FAILED: NOT A FILE OF THE DISC", mtError));
    EXPECT_FALSE(std::filesystem::exists(tmp.at("y.bin")));
  }
}

} // namespace
} // namespace qnzb::test
