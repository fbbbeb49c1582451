// Capabilities from mode page 2Ah, page 30h and the DVD writing features, the
// maximum and current speeds, WriteSpeed and the write speed list, against a
// scripted drive behind a fake ASPI manager.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "FakeAspiManager.h"
#include "engine/device/qnDrvLib.h"

namespace qnzb::test {
namespace {

void Be16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<uint8_t>(value);
}

struct TPage2A {
  uint8_t Read = 0, Write = 0, Buffer = 0;
  uint16_t MaxRead = 0, BufferKb = 0, CurrentRead = 0, MaxWrite = 0, CurrentWrite = 0;

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> page(32);
    page[0] = 0x2A;
    page[1] = 30;
    page[2] = Read;
    page[3] = Write;
    page[4] = Buffer;
    Be16(page, 8, MaxRead);
    Be16(page, 12, BufferKb);
    Be16(page, 14, CurrentRead);
    Be16(page, 18, MaxWrite);
    Be16(page, 20, CurrentWrite);
    return page;
  }
};

enum class Layout { Plain, BlockDescriptor, ShortHeader };

// A drive that answers MODE SENSE (10) for pages 2Ah and 30h, GET
// CONFIGURATION for single features and SET CD SPEED (snapping to its table).
struct TScriptedDrive {
  std::optional<TPage2A> Defaults;
  std::optional<TPage2A> Current;
  bool Page30 = false;
  Layout Shape = Layout::Plain;
  // Feature descriptors by requested start feature: code and byte 4.
  struct TFeature {
    uint16_t Start, Code;
    uint8_t Byte4;
  };
  std::vector<TFeature> Features;
  std::vector<uint16_t> WriteSpeeds;  // fastest first; empty: SET CD SPEED refused
  std::vector<uint16_t> SpeedRequests;
  std::vector<uint16_t> ReadRequests;

  std::vector<uint8_t> ModeReply(const std::vector<uint8_t>& page) const {
    std::vector<uint8_t> reply(8);
    if (Shape == Layout::BlockDescriptor) {
      reply[7] = 8;
      reply.resize(16);
    } else if (Shape == Layout::ShortHeader) {
      reply.resize(7);
    }
    reply.insert(reply.end(), page.begin(), page.end());
    Be16(reply, 0, static_cast<uint16_t>(reply.size() - 2));
    return reply;
  }

  static void Refuse(SRB_ExecSCSICmd& r) {
    PutSense(r, 0x05, 0x24, 0x00);
    Complete(r, SS_ERR, 0, 0x02);
  }

  static void Send(SRB_ExecSCSICmd& r, const std::vector<uint8_t>& bytes) {
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), r.SRB_BufLen), r.SRB_BufPointer);
    Complete(r, SS_COMP);
  }

  void operator()(SRB_ExecSCSICmd& r) {
    const uint8_t* cdb = r.CDBByte;
    switch (cdb[0]) {
      case 0x5A: {
        const uint8_t page = cdb[2] & 0x3F;
        const bool defaults = (cdb[2] & 0xC0) == 0x80;
        if (page == 0x2A && (defaults ? Defaults : Current))
          return Send(r, ModeReply((defaults ? *Defaults : *Current).Bytes()));
        if (page == 0x30 && Page30)
          return Send(r, ModeReply({0x30, 0x02, 0x00, 0x00}));
        return Refuse(r);
      }
      case 0x46: {
        const uint16_t start = cdb[3];
        for (const auto& f : Features) {
          if (f.Start != start)
            continue;
          std::vector<uint8_t> reply(16);
          Be16(reply, 8, f.Code);
          reply[10] = 0x01;
          reply[11] = 4;
          reply[12] = f.Byte4;
          return Send(r, reply);
        }
        return Refuse(r);
      }
      case 0xBB: {
        const uint16_t read = static_cast<uint16_t>(cdb[2] << 8 | cdb[3]);
        const uint16_t write = static_cast<uint16_t>(cdb[4] << 8 | cdb[5]);
        ReadRequests.push_back(read);
        SpeedRequests.push_back(write);
        if (WriteSpeeds.empty())
          return Refuse(r);
        auto snapped = std::find_if(WriteSpeeds.begin(), WriteSpeeds.end(), [&](uint16_t s) { return s <= write; });
        const uint16_t speed = snapped == WriteSpeeds.end() ? WriteSpeeds.back() : *snapped;
        if (Current)
          Current->CurrentWrite = speed;
        return Complete(r, SS_COMP);
      }
      default:
        return Refuse(r);
    }
  }
};

class CapabilitiesTest : public testing::Test {
protected:
  CapabilitiesTest() { device.HaId = device.Target = device.Lun = 0; }
  void Use(TScriptedDrive& drive) {
    manager.Respond = [&drive](SRB_ExecSCSICmd& r) { drive(r); };
  }
  TFakeAspiManager manager;
  TSCSIDevice device{nullptr};
};

