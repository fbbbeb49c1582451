// Conversations with the recorder per medium kind, written from MMC-5: find
// the medium, set the write parameters, write a track at the reported next
// writable address, close track and session, read the structure back, append
// a second session at the reported address, read both sessions' blocks back,
// and close the disc for good.

#include <gtest/gtest.h>

#include <ostream>

#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

struct SequentialMedium {
  const char* Name;
  uint16_t Profile;
  bool Cd;
  bool Erasable;
  bool Reserve;         // DVD-R/-RW: the engine reserves the track first
  bool PlusR;           // DVD+R: no write parameters, finalized by its own close function
  uint16_t Chunk;       // sectors per WRITE
  uint32_t FirstSize;   // the first track's size once closed (1000 blocks written)
  uint32_t SecondStart; // where the second session's first track starts
};

// First track: 1000 blocks at 0. CD: the lead-out of the first session
// (6750), the lead-in (4500) and the pre-gap (150) follow. DVD: the track is
// padded to a 16-sector ECC block, then the session gap follows.
constexpr SequentialMedium SequentialMedia[] = {
    {"cd-r", 0x0009, true, false, false, false, 27, 1000, 1000 + 6750 + 4500 + 150},
    {"cd-rw", 0x000A, true, true, false, false, 27, 1000, 1000 + 6750 + 4500 + 150},
    {"dvd-r", 0x0011, false, false, true, false, 32, 1008, 1008 + DvdFirstSessionGap},
    {"dvd-rw", 0x0014, false, true, true, false, 32, 1008, 1008 + DvdFirstSessionGap},
    {"dvd+r", 0x001B, false, false, false, true, 32, 1008, 1008 + DvdFirstSessionGap},
};

// Test names and failure messages show the medium, not the row's bytes.
void PrintTo(const SequentialMedium& m, std::ostream* os) { *os << m.Name; }

class SequentialConversation : public ::testing::TestWithParam<SequentialMedium> {
protected:
  Harness h;

  // Writes `blocks` from `lba` in the medium's chunk size.
  void WriteTrack(uint32_t lba, uint32_t blocks, uint8_t seed) {
    const uint16_t chunk = GetParam().Chunk;
    for (uint32_t done = 0; done < blocks;) {
      const auto n = static_cast<uint16_t>(std::min<uint32_t>(chunk, blocks - done));
      Result w = h.WriteData(lba + done, n, Pattern(lba + done, n, seed));
      ASSERT_GOOD(w) << " writing at " << lba + done;
      done += n;
    }
  }

  void ExpectBlocks(uint32_t lba, uint32_t blocks, uint8_t seed) {
    Result r = h.Read(lba, static_cast<uint16_t>(blocks));
    ASSERT_GOOD(r);
    EXPECT_EQ(r.Data, Pattern(lba, blocks, seed)) << "blocks at " << lba;
  }

  // One session as the engine writes it, at the next writable address the
  // drive reports for the track after the last.
  uint32_t WriteSession(uint32_t blocks, uint8_t seed) {
    const SequentialMedium& m = GetParam();
    Result disc = h.ReadDiscInformation();
    const uint8_t track = disc.At(6);  // last track in last session: the invisible one
    if (m.Reserve) {
      EXPECT_GOOD(h.ReserveTrack(blocks));
    }
    Result info = h.ReadTrackInformation(track);
    EXPECT_GOOD(info);
    EXPECT_TRUE(info.At(7) & 0x01) << "NWA_V";
    const uint32_t nwa = info.U32(12);
    WriteTrack(nwa, blocks, seed);
    EXPECT_GOOD(h.SyncCache());
    if (!m.Cd) {
      EXPECT_GOOD(h.CloseTrackSession(1, track));
    }
    EXPECT_GOOD(h.CloseTrackSession(2));
    return nwa;
  }
};

