// What both burns refuse before anything is written, on the virtual recorder
// under a virtual clock: test writes the medium would record for real, a
// session or image larger than the free space, discs that can't take a
// session; and what they mend on the way: a source gone since it was added
// is left out and named, a DVD-R is asked for the chosen speed.

#include "image/SessionDisc.h"

#include <filesystem>
#include <functional>
#include <regex>

#include "engine/device/DiscSummary.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Strings.h"
#include "engine/runtime/Thread.h"
#include "platform/FileIO.h"
#include "vdrive/DriveConfig.h"

namespace qnzb::test {
namespace {

class BurnChecksTest : public SessionDiscTest {
protected:
  BurnChecksTest() {
    TThread::SetMainThread();
    burner.OnWriteDone = [this](TObject*, const std::string& error) { Reports.push_back(error); };
    tmp.write("src/a.txt", std::string(100000, 'a'));
    tmp.write("src/b.bin", std::string(3 << 20, 'b'));
    respond = manager.Respond;
  }

  void Compile() {
    burner.ResetLayout(600000, 20000);
    burner.AddFolder(burner.RootDir(), tmp.at("src") + "/", "*.*", 0xFF, true, false, false);
  }
  std::string Image() {
    Compile();
    const std::string file = tmp.at("image.iso");
    EXPECT_EQ(burner.BuildImageFile(file, true), 1);
    return file;
  }

  // Runs a burn (of the compilation, or of `image`) to its one repor
  std::string Run(const std::string& image = "") {
    Reports.clear();
    manager.Sent.clear();
    if (image.empty())
      burner.StartBurn();
    else
      burner.BurnImageFile(image);
    for (int turn = 0; turn < 200000 && burner.JobActive(); ++turn)
      TThread::CheckSynchronize(1);
    EXPECT_EQ(Reports.size(), 1u);
    return Reports.empty() ? "(no report)" : Reports[0];
  }

  // Commands that change a disc.
  bool Wrote() const {
    return std::any_of(manager.Sent.begin(), manager.Sent.end(), [](const auto& s) {
      const uint8_t op = s.Block.CDBByte[0];
      return op == 0x2A || op == 0x04 || op == 0x5B || op == 0x53 || op == 0xA1;
    });
  }
  void Config(const std::function<void(vdrive::DriveConfig&)>& change) {
    vdrive::DriveConfig config = recorder.State().Config;
    change(config);
    recorder.SetConfig(config);
  }
  void FailAlways(uint8_t opcode, vdrive::FaultKind kind) {
    vdrive::FaultPlan plan;
    vdrive::FaultRule rule;
    rule.Opcode = opcode;
    rule.Kind = kind;
    rule.Times = 0;
    plan.Add(rule);
    recorder.SetFaultPlan(plan);
  }

