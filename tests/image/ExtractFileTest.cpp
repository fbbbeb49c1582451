// Extracting imported files from a virtual disc: chunking of the reads,
// dates, replacing, and failures and stops that leave nothing half-written
// behind.

#include <filesystem>
#include <set>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <sys/sysmacros.h>
#endif

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

  // The names in the scratch folder `dir`.
  std::set<std::string> Names(const std::string& dir) const {
    std::set<std::string> out;
    for (const auto& item : std::filesystem::directory_iterator(tmp.at(dir)))
      out.insert(item.path().filename().string());
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

namespace qnzb::test {
namespace {

// The abort request stops an extraction before its first read or between
// two: no target, no side file, an earlier copy kept.
TEST_F(ExtractFileTest, AbortRequestStopsWithoutAPartialFile) {
  const auto respond = manager.Respond;
  for (const int abortAtRead : {0, 1}) {
    SCOPED_TRACE(abortAtRead);
    int reads = 0;
    manager.Respond = [&](SRB_ExecSCSICmd& r) {
      if (r.CDBByte[0] == 0x28 && ++reads == abortAtRead)
        AbortRequested = true;
      respond(r);
    };
    AbortRequested = abortAtRead == 0;
    tmp.mkdir("stop");
    const std::string earlier = tmp.write("stop/earlier.bin", "keep me");
    log.clear();
    EXPECT_FALSE(burner.ExtractFile(Entry("over.bin"), tmp.at("stop/fresh.bin")));
    EXPECT_FALSE(burner.ExtractFile(Entry("over.bin"), earlier));
    EXPECT_EQ(reads, abortAtRead);  // nothing read after the request
    EXPECT_EQ(readFile(earlier), "keep me");
    EXPECT_EQ(Names("stop"), std::set<std::string>{"earlier.bin"});
    EXPECT_TRUE(Logged(">>> EXTRACTING FILE over.bin FAILED: OPERATION ABORTED BY USER", mtError));
    AbortRequested = false;
  }
  manager.Respond = respond;
  EXPECT_TRUE(burner.ExtractFile(Entry("over.bin"), tmp.at("stop/fresh.bin")));
}

// Only a missing target or a regular file is written: a pipe, a device or a
// folder stays as it is; the user's own "TARGET.part" too.
#if !defined(_WIN32)
TEST_F(ExtractFileTest, TargetThatIsNotARegularFileIsRefusedAndLeftAsItIs) {
  tmp.mkdir("kinds");
  const std::string fifo = tmp.at("kinds/pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = tmp.mkdir("kinds/folder");
  std::vector<std::string> targets = {fifo, folder};
  // A device node of our own (as /dev/null, where that may be made): a
  // mistake then replaces nothing outside the scratch folder.
  const std::string device = tmp.at("kinds/null");
  if (::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
    targets.push_back(device);
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    log.clear();
    struct stat before {};
    ASSERT_EQ(::stat(target.c_str(), &before), 0);
    EXPECT_FALSE(burner.ExtractFile(Entry("small.txt"), target));
    EXPECT_TRUE(LoggedContaining("EXTRACTING FILE small.txt FAILED: CANNOT CREATE " + target, mtError));
    struct stat after {};
    ASSERT_EQ(::stat(target.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_rdev, before.st_rdev);
  }
  std::set<std::string> names = {"pipe", "folder"};
  if (targets.size() == 3)
    names.insert("null");
  EXPECT_EQ(Names("kinds"), names);

  const std::string own = tmp.write("kinds/small.txt.part", "the user's own");
  ASSERT_TRUE(burner.ExtractFile(Entry("small.txt"), tmp.at("kinds/small.txt")));
  EXPECT_EQ(readFile(own), "the user's own");
  names.insert({"small.txt", "small.txt.part"});
  EXPECT_EQ(Names("kinds"), names);
}
#endif

} // namespace
} // namespace qnzb::test