TPage2A CdDvdWriter() {
  TPage2A page;
  page.Read = 0x3F;   // CD-R, CD-RW, mode 2 form, DVD, DVD-R/RW, DVD-RAM
  page.Write = 0x37;  // CD-R, CD-RW, test, DVD-R/RW, DVD-RAM
  page.Buffer = 0x80;
  page.MaxRead = 8467;
  page.BufferKb = 2048;
  page.CurrentRead = 4234;
  page.MaxWrite = 7056;
  page.CurrentWrite = 5645;
  return page;
}

TEST_F(CapabilitiesTest, PageLayoutsGiveTheSameBitsAndSpeeds) {
  const uint32_t expected = CapReadCDR | CapReadCDRW | CapReadMode2Form | CapReadDVD | CapReadDVDR | CapReadDVDRW |
                            CapReadDVDRAM | CapWriteCDR | CapWriteCDRW | CapWriteTest | CapWriteDVDR |
                            CapWriteDVDRW | CapWriteDVDRAM | CapUnderrunProtection;
  for (const Layout shape : {Layout::Plain, Layout::BlockDescriptor, Layout::ShortHeader}) {
    SCOPED_TRACE(static_cast<int>(shape));
    TScriptedDrive drive;
    drive.Defaults = drive.Current = CdDvdWriter();
    drive.Shape = shape;
    Use(drive);
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ(device.Capabilities, expected);
    EXPECT_EQ(device.DeviceMaxWriteSpeed, 7056);
    EXPECT_EQ(device.DeviceMaxReadSpeed, 8467);
    EXPECT_EQ(device.CapsPage[0], 0x2A);
    EXPECT_EQ(device.MaxWriteSpeed(), 7056);
    EXPECT_EQ(device.MaxReadSpeed(), 8467);
    EXPECT_EQ(device.CurrentWriteSpeed(), 5645);
  }
}

// Some ATAPI drives refuse the default values: the current ones tell the
// same. Only a drive that writes gets the stand-in write speed.
TEST_F(CapabilitiesTest, CurrentValuesStandInForDefaultsAndReadersWriteNothing) {
  const uint32_t reads = CapReadCDR | CapReadCDRW | CapReadMode2Form | CapReadDVD | CapReadDVDR | CapReadDVDRW |
                         CapReadDVDRAM;
  const uint32_t writes = CapWriteCDR | CapWriteCDRW | CapWriteTest | CapWriteDVDR | CapWriteDVDRW | CapWriteDVDRAM;
  TPage2A reader;
  reader.Read = 0x3F;
  reader.MaxRead = 8467;
  const struct {
    const char* What;
    bool Defaults;
    TPage2A Page;
    uint32_t Bits;
    uint16_t MaxWrite, CurrentWrite;
  } rows[] = {
      {"a writer refusing the default values", false, CdDvdWriter(), reads | writes | CapUnderrunProtection, 7056,
       5645},
      {"a reader", true, reader, reads, 0, 0},
      {"a reader refusing the default values", false, reader, reads, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.What);
    TScriptedDrive drive;
    if (row.Defaults)
      drive.Defaults = row.Page;
    drive.Current = row.Page;
    Use(drive);
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ(device.Capabilities, row.Bits);
    EXPECT_EQ(device.DeviceMaxWriteSpeed, row.MaxWrite);
    EXPECT_EQ(device.DeviceMaxReadSpeed, 8467);
    EXPECT_EQ(device.MaxWriteSpeed(), row.MaxWrite);
    EXPECT_EQ(device.CurrentWriteSpeed(), row.CurrentWrite);
  }
}

TEST_F(CapabilitiesTest, ADriveWithoutPage2AHasNothing) {
  TScriptedDrive drive;  // refuses every MODE SENSE
  drive.Features = {{0x2A, 0x2A, 0x01}, {0x2F, 0x2F, 0x01}};
  Use(drive);
  device.Capabilities = 0xFFFFFFFF;
  device.DeviceMaxWriteSpeed = device.DeviceMaxReadSpeed = 99;
  EXPECT_FALSE(device.ReadCapabilities());
  EXPECT_EQ(device.Capabilities, 0u);
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 0);
  EXPECT_EQ(device.DeviceMaxReadSpeed, 0);
  EXPECT_EQ(device.MaxWriteSpeed(), 0);
  EXPECT_EQ(device.CurrentWriteSpeed(), 0);
  const auto list = device.WriteSpeedList(false);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Text, "Max");
  EXPECT_EQ(list[0].KBps, 0);
}

