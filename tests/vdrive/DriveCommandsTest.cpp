// The smaller commands: SET STREAMING, SEND OPC INFORMATION, the DVD-R time
// stamp of SEND DVD STRUCTURE, READ FORMAT CAPACITIES of DVD-RW, and what
// BLANK leaves of the old blocks.

#include <gtest/gtest.h>

#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

// One SET STREAMING performance descriptor (28 bytes).
Result SetStreaming(Harness& h, uint32_t readKb, uint32_t readMs, uint32_t writeKb, uint32_t writeMs,
                    bool restoreDefaults = false) {
  std::vector<uint8_t> list(28, 0);
  list[0] = restoreDefaults ? 0x04 : 0x00;
  Put32(list, 8, 2'298'495);  // end LBA
  Put32(list, 12, readKb);
  Put32(list, 16, readMs);
  Put32(list, 20, writeKb);
  Put32(list, 24, writeMs);
  std::vector<uint8_t> cdb(12, 0);
  cdb[0] = 0xB6;
  Put16(cdb, 9, 28);
  return h.Out(cdb, list);
}

uint16_t CurrentWriteSpeed(Harness& h) {
  Result r = h.ModeSense(0x2A);
  return r.U16(8 + 20);
}

TEST(SetStreaming, SetsTheWriteSpeedWithinTheDrivesTable) {
  Harness h;
  h.Insert("dvd-r");
  // The engine's DVD-R list: 43965 KB read and 1418 KB written per second.
  ASSERT_GOOD(SetStreaming(h, 43'965, 1000, 1418, 1000));
  EXPECT_EQ(CurrentWriteSpeed(h), 1385);
  ASSERT_GOOD(SetStreaming(h, 43'965, 1000, 11'080, 1000));
  EXPECT_EQ(CurrentWriteSpeed(h), 11080);
  ASSERT_GOOD(SetStreaming(h, 0, 1, 0, 1, true));
  EXPECT_EQ(CurrentWriteSpeed(h), 22160) << "defaults: the maximum";
  Result r = SetStreaming(h, 1, 1000, 1, 0);
  EXPECT_SENSE(r, sense::InvalidFieldInParameterList);
  EXPECT_EQ(r.SenseBytes[17], 24) << "the write time";
}

TEST(SendOpcInformation, IsAcceptedOnWritableMedia) {
  Harness h;
  EXPECT_GOOD(h.None({0x54, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
  DriveState s;
  s.Config.Drive.WriteCdR = false;
  Harness readOnly(s);
  EXPECT_SENSE(readOnly.None({0x54, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}), sense::CannotWriteIncompatibleFormat);
}

Result SendTimeStamp(Harness& h, const std::string& digits) {
  std::vector<uint8_t> data(22, 0);
  data[1] = 20;
  for (size_t i = 0; i < digits.size() && i < 14; ++i)
    data[8 + i] = static_cast<uint8_t>(digits[i]);
  std::vector<uint8_t> cdb(12, 0);
  cdb[0] = 0xBF;
  cdb[7] = 0x0F;
  Put16(cdb, 8, 22);
  return h.Out(cdb, data);
}

TEST(SendDvdStructure, KeepsAValidTimeStampOfDvdMinusMedia) {
  Harness h;
  h.Insert("dvd-r");
  ASSERT_GOOD(SendTimeStamp(h, "20240229235959"));
  EXPECT_EQ(h.drive.State().Medium.TimeStamp(), "20240229235959");
  std::string error;
  auto parsed = ParseState(FormatState(h.drive.State()), error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->Medium.TimeStamp(), "20240229235959") << "persisted with the disc";
  const struct {
    const char* Digits;
    uint8_t Field;
  } bad[] = {{"2024022923595x", 21}, {"20241329235959", 12}, {"20240200235959", 14}, {"20240229245959", 16},
             {"20240229236059", 18}};
  for (const auto& b : bad) {
    Result r = SendTimeStamp(h, b.Digits);
    EXPECT_SENSE(r, sense::InvalidFieldInParameterList) << b.Digits;
    EXPECT_EQ(r.SenseBytes[17], b.Field) << b.Digits;
  }
  h.Insert("dvd+r");
  EXPECT_SENSE(SendTimeStamp(h, "20240229235959"), sense::InvalidFieldInCdb) << "DVD-R/-RW only";
}

TEST(ReadFormatCapacities, OffersTheDvdRwFormats) {
  Harness h;
  h.Insert("dvd-rw");
  Result seq = h.ReadFormatCapacities();
  ASSERT_GOOD(seq);
  EXPECT_EQ(seq.At(3), 4 * 8) << "current/maximum and three formats";
  EXPECT_EQ(seq.At(8) & 3, 1) << "unformatted";
  EXPECT_EQ(seq.At(16) >> 2, 0x00);
  EXPECT_EQ(seq.At(24) >> 2, 0x10);
  EXPECT_EQ(seq.At(32) >> 2, 0x15);
  ASSERT_GOOD(h.Format(0x10, 100'000, false, 16));
  Result ro = h.ReadFormatCapacities();
  EXPECT_EQ(ro.At(8) & 3, 2);
  EXPECT_EQ(ro.U32(4), 100'000u);
  bool grow = false;
  for (size_t at = 12; at < 4u + ro.At(3); at += 8)
    if (ro.At(at + 4) >> 2 == 0x13) {
      grow = true;
      EXPECT_EQ(ro.U32(at), DvdCapacity - 100'000) << "what growing can add";
    }
  EXPECT_TRUE(grow) << "format 13h offered on a partly formatted disc";
  EXPECT_EQ(h.ReadFormatCapacities(12).Data.size(), 12u) << "cut at the allocation length";
}

TEST(Blank, LeavesNoneOfTheOldBlocks) {
  Harness h;
  h.Insert("cd-rw");
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  ASSERT_GOOD(h.Write(0, 300, 4));
  ASSERT_GOOD(h.CloseTrackSession(2));
  ASSERT_GOOD(h.BlankDisc(1, false));
  EXPECT_EQ(h.ReadDiscInformation().At(2) & 3, 0) << "blank";
  std::vector<uint8_t> raw(2048, 0xEE);
  ASSERT_TRUE(h.drive.ReadBlocks(10, raw));
  EXPECT_EQ(raw, std::vector<uint8_t>(2048, 0));
  ASSERT_GOOD(h.Write(0, 300, 5)) << "writable from the start again";
  EXPECT_EQ(h.Read(299, 1).Data, Pattern(299, 1, 5));
}

} // namespace
} // namespace qnzb::vdrive::test
