// Time under a virtual clock: instant by default; in the real-time mode
// blanking, formatting and closing keep the drive NOT READY (in progress)
// until the clock passes their duration, and WRITE fills a buffer that drains
// at the write speed.

#include <gtest/gtest.h>

#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

DriveState RealTime() {
  DriveState s;
  s.Config.Time.RealTime = true;
  return s;
}

uint16_t Progress(const Result& r) {
  EXPECT_EQ(r.SenseBytes[15] & 0x80, 0x80) << "SKSV";
  return static_cast<uint16_t>(r.SenseBytes[16] << 8 | r.SenseBytes[17]);
}

struct SlowOperation {
  const char* What;
  const char* Medium;
  SenseCode Busy;
  uint32_t Timing::*Duration;
  Result (*Start)(Harness&);
};

const SlowOperation SlowOperations[] = {
    {"quick blank of a CD-RW", "cd-rw", sense::OperationInProgress, &Timing::CdQuickBlankMs,
     [](Harness& h) { return h.BlankDisc(1, true); }},
    {"full blank of a CD-RW", "cd-rw", sense::OperationInProgress, &Timing::CdFullBlankMs,
     [](Harness& h) { return h.BlankDisc(0, true); }},
    {"quick blank of a DVD-RW", "dvd-rw", sense::OperationInProgress, &Timing::DvdQuickBlankMs,
     [](Harness& h) { return h.BlankDisc(1, true); }},
    {"format of a DVD+RW", "dvd+rw", sense::FormatInProgress, &Timing::FormatMs,
     [](Harness& h) { return h.Format(0x26, DvdCapacity, true); }},
    {"format of a DVD-RAM", "dvd-ram", sense::FormatInProgress, &Timing::FullFormatMs,
     [](Harness& h) { return h.Format(0x00, DvdRamCapacity, true, 2048); }},
    {"quick format of a DVD-RW", "dvd-rw", sense::FormatInProgress, &Timing::FormatMs,
     [](Harness& h) { return h.Format(0x15, 0, true, 16); }},
};

TEST(RealTime, SlowOperationsReportNotReadyUntilTheClockPassesTheirDuration) {
  for (const SlowOperation& op : SlowOperations) {
    SCOPED_TRACE(op.What);
    Harness h(RealTime());
    h.Insert(op.Medium);
    const uint64_t duration = Timing{}.*op.Duration;
    ASSERT_GOOD(op.Start(h));
    const uint64_t start = h.now;
    Result first = h.TestUnitReady();
    EXPECT_SENSE(first, op.Busy);
    EXPECT_EQ(Progress(first), 0);
    h.now = start + duration / 2;
    Result half = h.RequestSense();
    ASSERT_GOOD(half);
    EXPECT_EQ(half.At(2) & 0x0F, op.Busy.Key);
    EXPECT_EQ(half.At(12), op.Busy.Asc);
    EXPECT_EQ(half.At(13), op.Busy.Ascq);
    EXPECT_EQ(half.At(15) & 0x80, 0x80);
    EXPECT_NEAR(half.U16(16), 32768, 2) << "halfway";
    EXPECT_SENSE(h.ReadDiscInformation(), op.Busy);
    EXPECT_SENSE(h.Write(0, 16), op.Busy);
    EXPECT_GOOD(h.Inquiry()) << "identification still answers";
    EXPECT_GOOD(h.GetConfiguration(0, 0));
    h.now = start + duration - 1;
    EXPECT_SENSE(h.TestUnitReady(), op.Busy);
    h.now = start + duration;
    EXPECT_GOOD(h.TestUnitReady());
    EXPECT_GOOD(h.ReadDiscInformation());
    EXPECT_EQ(h.RequestSense().At(2) & 0x0F, 0);
  }
}

TEST(RealTime, InstantModeAndNonImmediateCommandsTakeNoTime) {
  for (bool realTime : {false, true}) {
    SCOPED_TRACE(realTime ? "real time, no Immed" : "instant mode, Immed");
    DriveState s;
    s.Config.Time.RealTime = realTime;
    Harness h(s);
    h.Insert("cd-rw");
    ASSERT_GOOD(h.BlankDisc(1, !realTime));
    EXPECT_GOOD(h.TestUnitReady());
    h.Insert("dvd+rw");
    ASSERT_GOOD(h.Format(0x26, DvdCapacity, !realTime));
    EXPECT_GOOD(h.TestUnitReady());
  }
}