TEST_F(CapabilitiesTest, ADvdRamWriterWithoutSpeedFields) {
  TPage2A ram;
  ram.Write = 0x20;
  TScriptedDrive drive;
  drive.Defaults = ram;
  Use(drive);
  // Only the default values can be read: the first read's stand-in speed.
  EXPECT_FALSE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 1);
  EXPECT_EQ(device.DeviceMaxReadSpeed, 1);
  EXPECT_EQ(device.Capabilities, CapWriteDVDRAM);

  drive.Current = ram;
  EXPECT_TRUE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 1385);
  EXPECT_EQ(device.DeviceMaxReadSpeed, 1);
  EXPECT_EQ(device.CurrentWriteSpeed(), 1385);

  // Without DVD-RAM writing nothing stands in for the empty fields.
  ram.Write = 0x01;
  drive.Defaults = ram;
  drive.Current.reset();
  EXPECT_FALSE(device.ReadCapabilities());
  EXPECT_EQ(device.DeviceMaxWriteSpeed, 0);
}

TEST_F(CapabilitiesTest, DvdFeatures) {
  const uint32_t plusRead = CapReadDVDPR | CapReadDVDPRW, plusWrite = CapWriteDVDPR | CapWriteDVDPRW;
  const uint32_t minusRead = CapReadDVDR | CapReadDVDRW, minusWrite = CapWriteDVDR | CapWriteDVDRW;
  const struct {
    const char* Name;
    std::vector<TScriptedDrive::TFeature> Features;
    uint32_t Bits;
  } cases[] = {
      {"none", {}, 0},
      {"DVD+RW writer", {{0x2A, 0x2A, 0x01}}, plusRead | plusWrite},
      {"DVD+RW reader", {{0x2A, 0x2A, 0x00}}, plusRead},
      {"DVD-R/RW writer", {{0x2F, 0x2F, 0x01}}, minusRead | minusWrite},
      {"DVD-R/RW with test write", {{0x2F, 0x2F, 0x03}}, minusRead},
      {"both", {{0x2A, 0x2A, 0x01}, {0x2F, 0x2F, 0x01}}, plusRead | plusWrite | minusRead | minusWrite},
      // The drive answered with the next feature it has: not the one asked for.
      {"another feature", {{0x2A, 0x2B, 0x01}, {0x2F, 0x33, 0x01}}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TScriptedDrive drive;
    TPage2A cdOnly;
    cdOnly.Read = 0x03;
    cdOnly.Write = 0x01;
    cdOnly.MaxWrite = cdOnly.CurrentWrite = 7056;
    drive.Defaults = drive.Current = cdOnly;
    drive.Features = c.Features;
    Use(drive);
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ(device.Capabilities, CapReadCDR | CapReadCDRW | CapWriteCDR | c.Bits);
  }
}

TEST_F(CapabilitiesTest, UnderrunProtectionSources) {
  const struct {
    const char* Name;
    uint8_t Byte4;
    bool Page30;
    Layout Shape;
    bool Quirk;
    bool Expected;
  } cases[] = {
      {"none", 0x00, false, Layout::Plain, false, false},
      {"page 2Ah BUF", 0x80, false, Layout::Plain, false, true},
      {"page 30h", 0x00, true, Layout::Plain, false, true},
      {"page 30h after a block descriptor", 0x00, true, Layout::BlockDescriptor, false, true},
      {"page 30h after a short header", 0x00, true, Layout::ShortHeader, false, true},
      {"product quirk", 0x00, false, Layout::Plain, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TPage2A page = CdDvdWriter();
    page.Buffer = c.Byte4;
    TScriptedDrive drive;
    drive.Defaults = drive.Current = page;
    drive.Page30 = c.Page30;
    drive.Shape = c.Shape;
    Use(drive);
    device.QuirkUnderrunFree = c.Quirk;
    ASSERT_TRUE(device.ReadCapabilities());
    EXPECT_EQ((device.Capabilities & CapUnderrunProtection) != 0, c.Expected);
  }
}

TEST_F(CapabilitiesTest, CdSpeedListStepsDownAndKeepsWhatTheDriveTook) {
  TScriptedDrive drive;
  drive.Defaults = drive.Current = CdDvdWriter();
  drive.WriteSpeeds = {7056, 5645, 4234, 2822, 1411, 706};
  Use(drive);
  device.ReadSpeed = 0;
  const auto list = device.WriteSpeedList(false);
  std::vector<std::string> texts;
  std::vector<uint16_t> speeds;
  for (const auto& e : list) {
    texts.push_back(e.Text);
    speeds.push_back(e.KBps);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Max", "40X (7,056 KB/s)", "32X (5,645 KB/s)", "24X (4,234 KB/s)",
                                             "16X (2,822 KB/s)", "8X (1,411 KB/s)", "4X (706 KB/s)"}));
  EXPECT_EQ(speeds, (std::vector<uint16_t>{0, 7056, 5645, 4234, 2822, 1411, 706}));
  // Every candidate from the maximum down by 176, the last one 16.
  ASSERT_EQ(drive.SpeedRequests.size(), 41u);
  for (size_t i = 0; i < drive.SpeedRequests.size(); ++i)
    EXPECT_EQ(drive.SpeedRequests[i], 7056 - 176 * i);
  EXPECT_TRUE(std::all_of(drive.ReadRequests.begin(), drive.ReadRequests.end(),
                          [](uint16_t s) { return s == 0xFFFF; }));
  EXPECT_EQ(device.WriteSpeed(), 16);
}

