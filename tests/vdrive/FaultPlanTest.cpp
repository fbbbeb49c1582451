// Scripted faults: the rules' text form, and plans that make exactly the
// planned commands fail, after which the drive recovers.

#include <gtest/gtest.h>

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

} // namespace
} // namespace qnzb::vdrive::test
