// The write parameters page as it goes to the drive for each medium kind,
// setting and capability.

#include "RecorderDevice.h"

namespace qnzb::test {
namespace {

class WriteParametersTest : public RecorderDeviceTest {
protected:
  // The page bytes of the last MODE SELECT, after the 8-byte header.
  std::vector<uint8_t> SentPage() {
    const std::vector<uint8_t> list = LastDataOut(0x55);
    EXPECT_EQ(list.size(), 60u);
    if (list.size() < 60)
      return std::vector<uint8_t>(52, 0);
    for (size_t i = 0; i < 8; ++i)
      EXPECT_EQ(list[i], 0) << "header byte " << i;
    return {list.begin() + 8, list.end()};
  }
  static uint32_t PacketSize(const std::vector<uint8_t>& page) {
    return static_cast<uint32_t>(page[10]) << 24 | page[11] << 16 | page[12] << 8 | page[13];
  }
  void Capable(bool underrun, bool testWrite) {
    device.Capabilities = (underrun ? CapUnderrunProtection : 0u) | (testWrite ? CapWriteTest : 0u);
  }
};

TEST_F(WriteParametersTest, BytesForEveryMediumKind) {
  const struct {
    uint8_t Kind;
    bool TestWrite, Underrun, Finalize;
    uint8_t Byte2, Byte3, LinkSize;
    uint32_t Packet;
  } cases[] = {
      // CD: track at once; the multi-session field follows test write and closing.
      {MediaCdR, false, true, false, 0x41, 0xC4, 0, 0},
      {MediaCdR, false, true, true, 0x41, 0x04, 0, 0},
      {MediaCdRw, true, false, false, 0x11, 0x04, 0, 0},
      {MediaCdRw, true, true, false, 0x51, 0x04, 0, 0},
      {MediaCdR, false, false, false, 0x01, 0xC4, 0, 0},
      // DVD-R: incremental, fixed packets of 16.
      {MediaDvdR, false, false, false, 0x20, 0xE5, 16, 16},
      {MediaDvdR, false, true, true, 0x60, 0xE5, 16, 16},
      // DVD-RW in either mode.
      {MediaDvdRwSequential, false, true, false, 0x20, 0xC5, 16, 0},
      {MediaDvdRwRestricted, true, true, true, 0x20, 0xC5, 16, 0},
      // Only sequential recording has a test write.
      {MediaDvdRwSequential, true, true, false, 0x30, 0xC5, 16, 0},
      {MediaDvdPlusRw, false, false, false, 0x22, 0x04, 16, 0},
      {MediaDvdPlusRw, false, true, false, 0x62, 0x04, 16, 0},
      {MediaDvdPlusR, false, false, true, 0x22, 0xC4, 0, 16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << int(c.Kind) << " test " << c.TestWrite << " underrun "
                                    << c.Underrun << " finalize " << c.Finalize);
    // A disc of the kind's class is loaded: with a CD in it the drive refuses
    // the session-at-once write type the DVD+ pages carry.
    Insert(c.Kind == MediaCdR || c.Kind == MediaCdRw ? "cd-r" : "dvd-r");
    Capable(true, true);
    device.FinalizeDisc = c.Finalize;
    ASSERT_TRUE(device.SetWriteParameters(c.TestWrite, c.Underrun, c.Kind)) << device.LastErrorText;
    const std::vector<uint8_t> page = SentPage();
    EXPECT_EQ(page[0] & 0x3F, 0x05);
    EXPECT_EQ(page[1], 50);
    EXPECT_EQ(page[2], c.Byte2);
    EXPECT_EQ(page[3], c.Byte3);
    EXPECT_EQ(page[4], 0x08);
    EXPECT_EQ(page[5], c.LinkSize);
    EXPECT_EQ(page[6] | page[7] | page[8] | page[9], 0);
    EXPECT_EQ(PacketSize(page), c.Packet);
    EXPECT_EQ(page[14] << 8 | page[15], 150);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), device.WriteParamsPage.begin()));
  }
}

TEST_F(WriteParametersTest, CapabilitiesTheDriveLacksAreNotAskedFor) {
  Insert("cd-rw");
  Capable(false, false);
  ASSERT_TRUE(device.SetWriteParameters(true, true, MediaCdRw));
  const std::vector<uint8_t> page = SentPage();
  EXPECT_EQ(page[2], 0x01);
  EXPECT_EQ(page[3], 0x04);  // still no next session: a test write
}

TEST_F(WriteParametersTest, LinkSizeQuirkAndBlockDescriptor) {
  vdrive::DriveConfig config;
  config.Drive.BlockDescriptor = true;
  Use(config);
  Insert("cd-r");
  device.QuirkLinkSize = true;
  ASSERT_TRUE(device.SetWriteParameters(false, false, MediaCdR)) << device.LastErrorText;
  const std::vector<uint8_t> page = SentPage();
  EXPECT_EQ(page[0] & 0x3F, 0x05);
  EXPECT_EQ(page[2], 0x21);
  EXPECT_EQ(page[3], 0xC4);
}

TEST_F(WriteParametersTest, DvdRamTakesNoPageAndAFailedReadSendsNothing) {
  Insert("dvd-ram");
  ForgetSent();
  EXPECT_TRUE(device.SetWriteParameters(false, false, MediaDvdRam));
  EXPECT_TRUE(Opcodes().empty());

  Fail(0x5A, vdrive::FaultKind::MediumError);
  EXPECT_FALSE(device.SetWriteParameters(false, false, MediaCdR));
  EXPECT_EQ(Opcodes(), std::vector<uint8_t>{0x5A});
}

} // namespace
} // namespace qnzb::test