TEST(RealTime, WriteBufferFillsAndDrainsAtTheWriteSpeed) {
  DriveState s = RealTime();
  s.Config.Drive.BufferKb = 128;  // 131072 bytes
  Harness h(s);
  h.Insert("dvd+r");
  ASSERT_GOOD(h.SetCdSpeed(0xFFFF, 5540));  // 5540 bytes per millisecond
  Result empty = h.ReadBufferCapacity();
  EXPECT_EQ(empty.U32(4), 131072u);
  EXPECT_EQ(empty.U32(8), 131072u);
  ASSERT_GOOD(h.Write(0, 32));
  ASSERT_GOOD(h.Write(32, 32));
  EXPECT_EQ(h.ReadBufferCapacity().U32(8), 0u) << "full";
  Result full = h.Write(64, 32);
  EXPECT_SENSE(full, sense::LongWriteInProgress);
  EXPECT_EQ(h.ReadTrackInformation(1).U32(12), 64u) << "refused while full";
  h.now += 10;  // 55400 bytes recorded
  EXPECT_EQ(h.ReadBufferCapacity().U32(8), 55'400u);
  EXPECT_SENSE(h.Write(64, 32), sense::LongWriteInProgress) << "65536 bytes don't fit yet";
  h.now += 2;
  EXPECT_GOOD(h.Write(64, 32));
  EXPECT_EQ(h.drive.Underruns(), 0u);
}

TEST(RealTime, UnderrunsAreCountedWhenTheBufferRunsDryBetweenWrites) {
  DriveState s = RealTime();
  s.Config.Drive.BufferKb = 128;
  Harness h(s);
  h.Insert("cd-r");
  ASSERT_GOOD(h.SetWriteParams(1, 3));
  ASSERT_GOOD(h.SetCdSpeed(0xFFFF, 706));  // 706 bytes per millisecond
  ASSERT_GOOD(h.Write(0, 27));             // 55296 bytes: 79 ms of recording
  h.now += 70;
  ASSERT_GOOD(h.Write(27, 27));
  EXPECT_EQ(h.drive.Underruns(), 0u) << "in time";
  h.now += 500;
  ASSERT_GOOD(h.Write(54, 27));
  EXPECT_EQ(h.drive.Underruns(), 1u) << "the buffer ran dry";
  h.now += 500;
  ASSERT_GOOD(h.SyncCache());
  h.now += 500;
  ASSERT_GOOD(h.CloseTrackSession(2));
  Result next = h.ReadTrackInformation(2);
  ASSERT_GOOD(h.Write(next.U32(12), 27));
  EXPECT_EQ(h.drive.Underruns(), 1u) << "a flushed stream is no underrun";
}

TEST(RealTime, ImmediateFlushAndCloseKeepTheDriveBusy) {
  Harness h(RealTime());
  h.Insert("dvd-r");
  ASSERT_GOOD(h.SetWriteParams(0, 3, false, 5));
  ASSERT_GOOD(h.SetCdSpeed(0xFFFF, 1385));
  ASSERT_GOOD(h.Write(0, 32));  // 65536 bytes: 48 ms at 1385 bytes/ms
  ASSERT_GOOD(h.SyncCache(true));
  EXPECT_SENSE(h.ReadDiscInformation(), sense::LongWriteInProgress);
  h.now += 47;
  EXPECT_SENSE(h.ReadDiscInformation(), sense::LongWriteInProgress);
  h.now += 1;
  EXPECT_GOOD(h.ReadDiscInformation());
  ASSERT_GOOD(h.CloseTrackSession(1, 1));
  ASSERT_GOOD(h.CloseTrackSession(2, 0, true));
  EXPECT_SENSE(h.TestUnitReady(), sense::OperationInProgress);
  h.now += Timing{}.CloseMs;
  EXPECT_GOOD(h.TestUnitReady());
  EXPECT_EQ(h.ReadDiscInformation().At(2) & 3, 1) << "appendable";
}

} // namespace
} // namespace qnzb::vdrive::test
