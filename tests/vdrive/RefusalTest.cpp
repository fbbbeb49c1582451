// What a real drive refuses, the recorder refuses with the same sense; and no
// input, however malformed, crashes it or gets anything but a proper status.

#include <gtest/gtest.h>

#include <random>

#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

struct Refusal {
  const char* What;
  const char* Medium;  // loaded first ("none": empty tray)
  std::vector<uint8_t> Cdb;
  ScsiDirection Direction;
  size_t DataLength;
  SenseCode Expected;
};

std::vector<Refusal> Refusals() {
  const auto In = ScsiDirection::In;
  const auto Out = ScsiDirection::Out;
  const auto None = ScsiDirection::None;
  return {
      {"unknown opcode READ (12)", "cd-r", {0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, In, 2048,
       sense::InvalidCommandOperationCode},
      {"vendor opcode", "cd-r", {0xC0, 0, 0, 0, 0, 0}, None, 0, sense::InvalidCommandOperationCode},
      {"truncated WRITE (10)", "cd-r", {0x2A, 0, 0, 0, 0, 0}, Out, 2048, sense::InvalidFieldInCdb},
      {"truncated INQUIRY", "cd-r", {0x12, 0, 0, 0}, In, 36, sense::InvalidFieldInCdb},
      {"oversized CDB", "cd-r", std::vector<uint8_t>(17, 0), None, 0, sense::InvalidFieldInCdb},
      {"linked command", "cd-r", {0x00, 0, 0, 0, 0, 0x01}, None, 0, sense::InvalidFieldInCdb},
      {"NACA", "cd-r", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0x04}, In, 8, sense::InvalidFieldInCdb},
      {"READ without medium", "none", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, In, 2048, sense::MediumNotPresentTrayClosed},
      {"WRITE without medium", "none", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Out, 2048,
       sense::MediumNotPresentTrayClosed},
      {"READ TOC without medium", "none", {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, In, 12, sense::MediumNotPresentTrayClosed},
      {"WRITE shorter than its blocks", "cd-r", {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0}, Out, 3000, sense::DataPhaseError},
      {"WRITE with the buffer for data-in", "cd-r", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, In, 2048,
       sense::DataPhaseError},
      {"WRITE without a buffer", "cd-r", {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, None, 0, sense::DataPhaseError},
      {"MODE SELECT list longer than the data", "cd-r", {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, Out, 20,
       sense::DataPhaseError},
      {"MODE SELECT list shorter than its header", "cd-r", {0x55, 0x10, 0, 0, 0, 0, 0, 0, 4, 0}, Out, 4,
       sense::ParameterListLengthError},
      {"MODE SELECT without PF", "cd-r", {0x55, 0x00, 0, 0, 0, 0, 0, 0, 8, 0}, Out, 8, sense::InvalidFieldInCdb},
      {"MODE SELECT saving", "cd-r", {0x55, 0x11, 0, 0, 0, 0, 0, 0, 8, 0}, Out, 8, sense::InvalidFieldInCdb},
      {"MODE SENSE of an unknown page", "cd-r", {0x5A, 0, 0x1D, 0, 0, 0, 0, 0, 255, 0}, In, 255,
       sense::InvalidFieldInCdb},
      {"READ CAPACITY with an address but no PMI", "cd-r", {0x25, 0, 0, 0, 0, 5, 0, 0, 0, 0}, In, 8,
       sense::InvalidFieldInCdb},
      {"READ (10) relative address", "cd-r", {0x28, 0x01, 0, 0, 0, 0, 0, 0, 1, 0}, In, 2048, sense::InvalidFieldInCdb},
      {"READ TRACK INFORMATION type 11b", "cd-r", {0x52, 0x03, 0, 0, 0, 1, 0, 0, 48, 0}, In, 48,
       sense::InvalidFieldInCdb},
      {"READ TRACK INFORMATION of track 0", "cd-r", {0x52, 0x01, 0, 0, 0, 0, 0, 0, 48, 0}, In, 48,
       sense::InvalidFieldInCdb},
      {"READ TRACK INFORMATION past the invisible track", "cd-r", {0x52, 0x01, 0, 0, 0, 2, 0, 0, 48, 0}, In, 48,
       sense::InvalidFieldInCdb},
      {"READ TRACK INFORMATION of an LBA past the disc", "cd-r", {0x52, 0x00, 0x01, 0, 0, 0, 0, 0, 48, 0}, In, 48,
       sense::LbaOutOfRange},
      {"READ DISC INFORMATION of another data type", "cd-r", {0x51, 0x01, 0, 0, 0, 0, 0, 0, 34, 0}, In, 34,
       sense::InvalidFieldInCdb},
      {"READ TOC of a blank disc", "cd-r", {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, In, 12, sense::InvalidFieldInCdb},
      {"READ TOC PMA", "cd-r", {0x43, 0, 3, 0, 0, 0, 0, 0, 12, 0}, In, 12, sense::InvalidFieldInCdb},
      {"READ of a blank disc", "cd-r", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, In, 2048, sense::EndOfDataDetected},
      {"BLANK of a CD-R", "cd-r", {0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, None, 0,
       sense::IncompatibleMediumInstalled},
      {"BLANK a track", "cd-rw", {0xA1, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, None, 0, sense::InvalidFieldInCdb},
      {"FORMAT UNIT without format data", "dvd+rw", {0x04, 0x01, 0, 0, 0, 0}, Out, 12, sense::InvalidFieldInCdb},
      {"FORMAT UNIT of a CD-R", "cd-r", {0x04, 0x11, 0, 0, 0, 0}, Out, 12, sense::InvalidFieldInParameterList},
      {"CLOSE SESSION of a blank disc", "cd-r", {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, None, 0,
       sense::CommandSequenceError},
      {"CLOSE TRACK of the invisible track", "dvd-r", {0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0}, None, 0,
       sense::CommandSequenceError},
      {"CLOSE finalize on CD", "cd-r", {0x5B, 0, 0x05, 0, 0, 0, 0, 0, 0, 0}, None, 0, sense::InvalidFieldInCdb},
      {"RESERVE TRACK on DVD+RW", "dvd+rw-formatted", {0x53, 0, 0, 0, 0, 0, 0, 1, 0, 0}, None, 0,
       sense::IncompatibleMediumInstalled},
      {"RESERVE TRACK of nothing", "dvd-r", {0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0}, None, 0, sense::InvalidFieldInCdb},
      {"RESERVE TRACK larger than the disc", "dvd-r", {0x53, 0, 0, 0, 0, 0x7F, 0, 0, 0, 0}, None, 0,
       sense::InvalidFieldInCdb},
      {"SEND DVD STRUCTURE time stamp on CD", "cd-r", {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, Out, 22,
       sense::InvalidFieldInCdb},
      {"SET STREAMING of another type", "dvd-r", {0xB6, 0, 0, 0, 0, 0, 0, 0, 5, 0, 28, 0}, Out, 28,
       sense::InvalidFieldInCdb},
      {"SET STREAMING shorter than a descriptor", "dvd-r", {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0}, Out, 12,
       sense::ParameterListLengthError},
  };
}

TEST(Refusals, RealDriveRefusalsGetTheSameSense) {
  for (const Refusal& k : Refusals()) {
    SCOPED_TRACE(k.What);
    Harness h;
    h.Insert(k.Medium);
    Result r = h.Run(k.Cdb, k.Direction, std::vector<uint8_t>(k.DataLength, 0));
    EXPECT_SENSE(r, k.Expected);
    EXPECT_EQ(r.Outcome.SenseLength, FixedSenseLength);
    EXPECT_EQ(r.SenseBytes[7], 10) << "additional sense length";
  }
}

// Drives configured without a command refuse it as real drives lacking it
// do.
TEST(Refusals, ADriveWithoutACommandRefusesIt) {
  const auto In = ScsiDirection::In;
  const auto Out = ScsiDirection::Out;
  const struct {
    const char* What;
    void (*Edit)(Identity&);
    std::vector<uint8_t> Cdb;
    ScsiDirection Direction;
    size_t DataLength;
    SenseCode Expected;
  } rows[] = {
      {"READ TRACK INFORMATION", [](Identity& id) { id.ReadTrackInformation = false; },
       {0x52, 0x01, 0, 0, 0, 1, 0, 0, 48, 0}, In, 48, sense::InvalidCommandOperationCode},
      {"READ DISC INFORMATION", [](Identity& id) { id.ReadDiscInformation = false; },
       {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, In, 34, sense::InvalidCommandOperationCode},
      {"default values of page 2Ah", [](Identity& id) { id.DefaultPages = false; },
       {0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 255, 0}, In, 255, sense::InvalidFieldInCdb},
      {"WRITE on a read-only drive", [](Identity& id) { id.ReadOnly = true; }, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Out,
       2048, sense::InvalidCommandOperationCode},
      {"page 05h of a read-only drive", [](Identity& id) { id.ReadOnly = true; },
       {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 255, 0}, In, 255, sense::InvalidFieldInCdb},
      {"ATIP in a read-only drive", [](Identity& id) { id.ReadOnly = true; }, {0x43, 0x02, 0x04, 0, 0, 0, 0, 0, 28, 0},
       In, 28, sense::InvalidFieldInCdb},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.What);
    DriveState lacking;
    row.Edit(lacking.Config.Drive);
    Harness h(lacking);
    h.Insert("cd-rw");
    EXPECT_SENSE(h.Run(row.Cdb, row.Direction, std::vector<uint8_t>(row.DataLength, 0)), row.Expected);
  }
}

TEST(Refusals, FieldPointersNameTheBadField) {
  Harness h;
  h.Insert("cd-rw");
  Result r = h.None({0xA1, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_SENSE(r, sense::InvalidFieldInCdb);
  EXPECT_EQ(r.SenseBytes[15], 0x80 | 0x40 | 0x08 | 2) << "SKSV, in the CDB, bit 2";
  EXPECT_EQ(r.SenseBytes[16] << 8 | r.SenseBytes[17], 1) << "byte 1: the blanking type";
  Result unknown = h.None({0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_SENSE(unknown, sense::InvalidCommandOperationCode);
  EXPECT_EQ(unknown.SenseBytes[17], 0) << "the operation code";
}

TEST(Refusals, WritesTheDriveCannotDoAreRefused) {
  DriveState s;
  s.Config.Drive.WriteDvdPlusR = false;
  Harness h(s);
  h.Insert("dvd+r");
  EXPECT_SENSE(h.Write(0, 16), sense::CannotWriteIncompatibleFormat);
  // Writing a finalized disc or past the capacity.
  Harness small;
  small.Insert("cd-r", 1000);
  ASSERT_GOOD(small.SetWriteParams(1, 0));
  EXPECT_SENSE(small.Write(0, 1001), sense::LbaOutOfRange);
  ASSERT_GOOD(small.Write(0, 600));
  ASSERT_GOOD(small.CloseTrackSession(2));
  EXPECT_SENSE(small.Write(600, 1), sense::WriteProtected);
  EXPECT_EQ(small.ReadDiscInformation().At(2) & 3, 2) << "complete";
}

TEST(Refusals, ShortHostBuffersAreCutAndFlagged) {
  Harness h;
  h.Insert("dvd-ram");
  ASSERT_GOOD(h.Write(0, 2, 5));
  Result cut = h.Run({0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, ScsiDirection::In, std::vector<uint8_t>(3000, 0));
  EXPECT_EQ(cut.Outcome.Status, ScsiStatusGood);
  EXPECT_TRUE(cut.Outcome.DataOverrun);
  EXPECT_EQ(cut.Outcome.Transferred, 3000u);
  const auto expected = Pattern(0, 2, 5);
  EXPECT_TRUE(std::equal(cut.Data.begin(), cut.Data.end(), expected.begin()));
  Result inquiry = h.Run({0x12, 0, 0, 0, 96, 0}, ScsiDirection::In, std::vector<uint8_t>(10, 0));
  EXPECT_TRUE(inquiry.Outcome.DataOverrun);
  EXPECT_EQ(inquiry.Outcome.Transferred, 10u);
  Result exact = h.Run({0x12, 0, 0, 0, 10, 0}, ScsiDirection::In, std::vector<uint8_t>(10, 0));
  EXPECT_TRUE(exact.Good()) << "allocation length within the buffer";
}

TEST(Refusals, RandomCommandsNeverCrashAndAlwaysAnswerProperly) {
  std::mt19937 random(20240521);
  const std::vector<uint8_t> opcodes{0x00, 0x01, 0x03, 0x04, 0x12, 0x1B, 0x1E, 0x23, 0x25, 0x28, 0x2A, 0x35, 0x43,
                                     0x46, 0x51, 0x52, 0x53, 0x54, 0x55, 0x5A, 0x5B, 0x5C, 0xA1, 0xB6, 0xBB, 0xBF};
  const char* media[] = {"cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd-rw-ro", "dvd+r", "dvd+rw", "dvd-ram", "none"};
  for (const char* medium : media) {
    SCOPED_TRACE(medium);
    Harness h;
    h.Insert(medium);
    for (int i = 0; i < 2000; ++i) {
      std::vector<uint8_t> cdb(1 + random() % 16);
      for (uint8_t& b : cdb)
        b = static_cast<uint8_t>(random());
      if (random() % 4)
        cdb[0] = opcodes[random() % opcodes.size()];
      // Keep transfers small so the run stays quick.
      if (cdb.size() > 8 && (cdb[0] == 0x28 || cdb[0] == 0x2A))
        cdb[7] = 0;
      const auto direction = static_cast<ScsiDirection>(random() % 3);
      // Mostly parameter-list sized buffers, sometimes a large one.
      const size_t size = random() % 4 == 0 ? 0 : random() % 8 == 0 ? random() % 70000 : random() % 600;
      std::vector<uint8_t> data(size, static_cast<uint8_t>(random()));
      for (size_t b = 0; b < data.size() && b < 600; ++b)
        data[b] = static_cast<uint8_t>(random());
      Result r = h.Run(cdb, direction, data);
      ASSERT_TRUE(r.Outcome.Status == ScsiStatusGood || r.Outcome.Status == ScsiStatusCheckCondition)
          << "opcode " << int(cdb[0]);
      ASSERT_LE(r.Outcome.Transferred, data.size());
      if (r.Outcome.Status == ScsiStatusCheckCondition) {
        ASSERT_EQ(r.Outcome.SenseLength, FixedSenseLength);
        ASSERT_NE(r.Sense().Key, SenseKeyNoSense);
      }
      h.now += random() % 1000;
    }
    // Whatever happened, the drive still answers.
    EXPECT_GOOD(h.Inquiry());
  }
}

} // namespace
} // namespace qnzb::vdrive::test