  TScopedVirtualClock clock;
  std::vector<std::string> Reports;
  std::function<void(SRB_ExecSCSICmd&)> respond;  // the recorder's, as the fixture set it
};

TEST_F(BurnChecksTest, TestWriteOnlyWhereTheMediumSimulatesAndTheDiscStaysBlank) {
  const struct {
    const char* Medium;
    const char* Refusal;  // empty: the test write runs
  } rows[] = {
      {"cd-r", ""},
      {"cd-rw", ""},
      {"dvd-r", ""},
      {"dvd-rw", ""},
      {"dvd+r", "DVD+R"},
      {"dvd+rw", "DVD+RW"},
      {"dvd+rw-formatted", "DVD+RW"},
      {"dvd-ram", "DVD-RAM"},
      {"dvd-rw-ro", "DVD-RW (RESTRICTED OVERWRITE)"},
  };
  for (const auto& row : rows) {
    for (const bool image : {false, true}) {
      SCOPED_TRACE(std::string(row.Medium) + (image ? " image" : " burn"));
      Insert(row.Medium);
      const std::string file = image ? Image() : "";
      Compile();
      const int16_t before = burner.DiscStatus();
      burner.TestWrite = true;
      const std::string report = Run(file);
      burner.TestWrite = false;
      if (*row.Refusal != '\0') {
        EXPECT_EQ(report, std::string(row.Refusal) +
                              " DISCS HAVE NO TEST WRITE, THE DRIVE WOULD RECORD FOR REAL: BURN WITHOUT A TEST WRITE");
        EXPECT_FALSE(Wrote());
      } else {
        EXPECT_EQ(report, "");
        // The writes went to the drive, and nothing stayed of them.
        EXPECT_TRUE(std::any_of(manager.Sent.begin(), manager.Sent.end(),
                                [](const auto& s) { return s.Block.CDBByte[0] == 0x2A; }));
        EXPECT_EQ(burner.DiscStatus(), 0);
      }
      EXPECT_EQ(burner.DiscStatus(), before);
    }
  }
}

TEST_F(BurnChecksTest, AnOverfilledDiscIsRefusedWithBothSizesAndStaysBlank) {
  // The compilation is 3.1 MB of files (3.4 MB with the metadata on CD or
  // in 32-sector blocks on DVD); the last CD-R holds one
  // session of it, but not another after that session's lead-ou
  const struct {
    const char* Medium;
    uint32_t Capacity;
    bool FirstSession;
    bool Image;
  } rows[] = {
      {"cd-r", 1000, false, false},  {"cd-r", 1000, false, true},   {"dvd+r", 1024, false, false},
      {"dvd+r", 1024, false, true},  {"dvd+rw", 1024, false, true}, {"dvd-r", 1500, false, false},
      {"cd-r", 14000, true, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.Medium << " " << row.Capacity << (row.Image ? " image" : " burn"));
    recorder.Insert(*vdrive::ParseMediumName(row.Medium), row.Capacity);
    const std::string file = row.Image ? Image() : "";
    if (row.FirstSession) {
      Compile();
      ASSERT_EQ(Run(), "");
    }
    const uint32_t free = row.Capacity - (row.FirstSession ? NextWritable() : 0);
    Compile();
    const uint16_t sessions = burner.SessionCount();
    const std::string report = Run(file);
    const std::regex form("THE (SESSION|IMAGE) NEEDS ([0-9.]+) MB BUT THE DISC HAS " + BlocksAsMegabytes(free) +
                          " FREE: .*");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(report, m, form)) << report;
    EXPECT_EQ(m[1], row.Image ? "IMAGE" : "SESSION");
    EXPECT_GT(std::stod(m[2]), 3.1);
    EXPECT_LT(std::stod(m[2]), 3.5);
    EXPECT_FALSE(Wrote());
    EXPECT_EQ(burner.SessionCount(), sessions);
  }
}

TEST_F(BurnChecksTest, DiscsThatCantTakeTheBurnAreRefusedBeforeAnythingIsWritten) {
  const std::string appendable = "A BLANK OR APPENDABLE DISC";
  const std::string blank = "A BLANK DISC";
  const struct {
    const char* Name;
    const char* Medium;
    std::function<void()> Prepare;
    std::string Burn;   // the refusal of a burn; empty: it runs
    std::string Image;  // the same for an image file
  } rows[] = {
      {"NoDisc", "none", nullptr, "NO DISC IN THE DRIVE: INSERT " + appendable, "NO DISC IN THE DRIVE: INSERT " + blank},
      {"TrayOpenedIsClosed", "cd-r", [this] { ASSERT_TRUE(burner.StartStopUnit(true)); }, "", ""},
      {"TrayThatStaysOpen", "cd-r",
       [this] {
         FailAlways(0x1B, vdrive::FaultKind::TrayOpened);
         EXPECT_FALSE(burner.StartStopUnit(true));
       },
       "THE TRAY IS OPEN AND THE DRIVE DID NOT CLOSE IT: INSERT " + appendable + " AND CLOSE IT",
       "THE TRAY IS OPEN AND THE DRIVE DID NOT CLOSE IT: INSERT " + blank + " AND CLOSE IT"},
      {"ReadOnlyDrive", "cd-r", [this] { Config([](auto& c) { c.Drive.ReadOnly = true; }); },
       "THIS DRIVE ONLY READS DISCS: CHOOSE A RECORDER", "THIS DRIVE ONLY READS DISCS: CHOOSE A RECORDER"},
      {"KindTheDriveDoesNotWrite", "cd-r", [this] { Config([](auto& c) { c.Drive.WriteCdR = false; }); },
       "THIS DRIVE CAN'T WRITE CD-R DISCS: INSERT ANOTHER KIND OR USE ANOTHER DRIVE",
       "THIS DRIVE CAN'T WRITE CD-R DISCS: INSERT ANOTHER KIND OR USE ANOTHER DRIVE"},
      {"PressedDvdInARecorder", "dvd-r",
       [this] {
         // The drive names the disc by the DVD-ROM profile.
         const auto forward = manager.Respond;
         manager.Respond = [forward](SRB_ExecSCSICmd& r) {
           forward(r);
           if (r.CDBByte[0] == 0x46 && r.SRB_BufLen >= 8) {
             r.SRB_BufPointer[6] = 0x00;
             r.SRB_BufPointer[7] = 0x10;
           }
         };
       },
       "THE DISC IS A DVD-ROM, WHICH CAN'T BE WRITTEN: INSERT " + appendable,
       "THE DISC IS A DVD-ROM, WHICH CAN'T BE WRITTEN: INSERT " + blank},
      {"ClosedCdRw", "cd-rw",
       [this] {
         Compile();
         burner.FinalizeDisc = true;
         ASSERT_EQ(Run(), "");
         burner.FinalizeDisc = false;
       },
       "THE DISC IS CLOSED, NO SESSION CAN BE ADDED: INSERT " + appendable + " OR ERASE THIS ONE",
       "THE DISC IS CLOSED, NO SESSION CAN BE ADDED: INSERT " + blank + " OR ERASE THIS ONE"},
      {"CdRWithASession", "cd-r",
       [this] {
         Compile();
         ASSERT_EQ(Run(), "");
       },
       "", "THE DISC ALREADY HOLDS DATA, AND AN IMAGE FILE IS WRITTEN FROM THE FIRST SECTOR: INSERT A BLANK DISC"},
      {"UnfinishedSession", "dvd+r",
       [this] {
         // What a burn that was killed leaves: an open track, no close.
         ASSERT_TRUE(burner.Write10(0, 32, 0x50, std::vector<uint8_t>(65536, 0x55))) << burner.LastErrorText;
       },
       "", "THE DISC ALREADY HOLDS DATA, AND AN IMAGE FILE IS WRITTEN FROM THE FIRST SECTOR: INSERT A BLANK DISC"},
      {"DvdPlusRwWithAnImageOnIt", "dvd+rw-formatted",
       [this] {
         Compile();
         ASSERT_EQ(Run(), "");
       },
       "", ""},
  };
  for (const auto& row : rows) {
    for (const bool image : {false, true}) {
      SCOPED_TRACE(std::string(row.Name) + (image ? " image" : " burn"));
      recorder.SetFaultPlan({});
      recorder.SetConfig({});
      manager.Respond = respond;
      Insert(row.Medium);
      const std::string file = image ? Image() : "";
      if (row.Prepare)
        row.Prepare();
      Compile();
      const std::string report = Run(file);
      const std::string& refusal = image ? row.Image : row.Burn;
      EXPECT_EQ(report, refusal);
      if (!refusal.empty()) {
        EXPECT_FALSE(Wrote());
      }
    }
  }
}

TEST_F(BurnChecksTest, ASourceGoneSinceItWasAddedIsLeftOutAndNamed) {
  Insert("cd-r");
  // Many files, the one that goes missing sorted las
  for (int i = 0; i < 3000; ++i)
    tmp.write("many/f" + std::to_string(10000 + i) + ".txt", std::string(100 + i, 'x'));
  burner.ResetLayout(600000, 20000);
  burner.AddFolder(burner.RootDir(), tmp.at("many") + "/", "*.*", 0xFF, true, false, false);
  ASSERT_TRUE(burner.LeftOut.empty());
  const std::string gone = tmp.at("many/f12999.txt");
  std::filesystem::remove(gone);
  EXPECT_EQ(Run(), "");
  ASSERT_EQ(burner.LeftOut.size(), 1u);
  EXPECT_EQ(burner.LeftOut[0].Path, gone);
  EXPECT_EQ(platform::FileOpen(gone, platform::TFileAccess::Read), platform::InvalidFileHandle);
  EXPECT_EQ(burner.LeftOut[0].Reason, "CAN'T BE READ ANY MORE (" + UpperCase(platform::LastErrorText()) + ")");
  EXPECT_EQ(burner.LeftOutSummary(), "1 FILE(S) LEFT OUT");
  EXPECT_EQ(burner.FindEntry(burner.RootDir(), "f12999.txt"), nullptr);
  EXPECT_NE(burner.FindEntry(burner.RootDir(), "f12998.txt"), nullptr);
  EXPECT_EQ(burner.SessionCount(), 1);
}

TEST_F(BurnChecksTest, ADvdRIsAskedForTheChosenWriteSpeed) {
  // Speeds of the recorder's DVD table: 8X, and its maximum of 16X.
  const struct {
    uint16_t Chosen;
    uint32_t Streamed;
    const char* Announced;
  } rows[] = {
      {11080, 11080, "AT 8.0X (11,080 KB/s)"},
      {0, 22160, "AT 16.0X (22,160 KB/s)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Chosen);
    Insert("dvd-r");
    Compile();
    burner.SetWriteSpeed(row.Chosen);
    log.clear();
    ASSERT_EQ(Run(), "");
    const auto streaming = std::find_if(manager.Sent.begin(), manager.Sent.end(),
                                        [](const auto& s) { return s.Block.CDBByte[0] == 0xB6; });
    ASSERT_NE(streaming, manager.Sent.end());
    ASSERT_EQ(streaming->DataOut.size(), 28u);
    const auto be32 = [&](size_t at) {
      const auto& d = streaming->DataOut;
      return uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 | uint32_t{d[at + 2]} << 8 | d[at + 3];
    };
    EXPECT_EQ(be32(20), row.Streamed);  // write size, KB
    EXPECT_EQ(be32(24), 1000u);         // per 1000 ms
    EXPECT_TRUE(LoggedContaining(row.Announced, 1));
  }
}

} // namespace
} // namespace qnzb::test