TEST_P(SequentialConversation, TwoSessionsThenFinalized) {
  const SequentialMedium& m = GetParam();
  h.Insert(m.Name);

  // Identify the medium.
  Result config = h.GetConfiguration(0, 0);
  ASSERT_GOOD(config);
  EXPECT_EQ(config.U16(6), m.Profile);
  Result disc = h.ReadDiscInformation();
  ASSERT_GOOD(disc);
  EXPECT_EQ(disc.At(2) & 0x03, 0) << "disc status: empty";
  EXPECT_EQ((disc.At(2) >> 2) & 0x03, 0) << "state of last session: empty";
  EXPECT_EQ((disc.At(2) >> 4) & 1, m.Erasable ? 1 : 0);
  EXPECT_EQ(disc.At(4), 1) << "sessions";
  EXPECT_EQ(disc.At(5), 1);
  EXPECT_EQ(disc.At(6), 1);
  Result blank = h.ReadTrackInformation(1);
  ASSERT_GOOD(blank);
  EXPECT_EQ(blank.U32(8), 0u) << "track start";
  EXPECT_EQ(blank.U32(12), 0u) << "next writable address";
  EXPECT_TRUE(blank.At(6) & 0x40) << "blank";
  EXPECT_EQ(blank.U32(16), m.Cd ? CdCapacity80Min : DvdCapacity) << "free blocks";

  // Write parameters as the engine sends them; DVD+R ignores the page.
  if (m.Cd) {
    ASSERT_GOOD(h.SetWriteParams(1, 3));
  } else if (!m.PlusR) {
    ASSERT_GOOD(h.SetWriteParams(0, 3, false, 5));
  }

  const uint32_t first = WriteSession(1000, 1);
  EXPECT_EQ(first, 0u);

  disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x03, 1) << "appendable";
  EXPECT_EQ((disc.At(2) >> 2) & 0x03, 0) << "the new session is empty";
  EXPECT_EQ(disc.At(4), 2);
  EXPECT_EQ(disc.At(5), 2) << "first track in the last session";
  EXPECT_EQ(disc.At(6), 2);
  Result track1 = h.ReadTrackInformation(1);
  EXPECT_EQ(track1.U32(24), m.FirstSize) << "track size";
  EXPECT_EQ(track1.U32(28), m.FirstSize - 1) << "last recorded address";
  EXPECT_FALSE(track1.At(7) & 0x01) << "a closed track has no NWA";

  Result toc = h.ReadToc(0);
  ASSERT_GOOD(toc);
  EXPECT_EQ(toc.U16(0), 2 + 2 * 8) << "track 1 and the lead-out";
  EXPECT_EQ(toc.At(2), 1);
  EXPECT_EQ(toc.At(3), 1);
  EXPECT_EQ(toc.At(6), 1);
  EXPECT_EQ(toc.U32(8), 0u);
  EXPECT_EQ(toc.At(14), 0xAA);
  EXPECT_EQ(toc.U32(16), m.FirstSize);

  const uint32_t second = WriteSession(500, 2);
  EXPECT_EQ(second, m.SecondStart);

  Result sessions = h.ReadToc(1);
  ASSERT_GOOD(sessions);
  EXPECT_EQ(sessions.At(2), 1);
  EXPECT_EQ(sessions.At(3), 2) << "last complete session";
  EXPECT_EQ(sessions.At(6), 2) << "its first track";
  EXPECT_EQ(sessions.U32(8), m.SecondStart);

  ExpectBlocks(0, 1000, 1);
  ExpectBlocks(m.SecondStart, 500, 2);
  // Between the sessions nothing was recorded.
  EXPECT_SENSE(h.Read(m.SecondStart - 1, 1), sense::EndOfDataDetected);

  // Close the disc: the multi-session field 00b on CD and DVD-R, finalize on DVD+R.
  Result third = h.ReadTrackInformation(3);
  ASSERT_GOOD(third);
  const uint32_t nwa = third.U32(12);
  // After later sessions the gap is shorter: 2250 + 4500 + 150 on CD.
  EXPECT_EQ(nwa, m.Cd ? m.SecondStart + 500 + 6900 : m.SecondStart + 512 + DvdLaterSessionGap);
  if (!m.PlusR) {
    ASSERT_GOOD(h.SetWriteParams(m.Cd ? 1 : 0, 0, false, m.Cd ? 4 : 5));
  }
  if (m.Reserve) {
    ASSERT_GOOD(h.ReserveTrack(32));
  }
  WriteTrack(nwa, 32, 3);
  EXPECT_GOOD(h.SyncCache());
  if (!m.Cd) {
    EXPECT_GOOD(h.CloseTrackSession(1, 3));
  }
  EXPECT_GOOD(h.CloseTrackSession(m.PlusR ? 5 : 2));

  disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x03, 2) << "complete";
  EXPECT_EQ((disc.At(2) >> 2) & 0x03, 3);
  EXPECT_EQ(disc.At(4), 3);
  EXPECT_SENSE(h.Write(nwa + 64, 16), sense::WriteProtected);
  EXPECT_SENSE(h.ReadTrackInformation(4), sense::InvalidFieldInCdb);
  ExpectBlocks(nwa, 32, 3);
}