TEST_F(CapabilitiesTest, DvdSpeedList) {
  TPage2A page = CdDvdWriter();
  page.MaxWrite = 22160;
  TScriptedDrive drive;
  drive.Defaults = drive.Current = page;
  drive.WriteSpeeds = {22160, 16620, 11080, 8310, 5540, 2770, 1385};
  Use(drive);
  const auto list = device.WriteSpeedList(true);
  std::vector<std::string> texts;
  for (const auto& e : list)
    texts.push_back(e.Text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Max", "16.0X (22,160 KB/s)", "12.0X (16,620 KB/s)",
                                             "8.0X (11,080 KB/s)", "6.0X (8,310 KB/s)", "4.0X (5,540 KB/s)",
                                             "2.0X (2,770 KB/s)", "1.0X (1,385 KB/s)"}));
  EXPECT_EQ(drive.SpeedRequests.size(), 32u);  // 22160 down to 460 by 700
  EXPECT_EQ(drive.SpeedRequests.back(), 460);
}

TEST_F(CapabilitiesTest, WriteSpeedIsKeptEvenWhenTheDriveRefuses) {
  TScriptedDrive drive;  // refuses SET CD SPEED
  Use(drive);
  device.ReadSpeed = 2822;
  device.SetWriteSpeed(4234);
  EXPECT_EQ(device.WriteSpeed(), 4234);
  ASSERT_EQ(drive.SpeedRequests.size(), 1u);
  EXPECT_EQ(drive.SpeedRequests[0], 4234);
  EXPECT_EQ(drive.ReadRequests[0], 2822);
  device.SetWriteSpeed(0);
  EXPECT_EQ(drive.SpeedRequests[1], 0xFFFF);
}

TEST(SpeedFromText, MultiplesBackToKBps) {
  const struct {
    const char* Text;
    bool Dvd;
    uint16_t KBps;
  } cases[] = {
      {"Max", false, 0},         {"", true, 0},
      {"40X (7,056 KB/s)", false, 7080},  // the CD factor is 177, not 176.4
      {"4X (708 KB/s)", false, 708},      {"8.0X (11,080 KB/s)", true, 11080},
      {"2.5X", false, 442},      // 442.5: the tie goes to the even neighbour
      {"3.5X", false, 620},      // 619.5
      {"0.5X", true, 692},       // 692.5
      {"speed", false, 0},       {"X", false, 0},
      {"999X", false, 65535},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(SpeedFromText(c.Text, c.Dvd), c.KBps);
  }
}

// What a person may type as a speed: peers' forms, and nothing that would
// quietly become the maximum.
TEST(SpeedFromText, StrictFormsForTheCommandLine) {
  const struct {
    const char* Text;
    std::optional<double> Multiple;
  } cases[] = {
      {"Max", 0.0},      {"max", 0.0},       {"MAX", 0.0},       {"16X", 16.0},     {"16x", 16.0},
      {"16", 16.0},      {"8.0X", 8.0},      {"2.5x", 2.5},      {"", std::nullopt}, {"X", std::nullopt},
      {"0X", std::nullopt}, {"0.0", std::nullopt}, {"-4X", std::nullopt}, {"+4X", std::nullopt},
      {"garbage", std::nullopt}, {"16XX", std::nullopt}, {" 16X", std::nullopt}, {"1e3X", std::nullopt},
      {"8.X", std::nullopt}, {".5X", std::nullopt}, {"inf", std::nullopt}, {"Maximum", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(SpeedMultipleFromText(c.Text), c.Multiple);
  }
  EXPECT_EQ(SpeedFromMultiple(3, false), 531);
  EXPECT_EQ(SpeedFromMultiple(99999, false), 65535);
  EXPECT_EQ(SpeedFromMultiple(0.001, false), 0);
  EXPECT_EQ(SpeedText(706, false), "4X (706 KB/s)");
  EXPECT_EQ(SpeedText(11080, true), "8.0X (11,080 KB/s)");
}

} // namespace
} // namespace qnzb::test
