// Medium kind, disc status, sessions and space of every medium the virtual
// recorder takes, with the fallbacks for drives that lack a command.

#include "RecorderDevice.h"

#include <array>
#include <cstring>

#include "engine/device/DiscSummary.h"
#include "engine/runtime/DateTime.h"

namespace qnzb::test {
namespace {

using DiscInfoTest = RecorderDeviceTest;

constexpr uint32_t AtipLeadOut80Min = 79 * 4500 + 59 * 75 + 74;  // 359999

TEST_F(DiscInfoTest, MediumKindOfEveryMedium) {
  const struct {
    const char* Medium;
    uint8_t Kind;
    bool Erasable;
  } cases[] = {
      {"cd-r", MediaCdR, false},           {"cd-rw", MediaCdRw, true},
      {"dvd-r", MediaDvdR, false},         {"dvd-rw", MediaDvdRwSequential, true},
      {"dvd-rw-ro", MediaDvdRwRestricted, true}, {"dvd+r", MediaDvdPlusR, false},
      {"dvd+rw", MediaDvdPlusRw, true},    {"dvd-ram", MediaDvdRam, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Medium);
    Insert(c.Medium);
    EXPECT_EQ(device.MediaKind(), c.Kind);
    EXPECT_EQ(device.IsErasable(), c.Erasable);
  }
  EXPECT_EQ(MediaKindNames()[MediaDvdRwRestricted], "DVD-RW");
  EXPECT_EQ(MediaKindNames()[MediaDvdPlusR], "DVD+R");
  EXPECT_EQ(MediaKindNames()[0], "UNKNOWN");
}

TEST_F(DiscInfoTest, WithoutGetConfigurationTheAtipTellsTheCdKind) {
  vdrive::DriveConfig config;
  config.Drive.GetConfiguration = false;
  Use(config);
  Insert("cd-r");
  EXPECT_EQ(device.MediaKind(), MediaCdR);
  Insert("cd-rw");
  EXPECT_EQ(device.MediaKind(), MediaCdRw);
  // No ATIP on a DVD: the disc information's erasable bit decides.
  Insert("dvd+rw");
  EXPECT_EQ(device.MediaKind(), MediaCdRw);
  Insert("dvd+r");
  EXPECT_EQ(device.MediaKind(), MediaCdR);
}

TEST_F(DiscInfoTest, BlankOpenAndClosedCdR) {
  Insert("cd-r");
  EXPECT_EQ(device.SessionCount(), 0);
  EXPECT_EQ(device.DiscStatus(), 0);
  EXPECT_EQ(device.UsedSpace(), 0u);
  EXPECT_EQ(device.DiscSize(), AtipLeadOut80Min);
  const uint32_t blankFree = device.FreeSpace();
  EXPECT_GT(blankFree, 350000u);

  RecordSession(0, 1000, 0xA5);
  EXPECT_EQ(device.SessionCount(), 1);
  EXPECT_EQ(device.DiscStatus(), 1);
  // The next session starts after the lead-out and lead-in of the first.
  const uint32_t used = device.UsedSpace();
  EXPECT_GT(used, 1000u);
  EXPECT_TRUE(device.ReadTrackInformation(2));
  EXPECT_EQ(used, device.TrackNextWritable());
  const uint32_t openFree = device.FreeSpace();
  EXPECT_GT(openFree, 0u);
  EXPECT_LT(openFree, blankFree);
  EXPECT_EQ(device.DiscSize(), AtipLeadOut80Min);

  RecordSession(device.TrackNextWritable(), 500, 0x5A, true);
  EXPECT_EQ(device.SessionCount(), 2);
  EXPECT_EQ(device.DiscStatus(), 2);
  EXPECT_EQ(device.FreeSpace(), 0u);
}

TEST_F(DiscInfoTest, FailingReadCapacityFallsBackToTrackInformation) {
  Insert("cd-r");
  RecordSession(0, 300, 0x11, true);
  const uint32_t used = device.UsedSpace();
  EXPECT_GT(used, 0u);
  Fail(0x25, vdrive::FaultKind::MediumError, 0);
  // A closed disc has no next track: with READ CAPACITY gone nothing is left.
  EXPECT_EQ(device.UsedSpace(), 0u);
  EXPECT_EQ(device.SessionCount(), 1);
}

// Drives without READ TRACK INFORMATION (and without READ DISC INFORMATION)
// find the sessions in the table of contents, at the same starts and with
// the same sizes; the first session's size ends before the gap closing it
// left, the last one's at the lead-out.
TEST_F(DiscInfoTest, SessionsOfADriveWithoutTrackInformation) {
  for (const char* medium : {"cd-r", "dvd-r", "dvd+r"}) {
    SCOPED_TRACE(medium);
    Use(vdrive::DriveConfig{});
    Insert(medium);
    RecordSession(0, 1000, 0x11, false, true);
    ASSERT_TRUE(device.ReadTrackInformation(2));
    RecordSession(device.TrackNextWritable(), 200, 0x22, false, true);
    uint32_t told[2][2] = {};
    for (uint32_t track = 1; track <= 2; ++track)
      ASSERT_TRUE(device.TrackExtent(track, told[track - 1][0], told[track - 1][1]));
    ASSERT_GT(told[1][0], told[0][0] + told[0][1]);

    for (const bool discInformation : {true, false}) {
      vdrive::DriveConfig lacking;
      lacking.Drive.ReadTrackInformation = false;
      lacking.Drive.ReadDiscInformation = discInformation;
      Use(lacking);
      EXPECT_EQ(device.SessionCount(), 2);
      for (uint32_t track = 1; track <= 2; ++track) {
        uint32_t start = 0, size = 0;
        EXPECT_TRUE(device.TrackExtent(track, start, size));
        EXPECT_EQ(start, told[track - 1][0]) << "track " << track;
        EXPECT_EQ(size, told[track - 1][1]) << "track " << track;
      }
      uint32_t start = 1, size = 1;
      EXPECT_FALSE(device.TrackExtent(3, start, size));
      EXPECT_EQ(start + size, 0u);
    }
  }
}

TEST_F(DiscInfoTest, DvdSpace) {
  Insert("dvd+r");
  EXPECT_EQ(device.UsedSpace(), 0u);
  EXPECT_EQ(device.DiscSize(), vdrive::DvdCapacity);
  EXPECT_EQ(device.FreeSpace(), vdrive::DvdCapacity);
  RecordSession(0, 4096, 0x22);
  EXPECT_EQ(device.SessionCount(), 1);
  EXPECT_GE(device.UsedSpace(), 4096u);
  EXPECT_EQ(device.DiscSize(), vdrive::DvdCapacity);
  EXPECT_EQ(device.UsedSpace() + device.FreeSpace(), vdrive::DvdCapacity);
}

TEST_F(DiscInfoTest, DvdPlusRwUsedSpaceIsTheVolumeOfItsImage) {
  Insert("dvd+rw-formatted");
  EXPECT_EQ(device.UsedSpace(), 0u);
  EXPECT_EQ(device.ReadVolumeSize(), 0u);
  // An earlier image: a primary descriptor at 16 saying 50,000 blocks, a
  // terminator at 17.
  std::vector<uint8_t> descriptors(2 * 2048, 0);
  descriptors[0] = 1;
  std::memcpy(&descriptors[1], "CD001", 5);
  descriptors[80] = 0x50;  // 50,000 = C350h, little-endian
  descriptors[81] = 0xC3;
  descriptors[2048] = 0xFF;
  std::memcpy(&descriptors[2049], "CD001", 5);
  ASSERT_TRUE(device.Write10(16, 2, 0x50, descriptors)) << device.LastErrorText;
  ASSERT_TRUE(device.SynchronizeCache(30000, false));
  EXPECT_EQ(device.ReadVolumeSize(), 50000u);
  EXPECT_EQ(device.UsedSpace(), 50000u);
  EXPECT_EQ(device.FreeSpace(), vdrive::DvdCapacity - 50000u);
  EXPECT_EQ(device.DiscSize(), vdrive::DvdCapacity);
}

TEST_F(DiscInfoTest, NoMediumGivesZerosNeverACrash) {
  Insert("none");
  EXPECT_EQ(device.MediaKind(), MediaUnknown);
  EXPECT_EQ(device.DiscStatus(), -1);
  EXPECT_EQ(device.SessionCount(), 0);
  EXPECT_EQ(device.UsedSpace(), 0u);
  EXPECT_EQ(device.FreeSpace(), 0u);
  EXPECT_EQ(device.DiscSize(), 0u);
  EXPECT_EQ(device.ReadVolumeSize(), 0u);
  EXPECT_FALSE(device.IsErasable());
  EXPECT_EQ(device.LastErrorText, "NOT READY (MEDIUM NOT PRESENT - TRAY CLOSED)");

  // GetDiscInfo leaves the caller's record as it was; the ready wait costs
  // one 5-second step of the virtual clock.
  TSCSIDevice::TDisc disc;
  disc.Capacity = 1234;
  const uint64_t before = clock.clock().TickCount();
  device.GetDiscInfo(disc);
  EXPECT_FALSE(disc.MediumPresent);
  EXPECT_EQ(disc.Capacity, 1234u);
  EXPECT_EQ(clock.clock().TickCount() - before, 5000u);
}

TEST_F(DiscInfoTest, DiscSummary) {
  Insert("cd-rw");
  RecordSession(0, 700, 0x33);
  TSCSIDevice::TDisc disc;
  device.GetDiscInfo(disc);
  EXPECT_TRUE(disc.MediumPresent);
  EXPECT_EQ(disc.MediaText, "CD-RW");
  EXPECT_EQ(disc.Profile, 0x000A);
  EXPECT_TRUE(disc.Erasable);
  EXPECT_EQ(disc.Status, 1);
  EXPECT_EQ(disc.FirstSession, 1);
  EXPECT_EQ(disc.LastSession, 1);
  EXPECT_GE(disc.Capacity, AtipLeadOut80Min);

  Insert("dvd-rw-ro");
  device.GetDiscInfo(disc);
  EXPECT_EQ(disc.MediaText, "DVD-RW Restricted Overwrite");
  EXPECT_EQ(disc.Profile, 0x0013);
  EXPECT_TRUE(disc.Erasable);
  EXPECT_EQ(disc.BlockLength, 2048u);
}

TEST_F(DiscInfoTest, TimeStampStructure) {
  Insert("dvd-r");
  ASSERT_TRUE(device.SendTimeStamp(EncodeDateTime({2026, 12, 8, 9, 5, 7, 0})));
  const std::vector<uint8_t> sent = LastDataOut(0xBF);
  ASSERT_EQ(sent.size(), 22u);
  EXPECT_EQ(sent[0], 0);
  EXPECT_EQ(sent[1], 20);
  EXPECT_EQ(std::string(sent.begin() + 8, sent.end()), "20261208090507");
  EXPECT_EQ(manager.Sent.back().Block.CDBByte[7], 0x0F);
}

} // namespace
} // namespace qnzb::test

