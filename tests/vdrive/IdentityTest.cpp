// What the drive says about itself: INQUIRY, the capabilities page, the
// write parameters page, page 30h, GET CONFIGURATION, speeds, REQUEST SENSE
// and the tray, for drives configured to look like the ones the engine
// treats specially.

#include <gtest/gtest.h>

#include "tests/vdrive/RecorderHarness.h"

namespace qnzb::vdrive::test {
namespace {

DriveState WithIdentity(void (*edit)(Identity&)) {
  DriveState s;
  edit(s.Config.Drive);
  return s;
}

std::string Text(const Result& r, size_t at, size_t width) {
  return std::string(r.Data.begin() + static_cast<std::ptrdiff_t>(at),
                     r.Data.begin() + static_cast<std::ptrdiff_t>(at + width));
}

TEST(Inquiry, StandardDataCarriesTheConfiguredIdentity) {
  Harness h(WithIdentity([](Identity& id) {
    id.Vendor = "TDK";
    id.Product = "CDRW321040X";
    id.Revision = "1.0";
  }));
  h.drive.Remove();  // INQUIRY needs no medium
  Result r = h.Inquiry(96);
  ASSERT_GOOD(r);
  EXPECT_EQ(r.At(0), 0x05) << "CD/DVD device, qualifier 0";
  EXPECT_EQ(r.At(1) & 0x80, 0x80) << "removable";
  EXPECT_EQ(r.At(4), 91) << "additional length";
  EXPECT_EQ(Text(r, 8, 8), "TDK     ");
  EXPECT_EQ(Text(r, 16, 16), "CDRW321040X     ");
  EXPECT_EQ(Text(r, 32, 4), "1.0 ");
  EXPECT_EQ(h.Inquiry(36).Data.size(), 36u) << "cut at the allocation length";
  EXPECT_SENSE(h.In({0x12, 0x01, 0x83, 0, 96, 0}, 96), sense::InvalidFieldInCdb) << "VPD page not offered";
  // A drive in memory names no serial number: nothing outside this process
  // could tell it apart by one.
  EXPECT_SENSE(h.In({0x12, 0x01, 0x80, 0, 96, 0}, 96), sense::InvalidFieldInCdb) << "no serial number";
  Result pages = h.In({0x12, 0x01, 0x00, 0, 96, 0}, 96);
  ASSERT_GOOD(pages);
  EXPECT_EQ(pages.At(3), 1) << "only the list of pages";
}

// The capabilities page at offset 8, or 16 after a block descriptor.
std::vector<uint8_t> CapabilitiesOf(Harness& h, bool noBlockDescriptor = false, uint8_t control = 0) {
  Result r = h.ModeSense(0x2A, control, noBlockDescriptor);
  EXPECT_GOOD(r);
  const size_t at = 8 + r.U16(6);
  return {r.Data.begin() + static_cast<std::ptrdiff_t>(at), r.Data.end()};
}

struct CapabilityCase {
  const char* Name;
  void (*Edit)(Identity&);
  uint8_t ReadBits;   // page byte 2
  uint8_t WriteBits;  // page byte 3
  bool Buf;           // page byte 4 bit 7
};

const CapabilityCase CapabilityCases[] = {
    {"all media", [](Identity&) {}, 0x3F, 0x37, true},
    {"CD burner without test write or BUF",
     [](Identity& id) {
       id.ReadDvdRom = id.ReadDvdMinus = id.ReadDvdRam = id.ReadDvdPlus = false;
       id.WriteDvdMinusR = id.WriteDvdMinusRw = id.WriteDvdRam = id.WriteDvdPlusR = id.WriteDvdPlusRw = false;
       id.TestWrite = false;
       id.UnderrunProtection = false;
     },
     0x07, 0x03, false},
    {"DVD-RAM writer only",
     [](Identity& id) {
       id.WriteCdR = id.WriteCdRw = id.WriteDvdMinusR = id.WriteDvdMinusRw = false;
       id.WriteDvdPlusR = id.WriteDvdPlusRw = false;
     },
     0x3F, 0x24, true},
};

TEST(CapabilitiesPage, BitsFollowTheIdentityWithOrWithoutBlockDescriptor) {
  for (const CapabilityCase& k : CapabilityCases) {
    SCOPED_TRACE(k.Name);
    Harness plain(WithIdentity(k.Edit));
    const auto page = CapabilitiesOf(plain);
    ASSERT_GE(page.size(), 32u);
    EXPECT_EQ(page[0], 0x2A);
    EXPECT_EQ(page[1], page.size() - 2);
    EXPECT_EQ(page[2], k.ReadBits);
    EXPECT_EQ(page[3], k.WriteBits);
    EXPECT_EQ((page[4] >> 7) & 1, k.Buf ? 1 : 0);
    Harness withDescriptor(WithIdentity(k.Edit));
    {
      DriveState s = withDescriptor.drive.State();
      s.Config.Drive.BlockDescriptor = true;
      withDescriptor.drive.SetConfig(s.Config);
    }
    Result r = withDescriptor.ModeSense(0x2A);
    EXPECT_EQ(r.U16(6), 8) << "block descriptor length";
    EXPECT_EQ(r.At(16), 0x2A) << "page after the descriptor";
    EXPECT_EQ(CapabilitiesOf(withDescriptor), page);
    EXPECT_EQ(CapabilitiesOf(withDescriptor, true), page) << "DBD suppresses the descriptor";
  }
}

TEST(CapabilitiesPage, NothingIsChangeableAndItsOwnContentsAreAcceptedBack) {
  Harness h;
  const auto changeable = CapabilitiesOf(h, false, 1);
  for (size_t i = 2; i < changeable.size(); ++i)
    EXPECT_EQ(changeable[i], 0) << "byte " << i;
  auto page = CapabilitiesOf(h);
  std::vector<uint8_t> list(8, 0);
  list.insert(list.end(), page.begin(), page.end());
  EXPECT_GOOD(h.ModeSelect(list));
  list[8 + 3] ^= 0x01;  // claim CD-R writing away
  Result r = h.ModeSelect(list);
  EXPECT_SENSE(r, sense::InvalidFieldInParameterList);
  EXPECT_EQ(r.SenseBytes[15] & 0xC0, 0x80) << "field pointer into the parameter list";
  EXPECT_EQ(r.SenseBytes[17], 8 + 3);
}

struct SpeedCase {
  const char* Medium;
  uint16_t Requested;
  uint16_t Expected;
};

TEST(SetCdSpeed, SnapsToTheDrivesOwnTable) {
  const SpeedCase cases[] = {
      {"cd-r", 0xFFFF, 7056}, {"cd-r", 7000, 5645}, {"cd-r", 4234, 4234}, {"cd-r", 2, 706},
      {"dvd+r", 0xFFFF, 22160}, {"dvd+r", 6000, 5540}, {"dvd+r", 1385, 1385}, {"dvd+r", 1000, 1385},
  };
  for (const SpeedCase& k : cases) {
    SCOPED_TRACE(std::string(k.Medium) + " " + std::to_string(k.Requested));
    Harness h;
    h.Insert(k.Medium);
    ASSERT_GOOD(h.SetCdSpeed(0xFFFF, k.Requested));
    const auto page = CapabilitiesOf(h);
    EXPECT_EQ(page[20] << 8 | page[21], k.Expected) << "current write speed";
    EXPECT_EQ(page[28] << 8 | page[29], k.Expected) << "current write speed selected";
    const auto defaults = CapabilitiesOf(h, false, 2);
    EXPECT_EQ(defaults[20] << 8 | defaults[21], defaults[18] << 8 | defaults[19]) << "default: the maximum";
  }
  Harness h;
  const auto page = CapabilitiesOf(h);
  const std::vector<uint16_t> table = Identity{}.CdWriteSpeeds;
  ASSERT_EQ(page[30] << 8 | page[31], static_cast<int>(table.size()));
  for (size_t i = 0; i < table.size(); ++i)
    EXPECT_EQ(page[32 + 4 * i + 2] << 8 | page[32 + 4 * i + 3], table[i]) << "descriptor " << i;
  EXPECT_SENSE(h.None({0xBB, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}), sense::InvalidFieldInCdb)
      << "rotational control 10b";
}

TEST(WriteParametersPage, AcceptsWhatTheDriveCanDoAndRefusesTheRest) {
  Harness h;
  const auto page = h.WriteParams();
  EXPECT_EQ(page[0], 0x05);
  EXPECT_EQ(page[1], 0x32);
  EXPECT_EQ(page[2] & 0x0F, 1) << "track-at-once by default";
  EXPECT_EQ(page[4], 0x08);
  EXPECT_EQ(page[14] << 8 | page[15], 150);

  // The engine's probe order: raw, session-at-once, track-at-once. With a CD
  // loaded session-at-once is refused: it would need a cue sheet.
  struct {
    uint8_t Byte2, Byte4;
    bool Accepted;
  } probes[] = {{0x03, 0x01, false}, {0x02, 0x00, false}, {0x01, 0x00, true}, {0x04, 0x08, false}};
  for (const auto& p : probes) {
    std::vector<uint8_t> list(8, 0);
    list.insert(list.end(), page.begin(), page.end());
    list[8 + 2] = p.Byte2;
    list[8 + 4] = p.Byte4;
    Result r = h.ModeSelect(list);
    EXPECT_EQ(r.Good(), p.Accepted) << "write type " << int(p.Byte2);
    if (!p.Accepted) {
      EXPECT_SENSE(r, sense::InvalidFieldInParameterList);
      EXPECT_EQ(r.SenseBytes[17], 8 + 2);
    }
  }
  EXPECT_EQ(h.WriteParams()[2] & 0x0F, 1) << "the last accepted page stays";

  // With a block descriptor in front, and the engine's CD page (BUFE, 11b, TAO).
  std::vector<uint8_t> list(16, 0);
  list[7] = 8;
  list[8 + 6] = 0x08;  // block length 2048
  list.insert(list.end(), page.begin(), page.end());
  list[16 + 2] = 0x41;
  list[16 + 3] = 0xC4;
  ASSERT_GOOD(h.ModeSelect(list));
  EXPECT_EQ(h.WriteParams()[2], 0x41);
  EXPECT_EQ(h.WriteParams()[3], 0xC4);

  // A drive without underrun protection or test write can't take those bits.
  Harness plain(WithIdentity([](Identity& id) {
    id.UnderrunProtection = false;
    id.TestWrite = false;
  }));
  for (uint8_t bit : {0x40, 0x10}) {
    std::vector<uint8_t> l(8, 0);
    l.insert(l.end(), page.begin(), page.end());
    l[8 + 2] = static_cast<uint8_t>(0x01 | bit);
    EXPECT_SENSE(plain.ModeSelect(l), sense::InvalidFieldInParameterList) << int(bit);
  }
  std::vector<uint8_t> shortPage(8, 0);
  shortPage.insert(shortPage.end(), page.begin(), page.begin() + 20);
  shortPage[8 + 1] = 18;
  EXPECT_SENSE(h.ModeSelect(shortPage), sense::InvalidFieldInParameterList) << "wrong page length";
  std::vector<uint8_t> cut(8, 0);
  cut.insert(cut.end(), page.begin(), page.begin() + 30);
  EXPECT_SENSE(h.ModeSelect(cut), sense::ParameterListLengthError) << "page cut by the list length";
}

TEST(Page30, ExistsOnlyWhenConfigured) {
  Harness plain;
  EXPECT_SENSE(plain.ModeSense(0x30), sense::InvalidFieldInCdb);
  Harness quirky(WithIdentity([](Identity& id) { id.Page30 = true; }));
  Result r = quirky.ModeSense(0x30, 0, false, 128);
  ASSERT_GOOD(r);
  EXPECT_EQ(r.At(8), 0x30);
  Result all = quirky.ModeSense(0x3F);
  ASSERT_GOOD(all);
  EXPECT_EQ(all.At(8), 0x05) << "pages in ascending order";
  EXPECT_EQ(all.At(8 + 52), 0x2A);
  EXPECT_EQ(all.U16(0) + 2u, all.Data.size());
  EXPECT_SENSE(quirky.ModeSense(0x2A, 3), sense::SavingParametersNotSupported);
}

struct FeatureCase {
  const char* Medium;
  uint16_t Profile;
  bool PlusRwCurrent;   // feature 002Ah
  bool MinusWriteCurrent;  // feature 002Fh
};

TEST(GetConfiguration, ReportsTheCurrentProfileAndTheWritingFeatures) {
  const FeatureCase cases[] = {
      {"none", 0x0000, false, false},   {"cd-r", 0x0009, false, false},  {"cd-rw", 0x000A, false, false},
      {"dvd-r", 0x0011, false, true},   {"dvd-rw", 0x0014, false, true}, {"dvd-rw-ro", 0x0013, false, false},
      {"dvd+r", 0x001B, false, false},  {"dvd+rw", 0x001A, true, false}, {"dvd-ram", 0x0012, false, false},
  };
  for (const FeatureCase& k : cases) {
    SCOPED_TRACE(k.Medium);
    Harness h;
    h.Insert(k.Medium);
    Result all = h.GetConfiguration(0, 0);
    ASSERT_GOOD(all);
    EXPECT_EQ(all.U16(6), k.Profile);
    EXPECT_EQ(all.U32(0) + 4, all.Data.size()) << "data length";
    // The profile list comes first, with the current profile flagged.
    EXPECT_EQ(all.U16(8), 0x0000);
    bool flagged = false;
    for (size_t at = 12; at < 12u + all.At(11); at += 4)
      if (all.At(at + 2) & 1) {
        EXPECT_EQ(all.U16(at), k.Profile);
        flagged = true;
      }
    EXPECT_EQ(flagged, k.Profile != 0);

    // One feature by RT 10b: header and that descriptor alone.
    Result plusRw = h.GetConfiguration(2, 0x002A, 114);
    ASSERT_GOOD(plusRw);
    EXPECT_EQ(plusRw.U32(0), 4u + 8u);
    EXPECT_EQ(plusRw.U16(8), 0x002A);
    EXPECT_EQ(plusRw.At(10) & 1, k.PlusRwCurrent ? 1 : 0);
    EXPECT_EQ(plusRw.At(12), 0x01) << "writes DVD+RW";
    Result minus = h.GetConfiguration(2, 0x002F, 114);
    EXPECT_EQ(minus.U16(8), 0x002F);
    EXPECT_EQ(minus.At(10) & 1, k.MinusWriteCurrent ? 1 : 0);
    EXPECT_EQ(minus.At(12), 0x46) << "BUF, test write, DVD-RW";

    // RT 01b: only current features, from the starting feature on.
    Result current = h.GetConfiguration(1, 0x0020);
    for (size_t at = 8; at + 4 <= current.Data.size(); at += 4u + current.At(at + 3)) {
      EXPECT_GE(current.U16(at), 0x0020);
      EXPECT_EQ(current.At(at + 2) & 1, 1) << "feature " << current.U16(at);
    }
  }
  Harness without(WithIdentity([](Identity& id) { id.GetConfiguration = false; }));
  EXPECT_SENSE(without.GetConfiguration(0, 0), sense::InvalidCommandOperationCode);
  Harness noPlusWrite(WithIdentity([](Identity& id) { id.WriteDvdPlusRw = false; }));
  EXPECT_EQ(noPlusWrite.GetConfiguration(2, 0x002A).At(12), 0x00);
  EXPECT_SENSE(noPlusWrite.GetConfiguration(3, 0), sense::InvalidFieldInCdb) << "RT 11b is reserved";
}

// A read-only drive knows every disc as a pressed one of its class and
// announces no writing and no write speed.
TEST(ReadOnlyDrive, PresentsPressedDiscsAndNoWriting) {
  const struct {
    const char* Medium;
    uint16_t Profile;
  } rows[] = {{"dvd-r", 0x0010}, {"dvd+rw-formatted", 0x0010}, {"cd-r", 0x0008}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Medium);
    Harness h(WithIdentity([](Identity& id) { id.ReadOnly = true; }));
    h.Insert(row.Medium);
    Result all = h.GetConfiguration(0, 0);
    EXPECT_EQ(all.U16(6), row.Profile);
    EXPECT_EQ(all.At(11), 8) << "profiles DVD-ROM and CD-ROM only";
    EXPECT_EQ(all.U16(12), 0x0010);
    EXPECT_EQ(all.U16(16), 0x0008);
    EXPECT_EQ(h.GetConfiguration(2, 0x002F, 114).U32(0), 4u) << "no DVD-R writing feature";
    const std::vector<uint8_t> page = CapabilitiesOf(h);
    EXPECT_EQ(page[3], 0) << "writes nothing";
    EXPECT_EQ(page[18] << 8 | page[19], 0) << "maximum write speed";
    EXPECT_EQ(page[20] << 8 | page[21], 0) << "current write speed";
    EXPECT_EQ(page[30] << 8 | page[31], 0) << "write speed descriptors";
  }
}

TEST(RequestSense, ReportsTheStateOfTheDrive) {
  Harness h;
  Result ready = h.RequestSense();
  ASSERT_GOOD(ready);
  EXPECT_EQ(ready.At(0), 0x70);
  EXPECT_EQ(ready.At(2) & 0x0F, 0) << "NO SENSE";
  EXPECT_EQ(ready.At(7), 10) << "additional sense length";
  ASSERT_GOOD(h.StartStop(true, false));
  Result open = h.RequestSense();
  EXPECT_EQ(open.At(2) & 0x0F, 2);
  EXPECT_EQ(open.At(12), 0x3A);
  EXPECT_EQ(open.At(13), 0x02) << "tray open";
  EXPECT_EQ(h.RequestSense(8).Data.size(), 8u);
  EXPECT_SENSE(h.In({0x03, 0x01, 0, 0, 18, 0}, 18), sense::InvalidFieldInCdb) << "descriptor format";
}

TEST(Tray, EjectLoadAndPreventRemoval) {
  Harness h;
  EXPECT_GOOD(h.TestUnitReady());
  ASSERT_GOOD(h.PreventRemoval(true));
  EXPECT_SENSE(h.StartStop(true, false), sense::MediumRemovalPrevented);
  EXPECT_GOOD(h.TestUnitReady());
  EXPECT_EQ(CapabilitiesOf(h)[6] & 0x02, 0x02) << "lock state";
  ASSERT_GOOD(h.PreventRemoval(false));
  ASSERT_GOOD(h.StartStop(true, false));
  EXPECT_SENSE(h.TestUnitReady(), sense::MediumNotPresentTrayOpen);
  EXPECT_SENSE(h.ReadDiscInformation(), sense::MediumNotPresentTrayOpen);
  EXPECT_EQ(h.GetConfiguration(0, 0).U16(6), 0) << "no current profile";
  ASSERT_GOOD(h.StartStop(true, true));
  EXPECT_GOOD(h.TestUnitReady()) << "the same disc is back";
  h.drive.Remove();
  EXPECT_SENSE(h.TestUnitReady(), sense::MediumNotPresentTrayClosed);
  EXPECT_SENSE(h.None({0x01, 0, 0, 0, 0, 0}), sense::MediumNotPresentTrayClosed) << "REZERO UNIT";
  Result caps = h.ReadFormatCapacities();
  ASSERT_GOOD(caps) << "answered without a medium";
  EXPECT_EQ(caps.At(8) & 0x03, 3) << "no media present";
}

TEST(UnitAttention, ReportedOnceAfterPowerOnAndMediumChangeWhenConfigured) {
  Harness h(WithIdentity([](Identity& id) { id.UnitAttention = true; }));
  EXPECT_GOOD(h.Inquiry()) << "INQUIRY never reports it";
  EXPECT_SENSE(h.TestUnitReady(), sense::PowerOnReset);
  EXPECT_GOOD(h.TestUnitReady());
  h.Insert("dvd+r");
  EXPECT_SENSE(h.ReadDiscInformation(), sense::MediumMayHaveChanged);
  EXPECT_GOOD(h.ReadDiscInformation());
  Harness quiet;
  EXPECT_GOOD(quiet.TestUnitReady()) << "off by default";
}

} // namespace
} // namespace qnzb::vdrive::test
