// Every command wrapper's request as the manager receives it: CDB bytes,
// CDB length, flags, transfer length, data sent and the time-out after which
// the executor gives up. Then the refusals of bad buffers and the replies the
// wrappers convert.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "FakeAspiManager.h"
#include "engine/device/qnDrvLib.h"
#include "engine/runtime/Clock.h"

namespace qnzb::test {
namespace {

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), seed);
  return bytes;
}

struct WrapperCase {
  const char* Name;
  std::function<bool(TSCSIDevice&)> Call;
  std::vector<uint8_t> Cdb;  // the CDB's bytes; the rest of the 16 must be zero
  uint8_t Flags;
  uint32_t Length;
  std::vector<uint8_t> DataOut;  // expected bytes of a data-out transfer
  uint64_t TimeoutMs;
};

class CommandWrapperTest : public testing::Test {
protected:
  CommandWrapperTest() { device.HaId = device.Target = device.Lun = 0; }
  TFakeAspiManager manager;
  TSCSIDevice device{nullptr};
};

TEST_F(CommandWrapperTest, RequestsAsTheManagerSeesThem) {
  static std::vector<uint8_t> in(65536);
  const auto formatList = Pattern(12, 0x10);
  const auto pageData = Pattern(60, 0x20);
  const auto sectors = Pattern(27 * 2048, 0x30);
  const auto cue = Pattern(40, 0x40);
  const auto streaming = Pattern(28, 0x50);
  const auto structure = Pattern(12, 0x60);
  const std::vector<uint8_t> none;
  auto span = [](size_t n) { return std::span<uint8_t>(in.data(), n); };
  uint32_t lba = 0, blockLength = 0;

  const WrapperCase cases[] = {
      {"TestUnitReady", [](TSCSIDevice& d) { return d.TestUnitReady(5000); }, {0x00, 0, 0, 0, 0, 0}, 0x40, 0, none,
       10000},
      {"TestUnitReady long", [](TSCSIDevice& d) { return d.TestUnitReady(60000); }, {0x00, 0, 0, 0, 0, 0}, 0x40, 0,
       none, 60000},
      {"RezeroUnit", [](TSCSIDevice& d) { return d.RezeroUnit(); }, {0x01, 0, 0, 0, 0, 0}, 0x40, 0, none, 10000},
      {"RequestSense", [&](TSCSIDevice& d) { return d.RequestSense(span(18)); }, {0x03, 0, 0, 0, 18, 0}, 0x48, 18,
       none, 10000},
      {"FormatUnit", [&](TSCSIDevice& d) { return d.FormatUnit(0x11, formatList); }, {0x04, 0x11, 0, 0, 0, 0}, 0x50,
       12, formatList, 10000},
      {"Inquiry", [](TSCSIDevice& d) { return d.Inquiry(); }, {0x12, 0, 0, 0, 0x80, 0}, 0x48, 128, none, 10000},
      {"StartStopUnit eject", [](TSCSIDevice& d) { return d.StartStopUnit(true); }, {0x1B, 0, 0, 0, 0x02, 0}, 0x40,
       0, none, 20000},
      {"StartStopUnit load", [](TSCSIDevice& d) { return d.StartStopUnit(false); }, {0x1B, 0, 0, 0, 0x03, 0}, 0x40,
       0, none, 20000},
      {"AllowMediumRemoval prevent", [](TSCSIDevice& d) { return d.AllowMediumRemoval(false); },
       {0x1E, 0, 0, 0, 0x01, 0}, 0x40, 0, none, 10000},
      {"AllowMediumRemoval allow", [](TSCSIDevice& d) { return d.AllowMediumRemoval(true); }, {0x1E, 0, 0, 0, 0, 0},
       0x40, 0, none, 10000},
      {"ReadFormatCapacities", [&](TSCSIDevice& d) { return d.ReadFormatCapacities(span(256)); },
       {0x23, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0}, 0x48, 248, none, 10000},
      {"ReadCapacity", [&](TSCSIDevice& d) { return d.ReadCapacity(lba, blockLength); },
       {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x48, 8, none, 10000},
      {"Read10", [&](TSCSIDevice& d) { return d.Read10(0x01020304, 0x0506, span(4096)); },
       {0x28, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x05, 0x06, 0}, 0x48, 4096, none, 10000},
      {"Write10", [&](TSCSIDevice& d) { return d.Write10(0x00ABCDEF, 27, 0x50, sectors); },
       {0x2A, 0, 0x00, 0xAB, 0xCD, 0xEF, 0, 0x00, 0x1B, 0}, 0x50, 27 * 2048, sectors, 120000},
      {"SynchronizeCache immed", [](TSCSIDevice& d) { return d.SynchronizeCache(240000, true); },
       {0x35, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, none, 240000},
      {"SynchronizeCache", [](TSCSIDevice& d) { return d.SynchronizeCache(0, false); },
       {0x35, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, none, 10000},
      {"ReadTocPmaAtip", [&](TSCSIDevice& d) { return d.ReadTocPmaAtip(4, span(28), 1, true, 0x40); },
       {0x43, 0x02, 0x04, 0, 0, 0, 0x01, 0, 0x1C, 0x40}, 0x48, 28, none, 10000},
      {"ReadTocPmaAtip LBA", [&](TSCSIDevice& d) { return d.ReadTocPmaAtip(0, span(255), 0xAA, false, 0); },
       {0x43, 0x00, 0x00, 0, 0, 0, 0xAA, 0, 0xFF, 0}, 0x48, 255, none, 10000},
      {"GetConfiguration", [&](TSCSIDevice& d) { return d.GetConfiguration(2, 0x2F, span(114)); },
       {0x46, 0x02, 0, 0x2F, 0, 0, 0, 0, 0x72, 0}, 0x48, 114, none, 30000},
      {"ReadDiscInformation", [&](TSCSIDevice& d) { return d.ReadDiscInformation(span(34)); },
       {0x51, 0, 0, 0, 0, 0, 0, 0, 0x22, 0}, 0x48, 34, none, 10000},
      {"ReadTrackInformation", [](TSCSIDevice& d) { return d.ReadTrackInformation(0x010203FF); },
       {0x52, 0x01, 0x01, 0x02, 0x03, 0xFF, 0, 0, 0x28, 0}, 0x48, 40, none, 60000},
      {"ReserveTrack", [](TSCSIDevice& d) { return d.ReserveTrack(0x00012345); },
       {0x53, 0, 0, 0, 0, 0x00, 0x01, 0x23, 0x45, 0, 0, 0}, 0x40, 0, none, 10000},
      {"SendOpcInformation", [](TSCSIDevice& d) { return d.SendOpcInformation(); },
       {0x54, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, none, 150000},
      {"ModeSelect10", [&](TSCSIDevice& d) { return d.ModeSelect10(pageData); },
       {0x55, 0x10, 0, 0, 0, 0, 0, 0, 0x3C, 0}, 0x50, 60, pageData, 10000},
      {"ModeSense10 defaults", [&](TSCSIDevice& d) { return d.ModeSense10(0x2A, span(255), true, 255); },
       {0x5A, 0, 0xAA, 0, 0, 0, 0, 0x00, 0xFF, 0}, 0x48, 255, none, 20000},
      {"ModeSense10 current", [&](TSCSIDevice& d) { return d.ModeSense10(0x05, span(512), false, 512); },
       {0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0x00, 0}, 0x48, 512, none, 20000},
      {"CloseTrackSession track", [](TSCSIDevice& d) { return d.CloseTrackSession(true, true, false); },
       {0x5B, 0x01, 0x01, 0, 0, 0xFF, 0, 0, 0, 0}, 0x40, 0, none, 180000},
      {"CloseTrackSession session", [](TSCSIDevice& d) { return d.CloseTrackSession(false, false, false); },
       {0x5B, 0x00, 0x02, 0, 0, 0x00, 0, 0, 0, 0}, 0x40, 0, none, 180000},
      {"CloseTrackSession finalize", [](TSCSIDevice& d) { return d.CloseTrackSession(false, true, true); },
       {0x5B, 0x01, 0x05, 0, 0, 0x00, 0, 0, 0, 0}, 0x40, 0, none, 180000},
      {"CloseTrackSession general", [](TSCSIDevice& d) { return d.CloseTrackSession(true, 0x06, 1, 2, 3); },
       {0x5B, 0x01, 0x06, 0x01, 0x02, 0x03, 0, 0, 0, 0}, 0x40, 0, none, 180000},
      {"ReadBufferCapacity", [](TSCSIDevice& d) { return d.ReadBufferCapacity(); },
       {0x5C, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, 0x48, 32, none, 10000},
      {"SendCueSheet", [&](TSCSIDevice& d) { return d.SendCueSheet(cue); }, {0x5D, 0, 0, 0, 0, 0, 0, 0x00, 0x28, 0},
       0x50, 40, cue, 30000},
      {"Blank", [](TSCSIDevice& d) { return d.Blank(1); }, {0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, none,
       4800000},
      {"SetStreaming", [&](TSCSIDevice& d) { return d.SetStreaming(streaming); },
       {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x1C, 0}, 0x50, 28, streaming, 10000},
      {"SetCdSpeed max read", [](TSCSIDevice& d) { return d.SetCdSpeed(0, 7056); },
       {0xBB, 0, 0xFF, 0xFF, 0x1B, 0x90, 0, 0, 0, 0, 0, 0}, 0x40, 0, none, 10000},
      {"SetCdSpeed max write", [](TSCSIDevice& d) { return d.SetCdSpeed(1411, 0); },
       {0xBB, 0, 0x05, 0x83, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 0x40, 0, none, 10000},
      {"SendDvdStructure", [&](TSCSIDevice& d) { return d.SendDvdStructure(0x0F, structure); },
       {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 0x0C, 0, 0}, 0x50, 12, structure, 10000},
  };

  TScopedVirtualClock clock(5000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    // Timed out (the manager keeps the request): the request as sent and when
    // the executor gave up on it.
    manager.Sent.clear();
    manager.Aborts.clear();
    manager.Respond = [](SRB_ExecSCSICmd&) {};
    EXPECT_FALSE(c.Call(device));
    ASSERT_EQ(manager.Sent.size(), 1u);
    const auto& sent = manager.Sent[0];
    std::array<uint8_t, 16> cdb{};
    std::copy(c.Cdb.begin(), c.Cdb.end(), cdb.begin());
    EXPECT_EQ(std::vector<uint8_t>(sent.Block.CDBByte, sent.Block.CDBByte + 16),
              std::vector<uint8_t>(cdb.begin(), cdb.end()));
    EXPECT_EQ(sent.Block.SRB_CDBLen, c.Cdb.size());
    EXPECT_EQ(sent.Block.SRB_Flags, c.Flags);
    EXPECT_EQ(sent.Block.SRB_BufLen, c.Length);
    EXPECT_EQ(sent.Block.SRB_SenseLen, SENSE_LEN);
    EXPECT_EQ(sent.Block.SRB_BufPointer != nullptr, c.Length != 0);
    EXPECT_EQ(sent.DataOut, c.DataOut);
    ASSERT_EQ(manager.Aborts.size(), 1u);
    EXPECT_EQ(manager.Aborts[0].At - sent.SentAt, c.TimeoutMs);

    // Good and failed outcomes.
    manager.Respond = [](SRB_ExecSCSICmd& r) { Complete(r, SS_COMP); };
    EXPECT_TRUE(c.Call(device));
    manager.Respond = [](SRB_ExecSCSICmd& r) {
      PutSense(r, 0x05, 0x24, 0x00);
      Complete(r, SS_ERR, 0, 0x02);
    };
    EXPECT_FALSE(c.Call(device));
    EXPECT_EQ(device.LastErrorText, "ILLEGAL REQUEST (INVALID FIELD IN CDB)");
  }
}

TEST_F(CommandWrapperTest, BuffersTheCdbCannotDescribeAreRefusedUnsent) {
  std::vector<uint8_t> big(70000);
  std::span<uint8_t> all(big);
  const struct {
    const char* Name;
    std::function<bool(TSCSIDevice&)> Call;
  } cases[] = {
      {"RequestSense 256", [&](TSCSIDevice& d) { return d.RequestSense(all.first(256)); }},
      {"RequestSense 0", [&](TSCSIDevice& d) { return d.RequestSense(all.first(0)); }},
      {"FormatUnit 257", [&](TSCSIDevice& d) { return d.FormatUnit(0x11, all.first(257)); }},
      {"ReadFormatCapacities 247", [&](TSCSIDevice& d) { return d.ReadFormatCapacities(all.first(247)); }},
      {"ReadTocPmaAtip 256", [&](TSCSIDevice& d) { return d.ReadTocPmaAtip(0, all.first(256), 0, false, 0); }},
      {"GetConfiguration feature 100h", [&](TSCSIDevice& d) { return d.GetConfiguration(2, 0x100, all.first(8)); }},
      {"GetConfiguration 256", [&](TSCSIDevice& d) { return d.GetConfiguration(2, 0, all.first(256)); }},
      {"ReadDiscInformation 256", [&](TSCSIDevice& d) { return d.ReadDiscInformation(all.first(256)); }},
      {"ModeSelect10 256", [&](TSCSIDevice& d) { return d.ModeSelect10(all.first(256)); }},
      {"SendCueSheet 64K", [&](TSCSIDevice& d) { return d.SendCueSheet(all.first(65536)); }},
      {"SetStreaming 64K", [&](TSCSIDevice& d) { return d.SetStreaming(all.first(65536)); }},
      {"SendDvdStructure 64K", [&](TSCSIDevice& d) { return d.SendDvdStructure(0, all.first(65536)); }},
      {"Blank type 8", [](TSCSIDevice& d) { return d.Blank(8); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_FALSE(c.Call(device));
    EXPECT_EQ(device.LastErrorText, "INVALID REQUEST");
  }
  EXPECT_TRUE(manager.Sent.empty());
}

TEST_F(CommandWrapperTest, WriteWithoutTransportIsNotWritten) {
  Transport().Initialized = false;
  const auto sectors = Pattern(2048, 0);
  EXPECT_FALSE(device.Write10(0, 1, 0x50, sectors));
  EXPECT_TRUE(manager.Sent.empty());
}

// Replies the manager writes into the request's buffer.
void Reply(SRB_ExecSCSICmd& r, const std::vector<uint8_t>& bytes) {
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), r.SRB_BufLen), r.SRB_BufPointer);
  Complete(r, SS_COMP);
}

TEST_F(CommandWrapperTest, ReadCapacityAndBufferCapacityAreConverted) {
  manager.Respond = [](SRB_ExecSCSICmd& r) { Reply(r, {0x00, 0x05, 0x7F, 0xFF, 0x00, 0x00, 0x08, 0x00}); };
  uint32_t lba = 0, blockLength = 0;
  EXPECT_TRUE(device.ReadCapacity(lba, blockLength));
  EXPECT_EQ(lba, 0x57FFFu);
  EXPECT_EQ(blockLength, 2048u);

  const struct {
    std::vector<uint8_t> Reply;
    bool Ok;
    uint32_t Size, Free;
  } buffers[] = {
      {{0, 10, 0, 0, 0x00, 0x20, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x00}, true, 0x200000, 0x1F0000},
      // An unknown free size counts as an empty buffer.
      {{0, 10, 0, 0, 0x00, 0x20, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, true, 0x200000, 0x200000},
  };
  for (const auto& b : buffers) {
    manager.Respond = [&](SRB_ExecSCSICmd& r) { Reply(r, b.Reply); };
    EXPECT_EQ(device.ReadBufferCapacity(), b.Ok);
    EXPECT_EQ(device.DeviceBufferSize, b.Size);
    EXPECT_EQ(device.DeviceFreeBufferSize, b.Free);
  }
  manager.Respond = [](SRB_ExecSCSICmd& r) { Complete(r, SS_ERR, 0, 0x02); };
  EXPECT_FALSE(device.ReadBufferCapacity());
  EXPECT_EQ(device.DeviceFreeBufferSize, 0u);
  EXPECT_EQ(device.DeviceBufferSize, 0x200000u);
}

TEST_F(CommandWrapperTest, ModeSenseFillsOnlyWhatTheDestinationHolds) {
  const auto page = Pattern(255, 1);
  manager.Respond = [&](SRB_ExecSCSICmd& r) { Reply(r, page); };
  std::vector<uint8_t> dest(40 + 8, 0xEE);
  std::span<uint8_t> inner(dest.data() + 4, 40);
  EXPECT_TRUE(device.ModeSense10(0x2A, inner, false, 255));
  EXPECT_TRUE(std::equal(inner.begin(), inner.end(), page.begin()));
  // Around it nothing was touched.
  EXPECT_EQ(dest[3], 0xEE);
  EXPECT_EQ(dest[44], 0xEE);

  // A failed read leaves the destination zeroed, not holding the last reply.
  manager.Respond = [&](SRB_ExecSCSICmd& r) {
    std::fill_n(r.SRB_BufPointer, r.SRB_BufLen, uint8_t{0x77});
    Complete(r, SS_ERR, 0, 0x02);
  };
  EXPECT_FALSE(device.ModeSense10(0x2A, inner, false, 255));
  EXPECT_TRUE(std::all_of(inner.begin(), inner.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(CommandWrapperTest, InquiryAndTrackInformationLandInTheComponent) {
  manager.Respond = [](SRB_ExecSCSICmd& r) {
    std::vector<uint8_t> reply(r.SRB_BufLen);
    std::iota(reply.begin(), reply.end(), uint8_t{r.CDBByte[0]});
    Reply(r, reply);
  };
  EXPECT_TRUE(device.Inquiry());
  EXPECT_EQ(device.InquiryData[0], 0x12);
  EXPECT_EQ(device.InquiryData[127], static_cast<uint8_t>(0x12 + 127));
  EXPECT_TRUE(device.ReadTrackInformation(1));
  EXPECT_EQ(device.TrackInfo[0], 0x52);
  EXPECT_EQ(device.TrackInfo[39], 0x52 + 39);
}

} // namespace
} // namespace qnzb::test
