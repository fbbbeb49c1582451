// Scripted faults: the rules' text form, and plans that make exactly the
// planned commands fail, after which the drive recovers, or that make a
// WRITE record exactly the planned sectors wrongly.

#include <gtest/gtest.h>

#include <set>

#include "support/TempDir.h"
#include "tests/vdrive/RecorderHarness.h"
#include "vdrive/FaultPlan.h"

namespace qnzb::vdrive::test {
namespace {

TEST(FaultRuleText, ParsesAndFormatsBackTheSameRule) {
  const struct {
    const char* Text;
    const char* Formatted;
  } rules[] = {
      {"write busy", "write busy times=1"},
      {"2A busy after=5 times=3", "write busy after=5 times=3"},
      {"0x28 medium-error lba=1000 times=forever", "read medium-error times=forever lba=1000"},
      {"ANY long-write times=2", "any long-write times=2"},
      {"sync-cache write-error seen=4 fired=1", "sync-cache write-error times=1 seen=4 fired=1"},
      {"close tray-open", "close tray-open times=1"},
      {"c5 medium-removed", "C5 medium-removed times=1"},
      {"write corrupt to=1234 lba=1234", "write corrupt times=1 lba=1234 to=1234"},
      {"2a corrupt times=forever lba=7 fired=2", "write corrupt times=forever lba=7 fired=2"},
      {"read medium-error lba=10 to=20 times=forever", "read medium-error times=forever lba=10 to=20"},
  };
  for (const auto& r : rules) {
    SCOPED_TRACE(r.Text);
    std::string error;
    auto rule = FaultPlan::ParseRule(r.Text, error);
    ASSERT_TRUE(rule) << error;
    EXPECT_EQ(FaultPlan::FormatRule(*rule), r.Formatted);
    auto again = FaultPlan::ParseRule(FaultPlan::FormatRule(*rule), error);
    ASSERT_TRUE(again);
    EXPECT_EQ(FaultPlan::FormatRule(*again), r.Formatted);
  }
  for (const char* bad : {"", "write", "write explode", "wrote busy", "write busy after=x", "write busy when=3",
                          "write busy after", "123 busy", "write busy times=-1"}) {
    std::string error;
    EXPECT_FALSE(FaultPlan::ParseRule(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  const struct {
    const char* Text;
    const char* Says;
  } refused[] = {
      {"read medium-error to=5", "needs lba="},
      {"read medium-error lba=9 to=8", "before lba=9"},
      {"read corrupt", "write only"},
      {"any corrupt lba=3", "write only"},
      {"write corrupt lba=3 to=", "bad option"},
  };
  for (const auto& r : refused) {
    std::string error;
    EXPECT_FALSE(FaultPlan::ParseRule(r.Text, error)) << r.Text;
    EXPECT_NE(error.find(r.Says), std::string::npos) << r.Text << ": " << error;
  }
}

FaultPlan Plan(std::initializer_list<const char*> rules) {
  FaultPlan plan;
  for (const char* text : rules) {
    std::string error;
    auto rule = FaultPlan::ParseRule(text, error);
    EXPECT_TRUE(rule) << text << ": " << error;
    if (rule)
      plan.Add(*rule);
  }
  return plan;
}

TEST(FaultPlanInDrive, BusyWritesFailExactlyAsPlannedThenRecover) {
  Harness h;
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  h.drive.SetFaultPlan(Plan({"write busy after=2 times=3"}));
  uint32_t nwa = 0;
  std::vector<uint8_t> outcomes;
  for (int attempt = 0; attempt < 7; ++attempt) {
    Result r = h.Write(nwa, 27, static_cast<uint8_t>(attempt));
    outcomes.push_back(r.Outcome.Status);
    if (r.Good())
      nwa += 27;
    else
      EXPECT_EQ(r.Outcome.SenseLength, 0) << "BUSY carries no sense";
  }
  EXPECT_EQ(outcomes, (std::vector<uint8_t>{0, 0, 8, 8, 8, 0, 0}));
  EXPECT_EQ(nwa, 4u * 27);
  EXPECT_EQ(h.ReadTrackInformation(1).U32(12), nwa) << "failed writes recorded nothing";
  EXPECT_EQ(h.drive.State().Faults.Rules()[0].Fired, 3u);
  EXPECT_GOOD(h.Read(0, 27));
}

TEST(FaultPlanInDrive, EachKindFailsWithItsSense) {
  const struct {
    const char* Rule;
    SenseCode Expected;
  } kinds[] = {
      {"test-unit-ready long-write", sense::LongWriteInProgress},
      {"test-unit-ready medium-error", sense::UnrecoveredReadError},
      {"test-unit-ready write-error", sense::WriteError},
      {"any tray-open", sense::MediumNotPresentTrayOpen},
      {"any medium-removed", sense::MediumNotPresentTrayClosed},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.Rule);
    Harness h;
    h.drive.SetFaultPlan(Plan({k.Rule}));
    EXPECT_GOOD(h.Inquiry()) << "any leaves INQUIRY alone";
    EXPECT_SENSE(h.TestUnitReady(), k.Expected);
  }
}

TEST(FaultPlanInDrive, TrayAndMediumFaultsLastUntilTheOperatorActs) {
  Harness h;
  h.drive.SetFaultPlan(Plan({"read-disc-info tray-open after=1"}));
  EXPECT_GOOD(h.ReadDiscInformation());
  EXPECT_SENSE(h.ReadDiscInformation(), sense::MediumNotPresentTrayOpen);
  EXPECT_SENSE(h.TestUnitReady(), sense::MediumNotPresentTrayOpen) << "the tray stays open";
  ASSERT_GOOD(h.StartStop(true, true));
  EXPECT_GOOD(h.ReadDiscInformation()) << "loaded again, and the rule has fired its once";

  h.drive.SetFaultPlan(Plan({"write medium-removed"}));
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  EXPECT_SENSE(h.Write(0, 1), sense::MediumNotPresentTrayClosed);
  EXPECT_SENSE(h.TestUnitReady(), sense::MediumNotPresentTrayClosed);
  EXPECT_EQ(h.GetConfiguration(0, 0).U16(6), 0);
  h.Insert("cd-r");
  EXPECT_GOOD(h.Write(0, 1));
}

TEST(FaultPlanInDrive, AddressRulesHitOnlyTheBlocksFromTheirPointOn) {
  Harness h;
  h.Insert("dvd-ram");
  ASSERT_GOOD(h.Write(0, 200));
  h.drive.SetFaultPlan(Plan({"read medium-error lba=100 times=forever"}));
  EXPECT_GOOD(h.Read(0, 100)) << "ends just before";
  EXPECT_SENSE(h.Read(99, 2), sense::UnrecoveredReadError);
  EXPECT_SENSE(h.Read(150, 1), sense::UnrecoveredReadError);
  EXPECT_GOOD(h.Read(50, 50));
  EXPECT_GOOD(h.TestUnitReady()) << "other commands have no address";
  h.drive.SetFaultPlan({});
  EXPECT_GOOD(h.Read(150, 1));
}

TEST(FaultPlanInDrive, RangeRulesHitOnlyTheCommandsCoveringTheirBlocks) {
  Harness h;
  h.Insert("dvd-ram");
  ASSERT_GOOD(h.Write(0, 200));
  h.drive.SetFaultPlan(Plan({"read medium-error lba=100 to=119 times=forever"}));
  const struct {
    uint32_t Lba;
    uint16_t Blocks;
    bool Fails;
  } reads[] = {
      {0, 100, false}, {90, 11, true}, {100, 1, true}, {119, 1, true}, {110, 50, true},
      {120, 1, false}, {120, 80, false}, {0, 200, true},
  };
  for (const auto& r : reads) {
    SCOPED_TRACE(std::to_string(r.Lba) + "+" + std::to_string(r.Blocks));
    if (r.Fails)
      EXPECT_SENSE(h.Read(r.Lba, r.Blocks), sense::UnrecoveredReadError);
    else
      EXPECT_GOOD(h.Read(r.Lba, r.Blocks));
  }
  EXPECT_GOOD(h.Write(100, 20)) << "a read rule leaves writes alone";
}

// The sectors of `data` (written from `lba`) that differ from Pattern(),
// after checking each differs in one byte at most.
std::set<uint32_t> AlteredSectors(const std::vector<uint8_t>& data, uint32_t lba, uint16_t blocks) {
  const std::vector<uint8_t> sent = Pattern(lba, blocks);
  EXPECT_EQ(data.size(), sent.size());
  std::set<uint32_t> altered;
  for (size_t b = 0; b * 2048 < std::min(data.size(), sent.size()); ++b) {
    int bytes = 0;
    for (size_t i = b * 2048; i < (b + 1) * 2048; ++i)
      bytes += data[i] != sent[i];
    EXPECT_LE(bytes, 1) << "sector " << lba + b;
    if (bytes)
      altered.insert(lba + static_cast<uint32_t>(b));
  }
  return altered;
}

TEST(FaultPlanInDrive, CorruptRulesRecordExactlyTheirSectorsWrongAndReportGood) {
  const struct {
    std::initializer_list<const char*> Rules;
    std::set<uint32_t> Altered;  // of the WRITE of blocks 32..47
  } cases[] = {
      {{"write corrupt lba=40 to=40"}, {40}},
      {{"write corrupt lba=46 to=100"}, {46, 47}},
      {{"write corrupt lba=20 to=32"}, {32}},
      {{"write corrupt lba=44"}, {44, 45, 46, 47}},
      {{"write corrupt lba=48 to=60"}, {}},
      {{"write corrupt lba=33 to=33", "write corrupt lba=47 to=47"}, {33, 47}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(*c.Rules.begin());
    Harness h;
    h.Insert("dvd-ram");
    h.drive.SetFaultPlan(Plan(c.Rules));
    EXPECT_GOOD(h.Write(32, 16));
    Result back = h.Read(32, 16);
    ASSERT_GOOD(back);
    EXPECT_EQ(AlteredSectors(back.Data, 32, 16), c.Altered);
    EXPECT_EQ(h.drive.State().Faults.Rules()[0].Fired, c.Altered.empty() ? 0u : 1u);
    ASSERT_GOOD(h.Write(32, 16)) << "times=1: the rewrite is recorded as sent";
    EXPECT_EQ(AlteredSectors(h.Read(32, 16).Data, 32, 16), std::set<uint32_t>{});
  }
}

TEST(FaultPlanInDrive, CorruptionCountsOnlyWritesTheDriveRecorded) {
  Harness h;  // blank CD-R: only its next writable address takes a WRITE
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  h.drive.SetFaultPlan(Plan({"write corrupt lba=3 to=3", "write busy"}));
  EXPECT_EQ(h.Write(0, 8).Outcome.Status, ScsiStatusBusy) << "a failing rule is not held back";
  EXPECT_SENSE(h.Write(2, 4), sense::InvalidAddressForWrite);
  EXPECT_EQ(h.drive.State().Faults.Rules()[0].Fired, 0u);
  ASSERT_GOOD(h.Write(0, 8));
  EXPECT_EQ(AlteredSectors(h.Read(0, 8).Data, 0, 8), std::set<uint32_t>{3});
  EXPECT_EQ(h.drive.State().Faults.Rules()[0].Fired, 1u);
}

TEST(FaultPlanInDrive, CorruptedSectorsStayCorruptedInTheStateFolder) {
  qnzb::test::TempDir dir;
  std::string error;
  {
    auto drive = Recorder::Open(dir.path(), error);
    ASSERT_TRUE(drive) << error;
    drive->Insert(*ParseMediumName("dvd+rw-formatted"), 0);
    drive->SetFaultPlan(Plan({"write corrupt lba=5 to=6"}));
    std::vector<uint8_t> cdb{0x2A, 0, 0, 0, 0, 0, 0, 0, 8, 0};
    ASSERT_GOOD(Exec(*drive, cdb, ScsiDirection::Out, Pattern(0, 8)));
  }
  auto drive = Recorder::Open(dir.path(), error);
  ASSERT_TRUE(drive) << error;
  Result back = Exec(*drive, {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, ScsiDirection::In, std::vector<uint8_t>(8 * 2048));
  ASSERT_GOOD(back);
  EXPECT_EQ(AlteredSectors(back.Data, 0, 8), (std::set<uint32_t>{5, 6}));
  EXPECT_EQ(drive->State().Faults.Rules()[0].Fired, 1u);
}

} // namespace
} // namespace qnzb::vdrive::test