TEST_P(SequentialConversation, RefusesWritesOffTheNextWritableAddress) {
  const SequentialMedium& m = GetParam();
  h.Insert(m.Name);
  if (m.Cd) {
    ASSERT_GOOD(h.SetWriteParams(1, 3));
  } else if (!m.PlusR) {
    ASSERT_GOOD(h.SetWriteParams(0, 3, false, 5));
  }
  EXPECT_SENSE(h.Write(16, 16), sense::InvalidAddressForWrite);
  ASSERT_GOOD(h.Write(0, 16));
  EXPECT_SENSE(h.Write(0, 16), sense::InvalidAddressForWrite) << "no rewriting";
  EXPECT_SENSE(h.Write(32, 16), sense::InvalidAddressForWrite) << "no holes";
  ASSERT_GOOD(h.Write(16, 16));
  const uint32_t capacity = m.Cd ? CdCapacity80Min : DvdCapacity;
  EXPECT_SENSE(h.Write(capacity, 1), sense::LbaOutOfRange) << "beyond the disc";
  Result info = h.ReadTrackInformation(1);
  EXPECT_EQ(info.U32(12), 32u) << "failed writes leave the NWA where it was";
  EXPECT_SENSE(h.Read(32, 1), sense::EndOfDataDetected);
  EXPECT_SENSE(h.Read(capacity, 1), sense::LbaOutOfRange);
}

INSTANTIATE_TEST_SUITE_P(Media, SequentialConversation, ::testing::ValuesIn(SequentialMedia),
                         [](const auto& p) {
                           std::string name = p.param.Name;
                           std::string id;
                           for (char c : name)
                             id += c == '-' ? std::string("_") : c == '+' ? std::string("_plus_") : std::string(1, c);
                           return id;
                         });

