// The burn's verify on the virtual recorder under a virtual clock: a clean
// burn passes on every kind of medium with the session's digest as the disc
// holds it; sectors the drive recorded wrongly or can't read back fail it,
// naming the sector and what it holds; a test write and Verify off skip it;
// an abort during the verify ends the job once.

#include "image/SessionDisc.h"

#include <mutex>

#include "engine/runtime/Clock.h"
#include "engine/runtime/Digest.h"
#include "engine/runtime/Thread.h"
#include "vdrive/FaultPlan.h"

namespace qnzb::test {
namespace {

class VerifyTest : public SessionDiscTest {
protected:
  VerifyTest() {
    TThread::SetMainThread();
    burner.OnWriteDone = [this](TObject*, const std::string& error) { Reports.push_back(error); };
    burner.OnDebugMessage = [this](TObject*, const std::string& line, uint8_t) {
      const std::lock_guard lock(mutex);
      Lines.push_back(line);
      if (AbortAt == line.substr(0, AbortAt.size()) && !AbortAt.empty())
        burner.AbortWrite();
    };
    tmp.write("src/a.txt", std::string(100000, 'a'));
    tmp.writePattern("src/b.bin", 3 << 20, 9);
    tmp.write("src/sub/c.txt", "c");
  }

  // Lays out the compilation as the burn will (a blank disc starts at 0).
  void Compile() {
    burner.ResetLayout(600000, 20000);
    burner.AddFolder(burner.RootDir(), tmp.at("src") + "/", "*.*", 0xFF, true, false, false);
    burner.PrepareImage(false, nullptr);
  }
  uint32_t FileSector(const char* name, uint32_t offset) {
    return burner.FirstFileSector + burner.FindEntry(burner.RootDir(), name)->IsoExtent + offset;
  }
  void Fault(const std::string& rule) {
    std::string error;
    vdrive::FaultPlan plan;
    plan.Add(*vdrive::FaultPlan::ParseRule(rule, error));
    recorder.SetFaultPlan(plan);
  }
  std::string Burn(const std::string& image = "") {
    Reports.clear();
    if (image.empty())
      burner.StartBurn();
    else
      burner.BurnImageFile(image);
    for (int turn = 0; turn < 200000 && burner.JobActive(); ++turn)
      TThread::CheckSynchronize(1);
    EXPECT_EQ(Reports.size(), 1u);
    return Reports.empty() ? "(no report)" : Reports[0];
  }
  bool Logged(const std::string& start) {
    const std::lock_guard lock(mutex);
    return std::any_of(Lines.begin(), Lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
  }

  TScopedVirtualClock clock;
  std::mutex mutex;
  std::vector<std::string> Lines;
  std::vector<std::string> Reports;
  std::string AbortAt;  // the log line whose start aborts the job
};

TEST_F(VerifyTest, ACleanBurnPassesOnEveryMedium) {
  for (const char* medium : {"cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd+r", "dvd+rw", "dvd-ram"}) {
    SCOPED_TRACE(medium);
    Insert(medium);
    Lines.clear();
    Compile();
    EXPECT_EQ(Burn(), "");
    EXPECT_TRUE(Logged(">>> VERIFY PASSED: "));
    // The digest is the disc's: the session's sectors as the drive holds them.
    std::vector<uint8_t> disc(static_cast<size_t>(burner.ImageLength) * 2048);
    ASSERT_TRUE(recorder.ReadBlocks(burner.SessionStart, disc));
    TSha256 sha;
    sha.Update(disc.data(), disc.size());
    EXPECT_EQ(burner.SessionDigest, sha.FinalHex());
  }
}

TEST_F(VerifyTest, BadSectorsAreNamedWithWhatTheyHold) {
  Insert("dvd+r");
  Compile();
  const uint32_t data = FileSector("b.bin", 700);
  const uint32_t root = burner.IsoDirStart + burner.RootDir()->IsoSector;
  const uint32_t sub = burner.JolietDirStart + burner.FindDirectory("\\SUB")->JolietSector;
  const struct {
    std::string rule;
    std::string report;
  } cases[] = {
      {"write corrupt lba=" + std::to_string(data) + " to=" + std::to_string(data),
       "VERIFY FAILED AT SECTOR " + std::to_string(data) + " (FILE \\b.bin)"},
      {"write corrupt lba=" + std::to_string(root) + " to=" + std::to_string(root),
       "VERIFY FAILED AT SECTOR " + std::to_string(root) + " (DIRECTORY \\)"},
      {"write corrupt lba=" + std::to_string(sub) + " to=" + std::to_string(sub),
       "VERIFY FAILED AT SECTOR " + std::to_string(sub) + " (DIRECTORY \\sub)"},
      {"write corrupt lba=17 to=17", "VERIFY FAILED AT SECTOR 17 (VOLUME DESCRIPTOR)"},
      {"read medium-error lba=" + std::to_string(data) + " to=" + std::to_string(data) + " times=forever",
       "VERIFY FAILED AT SECTOR " + std::to_string(data) + " (FILE \\b.bin): UNREADABLE [MEDIUM ERROR"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    Insert("dvd+r");
    Fault(c.rule);
    Compile();
    EXPECT_EQ(Burn().substr(0, c.report.size()), c.report);
  }
  // Two damaged files: the log names both.
  Insert("cd-r");
  Compile();
  const uint32_t other = FileSector("a.txt", 3);
  std::string error;
  vdrive::FaultPlan plan;
  for (const uint32_t lba : {other, FileSector("b.bin", 2)})
    plan.Add(*vdrive::FaultPlan::ParseRule("write corrupt lba=" + std::to_string(lba) + " to=" + std::to_string(lba), error));
  recorder.SetFaultPlan(plan);
  Lines.clear();
  EXPECT_NE(Burn().find("(FILE \\a.txt)"), std::string::npos);
  EXPECT_TRUE(Logged(">>> VERIFY: DIFFERENT AT SECTOR " + std::to_string(other) + " (FILE \\a.txt)"));
  EXPECT_TRUE(Logged(">>> VERIFY: DIFFERENT AT SECTOR " + std::to_string(FileSector("b.bin", 2)) + " (FILE \\b.bin)"));
}

// An image burn names the bad sector's file from the image file.
TEST_F(VerifyTest, AnImageBurnNamesTheFileFromTheImage) {
  Compile();
  const std::string image = tmp.at("image.iso");
  ASSERT_EQ(burner.BuildImageFile(image, true), 1);
  const uint32_t data = FileSector("b.bin", 9);
  Insert("dvd+rw");
  Fault("write corrupt lba=" + std::to_string(data) + " to=" + std::to_string(data));
  EXPECT_EQ(Burn(image), "VERIFY FAILED AT SECTOR " + std::to_string(data) + " (FILE \\b.bin)");
  recorder.SetFaultPlan({});
  EXPECT_EQ(Burn(image), "");
  TSha256 sha;
  const std::string bytes = readFile(image);
  sha.Update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(burner.SessionDigest, sha.FinalHex());
}

TEST_F(VerifyTest, SkippedByATestWriteOrVerifyOffAndAbortable) {
  Insert("cd-r");
  burner.TestWrite = true;
  Compile();
  EXPECT_EQ(Burn(), "");
  EXPECT_TRUE(Logged(">>> TEST WRITE: NOTHING WAS RECORDED, NOTHING TO VERIFY"));
  burner.TestWrite = false;

  Lines.clear();
  burner.Verify = false;
  Compile();
  EXPECT_EQ(Burn(), "");
  EXPECT_FALSE(Logged(">>> VERIFYING"));
  EXPECT_TRUE(Logged(">>> SESSION SHA-256 "));
  burner.Verify = true;

  Insert("dvd+r");
  AbortAt = ">>> VERIFYING";
  Compile();
  EXPECT_EQ(Burn(), "OPERATION ABORTED BY USER");
  EXPECT_FALSE(burner.Verifying());
}

} // namespace
} // namespace qnzb::test
