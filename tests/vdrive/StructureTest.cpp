// Answers other programs' MMC code relies on, byte by byte as MMC lays them
// out: the full TOC of recorded CDs, DVD structures, the feature lengths of
// GET CONFIGURATION, session-at-once on CD refused up front, and DVD-R
// disc-at-once closed by SYNCHRONIZE CACHE.

#include <gtest/gtest.h>

#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

constexpr SenseCode IncompatibleFormat{SenseKeyIllegalRequest, 0x30, 0x02};

Result ReadDiscStructure(Harness& h, uint8_t format, uint8_t layer = 0, uint16_t allocation = 2052) {
  std::vector<uint8_t> cdb(12, 0);
  cdb[0] = 0xAD;
  cdb[6] = layer;
  cdb[7] = format;
  Put16(cdb, 8, allocation);
  return h.In(cdb, allocation);
}

// Two CD sessions of 300 blocks: the first at 0, the second after the first
// lead-out (6750), lead-in (4500) and pre-gap (150), at 11700.
void TwoSessions(Harness& h, bool finalize) {
  h.Insert("cd-r");
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  for (uint32_t start : {0u, 11'700u}) {
    ASSERT_GOOD(h.Write(start, 300));
    ASSERT_GOOD(h.SyncCache());
    if (start != 0 && finalize) {
      ASSERT_GOOD(h.SetWriteParams(1, 0));
    }
    ASSERT_GOOD(h.CloseTrackSession(2));
  }
}

using Bytes = std::vector<uint8_t>;

TEST(FullToc, PointsOfEverySessionAsInTheLeadIn) {
  // Session, ADR/CONTROL, TNO, POINT, MIN SEC FRAME, ZERO, PMIN PSEC PFRAME.
  const Bytes session1 = {
      0x01, 0x14, 0, 0xA0, 0, 0, 0, 0, 1, 0x00, 0,     // first track 1, disc type CD-ROM
      0x01, 0x14, 0, 0xA1, 0, 0, 0, 0, 1, 0, 0,        // last track 1
      0x01, 0x14, 0, 0xA2, 0, 0, 0, 0, 0, 6, 0,        // lead-out at LBA 300: 00:06:00
      0x01, 0x14, 0, 0x01, 0, 0, 0, 0, 0, 2, 0,        // track 1 at 00:02:00
      0x01, 0x54, 0, 0xB0, 2, 36, 0, 1, 79, 59, 74,    // next program area 11550: 02:36:00
  };
  const Bytes session2 = {
      0x02, 0x14, 0, 0xA0, 0, 0, 0, 0, 2, 0x00, 0,
      0x02, 0x14, 0, 0xA1, 0, 0, 0, 0, 2, 0, 0,
      0x02, 0x14, 0, 0xA2, 0, 0, 0, 0, 2, 42, 0,       // lead-out at 12000: 02:42:00
      0x02, 0x14, 0, 0x02, 0, 0, 0, 0, 2, 38, 0,       // track 2 at 11700: 02:38:00
  };
  const Bytes session2Open = {0x02, 0x54, 0, 0xB0, 4, 12, 0, 1, 79, 59, 74};  // 18750: 04:12:00
  auto toc = [](std::initializer_list<const Bytes*> parts) {
    Bytes b = {0, 0, 1, 2};
    for (const Bytes* p : parts)
      b.insert(b.end(), p->begin(), p->end());
    b[1] = static_cast<uint8_t>(b.size() - 2);
    return b;
  };
  const struct {
    bool Finalize;
    uint8_t From;
    bool Msf;
    Bytes Expected;
  } rows[] = {
      {false, 0, true, toc({&session1, &session2, &session2Open})},
      {false, 1, false, toc({&session1, &session2, &session2Open})},  // lead-in times exist as MSF only
      {false, 2, true, toc({&session2, &session2Open})},
      {true, 0, true, toc({&session1, &session2})},  // a closed disc takes no more sessions: no B0h
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "finalize " << row.Finalize << " from session " << int(row.From));
    Harness h;
    TwoSessions(h, row.Finalize);
    Result r = h.ReadToc(2, row.Msf, row.From);
    ASSERT_GOOD(r);
    EXPECT_EQ(r.Data, row.Expected);
  }
  Harness h;
  TwoSessions(h, false);
  EXPECT_SENSE(h.ReadToc(2, true, 3), sense::InvalidFieldInCdb) << "no third session";
  EXPECT_EQ(h.ReadToc(2, true, 0, 4).Data, (Bytes{0, 112, 1, 2})) << "the length of everything";
  h.Insert("cd-r");
  EXPECT_SENSE(h.ReadToc(2, true), sense::InvalidFieldInCdb) << "a blank disc has no lead-in yet";
  h.Insert("dvd-r");
  EXPECT_SENSE(h.ReadToc(2, true), sense::InvalidFieldInCdb);
}