TEST(CdConversation, LaterSessionsLeaveTheShorterLeadOut) {
  Harness h;
  h.Insert("cd-rw");
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  uint32_t nwa = 0;
  std::vector<uint32_t> starts;
  for (int session = 0; session < 3; ++session) {
    Result info = h.ReadTrackInformation(0xFF);
    ASSERT_GOOD(info);
    nwa = info.U32(12);
    starts.push_back(nwa);
    ASSERT_GOOD(h.Write(nwa, 27, static_cast<uint8_t>(session)));
    ASSERT_GOOD(h.CloseTrackSession(2));
  }
  // Short tracks are padded to 4 seconds (300 blocks); then 6750 + 4500 + 150
  // after the first session and 2250 + 4500 + 150 after later ones.
  EXPECT_EQ(starts[0], 0u);
  EXPECT_EQ(starts[1], 300u + 11'400);
  EXPECT_EQ(starts[2], starts[1] + 300 + 6'900);
  EXPECT_EQ(h.Read(starts[2], 27).Data, Pattern(starts[2], 27, 2));
  Result padding = h.Read(starts[2] + 27, 1);
  ASSERT_GOOD(padding);
  EXPECT_EQ(padding.Data, std::vector<uint8_t>(2048, 0)) << "the drive pads with zeros";
  EXPECT_SENSE(h.Read(starts[2] + 300, 1), sense::EndOfDataDetected);
}

TEST(CdConversation, FlushingTheCacheClosesTheTrackAtOnceTrack) {
  Harness h;
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  ASSERT_GOOD(h.Write(0, 27));
  EXPECT_TRUE(h.ReadTrackInformation(1).At(7) & 0x01) << "open: NWA valid";
  ASSERT_GOOD(h.SyncCache());
  Result closed = h.ReadTrackInformation(1);
  EXPECT_FALSE(closed.At(7) & 0x01);
  EXPECT_EQ(closed.U32(24), 300u) << "padded to 4 seconds";
  Result next = h.ReadTrackInformation(2);
  EXPECT_EQ(next.U32(8), 450u) << "the next track of the session after a 150-block pre-gap";
  ASSERT_GOOD(h.Write(450, 300, 1));
  ASSERT_GOOD(h.CloseTrackSession(2));
  Result toc = h.ReadToc(0, false, 2);
  ASSERT_GOOD(toc);
  EXPECT_EQ(toc.U16(0), 2 + 2 * 8) << "from track 2 on: track 2 and the lead-out";
  EXPECT_EQ(toc.At(6), 2);
  EXPECT_EQ(toc.U32(8), 450u);
  EXPECT_EQ(toc.U32(16), 750u);
  Result leadOut = h.ReadToc(0, false, 0xAA);
  EXPECT_EQ(leadOut.U16(0), 2 + 8);
  EXPECT_EQ(leadOut.At(6), 0xAA);
  Result msf = h.ReadToc(0, true);
  EXPECT_EQ(msf.U32(8), 0x00000200u) << "track 1 at 00:02:00";
  EXPECT_EQ(msf.U32(16), 0x00000800u) << "track 2 at 450 + 150 frames: 00:08:00";
  EXPECT_SENSE(h.ReadToc(0, false, 3), sense::InvalidFieldInCdb);
  EXPECT_EQ(h.ReadCapacity().U32(0), 749u) << "last recorded block";
}

TEST(CdConversation, TheMultiSessionFieldDecidesWhetherTheDiscCloses) {
  // 00b and 01b: no next session; 11b: another session may follow.
  for (uint8_t field : {0, 1, 3}) {
    SCOPED_TRACE(int(field));
    Harness h;
    ASSERT_GOOD(h.SetWriteParams(1, field));
    ASSERT_GOOD(h.Write(0, 300));
    ASSERT_GOOD(h.CloseTrackSession(2));
    Result disc = h.ReadDiscInformation();
    EXPECT_EQ(disc.At(2) & 3, field == 3 ? 1 : 2);
    // LBA 300 + 6750, i.e. 7200 frames: 01:36:00.
    EXPECT_EQ(disc.U32(16), field == 3 ? 0x00012400u : 0xFFFFFFFFu)
        << "the next session's lead-in, none once complete";
  }
}

TEST(CdConversation, AtipAndDiscInformationCarryTheMediumsTimes) {
  Harness h;
  h.Insert("cd-rw");
  Result atip = h.ReadToc(4, true, 0, 28);
  ASSERT_GOOD(atip);
  EXPECT_EQ(atip.At(6) & 0xC0, 0xC0) << "CD-RW disc type";
  // The last possible lead-out of an 80-minute disc: 79:59:74.
  EXPECT_EQ(atip.At(12), 79);
  EXPECT_EQ(atip.At(13), 59);
  EXPECT_EQ(atip.At(14), 74);
  Result disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.U32(20), 0x004F3B4Au) << "same lead-out, MSF";
  h.Insert("dvd-r");
  EXPECT_SENSE(h.ReadToc(4, true), sense::InvalidFieldInCdb);
}

TEST(DvdMinusConversation, DiscAtOnceNeedsAReservation) {
  Harness h;
  h.Insert("dvd-r");
  ASSERT_GOOD(h.SetWriteParams(2, 0));
  EXPECT_SENSE(h.Write(0, 16), sense::CommandSequenceError);
  ASSERT_GOOD(h.ReserveTrack(100));
  Result disc = h.ReadDiscInformation();
  EXPECT_EQ((disc.At(2) >> 2) & 3, 1) << "the session is incomplete now";
  EXPECT_EQ(disc.At(5), 1) << "first track in the last session: the reserved one";
  EXPECT_EQ(disc.At(6), 2) << "last track in the last session: the invisible one";
  Result reserved = h.ReadTrackInformation(1);
  EXPECT_TRUE(reserved.At(6) & 0x80) << "RT";
  EXPECT_EQ(reserved.U32(24), 112u) << "rounded up to ECC blocks";
  EXPECT_EQ(h.ReadTrackInformation(2).U32(8), 112u) << "the invisible track follows";
  ASSERT_GOOD(h.Write(0, 96));
  EXPECT_SENSE(h.Write(96, 32), sense::InvalidAddressForWrite) << "past the reservation";
  // A further reservation takes the invisible track after it.
  ASSERT_GOOD(h.ReserveTrack(16));
  EXPECT_EQ(h.ReadTrackInformation(3).U32(8), 128u);
  ASSERT_GOOD(h.Write(112, 16)) << "the second reserved track records at its own NWA";
  ASSERT_GOOD(h.Write(96, 16)) << "while the first one still takes its rest";
}

TEST(PlusRwConversation, FormatThenOverwriteAnywhere) {
  Harness h;
  h.Insert("dvd+rw");
  Result disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x03, 0) << "unformatted: empty";
  EXPECT_EQ(disc.At(7) & 0x03, 0) << "background format: none";
  EXPECT_SENSE(h.Write(0, 32), sense::MediumNotFormatted);
  Result capacities = h.ReadFormatCapacities();
  EXPECT_EQ(capacities.At(8) & 0x03, 1) << "unformatted media";
  EXPECT_EQ(capacities.U32(12), DvdCapacity);
  EXPECT_EQ(capacities.At(16), 0x26 << 2) << "format type 26h offered";

  ASSERT_GOOD(h.Format(0x26, DvdCapacity, false));
  disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x03, 2) << "formatted: complete";
  EXPECT_EQ(disc.At(7) & 0x03, 3) << "background format complete";
  EXPECT_EQ(h.ReadFormatCapacities().At(8) & 0x03, 2) << "formatted media";
  ASSERT_GOOD(h.Write(5000, 32, 1));
  ASSERT_GOOD(h.Write(0, 32, 2));
  ASSERT_GOOD(h.Write(5, 3, 3)) << "any 2 KiB block";
  Result zeros = h.Read(100, 1);
  ASSERT_GOOD(zeros);
  EXPECT_EQ(zeros.Data, std::vector<uint8_t>(2048, 0)) << "formatted, never written";
  Result back = h.Read(5000, 32);
  EXPECT_EQ(back.Data, Pattern(5000, 32, 1));
  Result overwritten = h.Read(0, 8);
  std::vector<uint8_t> expected = Pattern(0, 32, 2);
  expected.resize(8 * 2048);
  const auto third = Pattern(5, 3, 3);
  std::copy(third.begin(), third.end(), expected.begin() + 5 * 2048);
  EXPECT_EQ(overwritten.Data, expected);
  EXPECT_SENSE(h.Write(DvdCapacity - 8, 16), sense::LbaOutOfRange);
  EXPECT_GOOD(h.CloseTrackSession(3)) << "the engine's close of a DVD+RW";
  EXPECT_EQ(h.ReadTrackInformation(1).U32(24), DvdCapacity);
}