namespace qnzb::test {
namespace {

TEST(DiscSummaryText, SessionLinesAndSizes) {
  EXPECT_EQ(SessionLine(1, 0, 1280), "  001           0      2 MB");  // 2.5 MB: halves go to even
  EXPECT_EQ(SessionLine(2, 12424, 1792), "  002       12424      4 MB");
  EXPECT_EQ(SessionLine(1234, 123456789, 512u * 12345u), "  1234    123456789   12345 MB");
  EXPECT_EQ(BlocksAsMegabytes(0), "0.00 MB");
  EXPECT_EQ(BlocksAsMegabytes(2295104), "4,482.63 MB");
}

} // namespace
} // namespace qnzb::test

namespace qnzb::test {
namespace {

// Blank media of every kind, then one recorded session on those that keep
// sessions: the space queries add up and never exceed the disc.
TEST_F(DiscInfoTest, SpaceOfEveryMediumBeforeAndAfterASession) {
  const struct {
    const char* Medium;
    uint32_t Size;
    bool Sessions;
  } cases[] = {
      {"cd-rw", AtipLeadOut80Min, true},        {"dvd-r", vdrive::DvdCapacity, true},
      {"dvd-rw", vdrive::DvdCapacity, true},    {"dvd+r", vdrive::DvdCapacity, true},
      {"dvd+rw-formatted", vdrive::DvdCapacity, false}, {"dvd-ram", vdrive::DvdRamCapacity, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Medium);
    Insert(c.Medium);
    EXPECT_EQ(device.DiscSize(), c.Size);
    EXPECT_EQ(device.UsedSpace(), 0u);
    const uint32_t blankFree = device.FreeSpace();
    EXPECT_GT(blankFree, 0u);
    EXPECT_LE(blankFree, c.Size);
    EXPECT_NE(device.DiscStatus(), -1);
    if (!c.Sessions)
      continue;

    RecordSession(0, 2048, 0x44);
    EXPECT_EQ(device.SessionCount(), 1);
    EXPECT_EQ(device.DiscStatus(), 1);
    const uint32_t free = device.FreeSpace();
    EXPECT_LT(free, blankFree);
    EXPECT_LE(device.UsedSpace() + free, c.Size);
    EXPECT_EQ(device.DiscSize(), c.Size);
  }
}

// A restricted-overwrite DVD-RW is one track over the formatted area: the
// track counts as used, whatever it holds.
TEST_F(DiscInfoTest, RestrictedOverwriteDvdRw) {
  Insert("dvd-rw-ro");
  EXPECT_EQ(device.MediaKind(), MediaDvdRwRestricted);
  EXPECT_EQ(device.DiscSize(), vdrive::DvdCapacity);
  EXPECT_EQ(device.UsedSpace() + device.FreeSpace(), vdrive::DvdCapacity);
}

} // namespace
} // namespace qnzb::test