TEST(ReadDiscStructure, FormatsOfEachDvdAndRefusals) {
  const uint32_t lastPsn = 0x030000 + DvdCapacity - 1;
  const uint8_t last[] = {static_cast<uint8_t>(lastPsn >> 24), static_cast<uint8_t>(lastPsn >> 16),
                          static_cast<uint8_t>(lastPsn >> 8), static_cast<uint8_t>(lastPsn)};
  const struct {
    const char* Medium;
    uint8_t Format;
    uint16_t Length;   // data length field: the structure + 2
    Bytes Start;       // the first bytes after the 4-byte header
  } rows[] = {
      // Book type/part version, disc size/rate, layers/path/type, densities,
      // first and last physical sector of the data area.
      {"dvd-r", 0x00, 2050, {0x25, 0x02, 0x02, 0x10, 0, 0x03, 0, 0, last[0], last[1], last[2], last[3]}},
      {"dvd-rw", 0x00, 2050, {0x32, 0x02, 0x04, 0x10, 0, 0x03, 0, 0, last[0], last[1], last[2], last[3]}},
      {"dvd+r", 0x00, 2050, {0xA1, 0x02, 0x02, 0x10, 0, 0x03, 0, 0, last[0], last[1], last[2], last[3]}},
      {"dvd+rw", 0x00, 2050, {0x92, 0x02, 0x04, 0x10}},
      // Pre-pit field 1: application and physical codes, last recordable
      // address (3 bytes), part version; field 2 follows at byte 8.
      {"dvd-r", 0x0E, 42, {1, 0, 0, last[1], last[2], last[3], 0x05, 0, 2}},
      {"dvd+rw", 0x11, 258, {0x92, 0x0F, 0x04, 0x10, 0, 0x03, 0, 0, last[0], last[1], last[2], last[3]}},
      // Format, SDS/RDS, length: 00h, 0Eh, 0Fh (sent only), FFh.
      {"dvd-r", 0xFF, 18, {0x00, 0x40, 0x08, 0x00, 0x0E, 0x40, 0, 40, 0x0F, 0x80, 0, 18, 0xFF, 0x40, 0, 16}},
      {"dvd+r", 0xFF, 14, {0x00, 0x40, 0x08, 0x00, 0x11, 0x40, 0x01, 0x00, 0xFF, 0x40, 0, 12}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.Medium << " format " << int(row.Format));
    Harness h;
    h.Insert(row.Medium);
    Result r = ReadDiscStructure(h, row.Format);
    ASSERT_GOOD(r);
    EXPECT_EQ(r.U16(0), row.Length);
    EXPECT_EQ(r.Data.size(), row.Length + 2u);
    EXPECT_EQ(Bytes(r.Data.begin() + 4, r.Data.begin() + 4 + static_cast<std::ptrdiff_t>(row.Start.size())),
              row.Start);
  }
  const struct {
    const char* Medium;
    uint8_t Format, Layer;
    SenseCode Sense;
  } refusals[] = {
      {"cd-r", 0x00, 0, IncompatibleFormat},    {"cd-rw", 0xFF, 0, IncompatibleFormat},
      {"dvd-r", 0x11, 0, sense::InvalidFieldInCdb}, {"dvd+r", 0x0E, 0, sense::InvalidFieldInCdb},
      {"dvd-r", 0x05, 0, sense::InvalidFieldInCdb}, {"dvd-r", 0x00, 1, sense::InvalidFieldInCdb},
  };
  for (const auto& row : refusals) {
    Harness h;
    h.Insert(row.Medium);
    EXPECT_SENSE(ReadDiscStructure(h, row.Format, row.Layer), row.Sense) << row.Medium << " " << int(row.Format);
  }
}

TEST(GetConfiguration, EveryFeatureLengthIsAMultipleOfFour) {
  Harness h;
  Result r = h.GetConfiguration(0, 0, 2048);
  ASSERT_GOOD(r);
  const size_t end = 4 + r.U32(0);
  ASSERT_EQ(end, r.Data.size());
  size_t at = 8;
  while (at < end) {
    const uint16_t code = r.U16(at);
    const uint8_t length = r.At(at + 3);
    EXPECT_EQ(length % 4, 0) << "feature " << std::hex << code;
    if (code == 0x0023) {
      EXPECT_EQ(length, 8) << "Formattable";
    }
    at += 4 + length;
  }
  EXPECT_EQ(at, end) << "the features fill the reply exactly";
}

TEST(WriteType, SessionAtOnceIsRefusedOnCdAndTakenOnDvdMinusR) {
  const struct {
    const char* Medium;
    bool Accepted;
  } rows[] = {{"cd-r", false}, {"cd-rw", false}, {"dvd-r", true}};
  for (const auto& row : rows) {
    Harness h;
    h.Insert(row.Medium);
    Result r = h.SetWriteParams(2, 0);
    if (row.Accepted) {
      EXPECT_GOOD(r) << row.Medium;
      continue;
    }
    EXPECT_SENSE(r, sense::InvalidFieldInParameterList) << row.Medium;
    EXPECT_EQ(r.SenseBytes[17], 8 + 2) << "field pointer: the write type";
    EXPECT_EQ(h.WriteParams()[2] & 0x0F, 1) << "track-at-once stays";
  }
}

TEST(DvdMinusDiscAtOnce, SynchronizeCachePadsTheReservationAndClosesTheDisc) {
  Harness h;
  h.Insert("dvd-r");
  ASSERT_GOOD(h.SetWriteParams(2, 0));
  ASSERT_GOOD(h.ReserveTrack(100));  // 112 blocks: whole ECC blocks
  ASSERT_GOOD(h.Write(0, 96));
  ASSERT_GOOD(h.SyncCache());
  Result disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x0F, 0x0E) << "last session complete (11b), disc complete (10b)";
  Result track = h.ReadTrackInformation(1);
  EXPECT_EQ(track.U32(24), 112u);
  EXPECT_EQ(track.At(7) & 0x01, 0) << "no NWA";
  EXPECT_SENSE(h.Write(96, 16), sense::WriteProtected);
}

} // namespace
} // namespace qnzb::vdrive::test