TEST(RamConversation, AlwaysFormattedRandomWritable) {
  Harness h;
  h.Insert("dvd-ram");
  EXPECT_EQ(h.GetConfiguration(0, 0).U16(6), 0x0012);
  Result disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x03, 3) << "disc status: others";
  EXPECT_EQ((disc.At(2) >> 4) & 1, 1) << "erasable";
  ASSERT_GOOD(h.Write(1234, 7, 9));
  EXPECT_EQ(h.Read(1234, 7).Data, Pattern(1234, 7, 9));
  EXPECT_EQ(h.ReadCapacity().U32(0), DvdRamCapacity - 1);
  EXPECT_SENSE(h.Read(DvdRamCapacity, 1), sense::LbaOutOfRange);
  EXPECT_SENSE(h.CloseTrackSession(2), sense::InvalidFieldInCdb);
  // Reformatting with the descriptor READ FORMAT CAPACITIES offers erases.
  Result capacities = h.ReadFormatCapacities();
  EXPECT_EQ(capacities.U32(12), DvdRamCapacity);
  ASSERT_GOOD(h.Format(0x00, DvdRamCapacity, false, 2048));
  EXPECT_EQ(h.Read(1234, 1).Data, std::vector<uint8_t>(2048, 0));
}

TEST(RestrictedOverwriteConversation, GrowsByWritingThenCloses) {
  Harness h;
  h.Insert("dvd-rw");
  EXPECT_EQ(h.GetConfiguration(0, 0).U16(6), 0x0014);
  // Quick format (type 15h) with no blocks: restricted overwrite, growing from 0.
  ASSERT_GOOD(h.Format(0x15, 0, false, 16));
  EXPECT_EQ(h.GetConfiguration(0, 0).U16(6), 0x0013);
  Result info = h.ReadTrackInformation(1);
  EXPECT_TRUE(info.At(7) & 0x01);
  EXPECT_EQ(info.U32(12), 0u);
  ASSERT_GOOD(h.Write(0, 32, 1));
  EXPECT_SENSE(h.Write(40, 16), sense::InvalidAddressForWrite) << "beyond the grown area";
  EXPECT_SENSE(h.Write(32, 8), sense::InvalidAddressForWrite) << "ECC blocks only";
  ASSERT_GOOD(h.Write(32, 32, 2));
  EXPECT_EQ(h.ReadTrackInformation(1).U32(12), 64u);
  ASSERT_GOOD(h.Write(0, 16, 3)) << "overwrite inside the area";
  EXPECT_EQ(h.ReadFormatCapacities().At(8) & 0x03, 3) << "intermediate: unknown capacity";
  ASSERT_GOOD(h.CloseTrackSession(2, 0, true));
  Result caps = h.ReadFormatCapacities();
  EXPECT_EQ(caps.At(8) & 0x03, 2);
  EXPECT_EQ(caps.U32(4), 64u) << "the formatted size is what was written";
  EXPECT_SENSE(h.Write(64, 16), sense::LbaOutOfRange) << "no growth once closed";
  Result toc = h.ReadToc(0);
  EXPECT_EQ(toc.U32(16), 64u) << "lead-out";
  // Type 13h reopens the end for growth.
  ASSERT_GOOD(h.Format(0x13, 0, false, 16));
  EXPECT_EQ(h.ReadTrackInformation(1).U32(12), 64u);
  ASSERT_GOOD(h.Write(64, 32, 4));
  EXPECT_EQ(h.Read(32, 32).Data, Pattern(32, 32, 2));
  // The engine's quick format of a blank disc: 1000 blocks, which end on an
  // ECC block boundary once formatted.
  ASSERT_GOOD(h.BlankDisc(0, false));
  ASSERT_GOOD(h.Format(0x15, 1000, false, 16));
  EXPECT_EQ(h.ReadTrackInformation(1).U32(12), 1008u);
  ASSERT_GOOD(h.Write(1008, 32));
  // BLANK returns the disc to sequential recording.
  ASSERT_GOOD(h.BlankDisc(0, false));
  EXPECT_EQ(h.GetConfiguration(0, 0).U16(6), 0x0014);
  EXPECT_SENSE(h.Read(0, 1), sense::EndOfDataDetected);
}

TEST(TestWrite, RecordsNothing) {
  Harness h;
  h.Insert("cd-r");
  ASSERT_GOOD(h.SetWriteParams(1, 3, true));
  ASSERT_GOOD(h.Write(0, 27));
  ASSERT_GOOD(h.Write(27, 27)) << "the simulated track advances";
  EXPECT_SENSE(h.Write(0, 27), sense::InvalidAddressForWrite);
  ASSERT_GOOD(h.SyncCache());
  Result disc = h.ReadDiscInformation();
  EXPECT_EQ(disc.At(2) & 0x03, 0) << "still blank";
  EXPECT_EQ(h.ReadTrackInformation(1).U32(12), 0u);
  EXPECT_SENSE(h.Read(0, 1), sense::EndOfDataDetected);
  // Without the test-write bit the same write records.
  ASSERT_GOOD(h.SetWriteParams(1, 3, false));
  ASSERT_GOOD(h.Write(0, 27));
  EXPECT_EQ(h.Read(0, 27).Data, Pattern(0, 27));
}

} // namespace
} // namespace qnzb::vdrive::test
