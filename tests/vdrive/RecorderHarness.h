#pragma once
// Drives a Recorder the way a host does: CDBs built field by field as MMC-5
// lays them out, replies read back at MMC offsets. Time is a plain counter
// the test moves.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/device/ScsiSense.h"
#include "vdrive/Recorder.h"

namespace qnzb::vdrive::test {

struct Result {
  ScsiOutcome Outcome;
  std::vector<uint8_t> Data;  // data-in as transferred
  std::array<uint8_t, 32> SenseBytes{};

  [[nodiscard]] bool Good() const { return Outcome.Status == ScsiStatusGood && !Outcome.DataOverrun; }
  [[nodiscard]] SenseCode Sense() const {
    return DecodeFixedSense(std::span<const uint8_t>(SenseBytes.data(), Outcome.SenseLength)).value_or(SenseCode{});
  }
  [[nodiscard]] uint8_t At(size_t i) const { return i < Data.size() ? Data[i] : 0xEE; }
  [[nodiscard]] uint16_t U16(size_t i) const { return static_cast<uint16_t>(At(i) << 8 | At(i + 1)); }
  [[nodiscard]] uint32_t U32(size_t i) const {
    return static_cast<uint32_t>(At(i)) << 24 | static_cast<uint32_t>(At(i + 1)) << 16 |
           static_cast<uint32_t>(At(i + 2)) << 8 | At(i + 3);
  }
};

inline std::string Describe(const Result& r) {
  char text[96];
  const SenseCode s = r.Sense();
  std::snprintf(text, sizeof text, "status %02Xh sense %X/%02Xh/%02Xh", r.Outcome.Status, s.Key, s.Asc, s.Ascq);
  return text;
}

inline ::testing::AssertionResult IsGood(const Result& r) {
  if (r.Good())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Describe(r);
}

inline ::testing::AssertionResult HasSense(const Result& r, SenseCode code) {
  if (r.Outcome.Status == ScsiStatusCheckCondition && r.Sense() == code)
    return ::testing::AssertionSuccess();
  char want[32];
  std::snprintf(want, sizeof want, "%X/%02Xh/%02Xh", code.Key, code.Asc, code.Ascq);
  return ::testing::AssertionFailure() << Describe(r) << ", expected CHECK CONDITION " << want;
}

#define EXPECT_GOOD(r) EXPECT_TRUE(IsGood(r))
#define ASSERT_GOOD(r) ASSERT_TRUE(IsGood(r))
#define EXPECT_SENSE(r, code) EXPECT_TRUE(HasSense((r), (code)))

inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Block content that differs for every block and seed, so a block read back
// from a wrong address or a wrong burn shows.
inline std::vector<uint8_t> Pattern(uint32_t lba, uint32_t blocks, uint8_t seed = 0) {
  std::vector<uint8_t> data(static_cast<size_t>(blocks) * 2048);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>((lba + i / 2048) * 31 + i * 7 + seed);
  return data;
}

// Runs one command on any simulated device.
inline Result Exec(SimulatedDevice& device, const std::vector<uint8_t>& cdb, ScsiDirection direction,
                   std::vector<uint8_t> data = {}) {
  Result r;
  r.Outcome = device.Execute(cdb, data, direction, r.SenseBytes);
  if (direction == ScsiDirection::In)
    r.Data.assign(data.begin(), data.begin() + r.Outcome.Transferred);
  return r;
}

class Harness {
public:
  explicit Harness(DriveState state = {}) : drive(std::move(state), [this] { return now; }) {}

  uint64_t now = 1'000;
  Recorder drive;

  Result Run(std::vector<uint8_t> cdb, ScsiDirection direction, std::vector<uint8_t> data) {
    return Exec(drive, cdb, direction, std::move(data));
  }
  Result In(std::vector<uint8_t> cdb, size_t length) {
    return Run(std::move(cdb), ScsiDirection::In, std::vector<uint8_t>(length, 0xEE));
  }
  Result Out(std::vector<uint8_t> cdb, std::vector<uint8_t> data) {
    return Run(std::move(cdb), ScsiDirection::Out, std::move(data));
  }
  Result None(std::vector<uint8_t> cdb) { return Run(std::move(cdb), ScsiDirection::None, {}); }

  void Insert(const std::string& name, uint32_t capacity = 0) {
    auto choice = ParseMediumName(name);
    ASSERT_TRUE(choice) << name;
    drive.Insert(*choice, capacity);
  }

  // Commands, CDB fields as MMC-5 places them.
  Result TestUnitReady() { return None({0x00, 0, 0, 0, 0, 0}); }
  Result RequestSense(uint8_t allocation = 18) { return In({0x03, 0, 0, 0, allocation, 0}, allocation); }
  Result Inquiry(uint16_t allocation = 96) {
    std::vector<uint8_t> cdb{0x12, 0, 0, 0, 0, 0};
    Put16(cdb, 3, allocation);
    return In(cdb, allocation);
  }
  Result StartStop(bool loadEject, bool start) {
    return None({0x1B, 0, 0, 0, static_cast<uint8_t>((loadEject ? 2 : 0) | (start ? 1 : 0)), 0});
  }
  Result PreventRemoval(bool prevent) { return None({0x1E, 0, 0, 0, static_cast<uint8_t>(prevent ? 1 : 0), 0}); }
  Result ReadCapacity() { return In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8); }
  Result ReadFormatCapacities(uint16_t allocation = 252) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x23;
    Put16(cdb, 7, allocation);
    return In(cdb, allocation);
  }
  Result Read(uint32_t lba, uint16_t blocks) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x28;
    Put32(cdb, 2, lba);
    Put16(cdb, 7, blocks);
    return In(cdb, static_cast<size_t>(blocks) * 2048);
  }
  Result Write(uint32_t lba, uint16_t blocks, uint8_t seed = 0) { return WriteData(lba, blocks, Pattern(lba, blocks, seed)); }
  Result WriteData(uint32_t lba, uint16_t blocks, std::vector<uint8_t> data) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x2A;
    Put32(cdb, 2, lba);
    Put16(cdb, 7, blocks);
    return Out(cdb, std::move(data));
  }
  Result SyncCache(bool immediate = false) {
    return None({0x35, static_cast<uint8_t>(immediate ? 2 : 0), 0, 0, 0, 0, 0, 0, 0, 0});
  }
  Result ReadToc(uint8_t format, bool msf = false, uint8_t track = 0, uint16_t allocation = 804) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x43;
    cdb[1] = msf ? 0x02 : 0x00;
    cdb[2] = format;
    cdb[6] = track;
    Put16(cdb, 7, allocation);
    return In(cdb, allocation);
  }
  Result GetConfiguration(uint8_t rt, uint16_t start, uint16_t allocation = 1024) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x46;
    cdb[1] = rt;
    Put16(cdb, 2, start);
    Put16(cdb, 7, allocation);
    return In(cdb, allocation);
  }
  Result ReadDiscInformation(uint16_t allocation = 34) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x51;
    Put16(cdb, 7, allocation);
    return In(cdb, allocation);
  }
  // Address/number type 01b: by track number.
  Result ReadTrackInformation(uint32_t number, uint8_t type = 1, uint16_t allocation = 48) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x52;
    cdb[1] = type;
    Put32(cdb, 2, number);
    Put16(cdb, 7, allocation);
    return In(cdb, allocation);
  }
  Result ReserveTrack(uint32_t blocks) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x53;
    Put32(cdb, 5, blocks);
    return None(cdb);
  }
  Result ModeSense(uint8_t page, uint8_t control = 0, bool noBlockDescriptor = false, uint16_t allocation = 255) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x5A;
    cdb[1] = noBlockDescriptor ? 0x08 : 0x00;
    cdb[2] = static_cast<uint8_t>(control << 6 | page);
    Put16(cdb, 7, allocation);
    return In(cdb, allocation);
  }
  Result ModeSelect(std::vector<uint8_t> list) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x55;
    cdb[1] = 0x10;  // PF
    Put16(cdb, 7, static_cast<uint32_t>(list.size()));
    return Out(cdb, std::move(list));
  }
  // The current page 05h, from its page code byte (block descriptor skipped).
  std::vector<uint8_t> WriteParams() {
    Result r = ModeSense(0x05);
    EXPECT_GOOD(r);
    const size_t at = 8 + r.U16(6);
    return {r.Data.begin() + static_cast<std::ptrdiff_t>(at), r.Data.begin() + static_cast<std::ptrdiff_t>(at + 52)};
  }
  // Sends page 05h with the given write type, multi-session field and
  // test-write bit (other fields as the drive has them).
  Result SetWriteParams(uint8_t writeType, uint8_t multiSession, bool testWrite = false, uint8_t trackMode = 4) {
    std::vector<uint8_t> page = WriteParams();
    page[2] = static_cast<uint8_t>((page[2] & 0x60) | (testWrite ? 0x10 : 0) | writeType);
    page[3] = static_cast<uint8_t>(multiSession << 6 | trackMode);
    page[4] = 0x08;
    std::vector<uint8_t> list(8, 0);
    list.insert(list.end(), page.begin(), page.end());
    return ModeSelect(list);
  }
  Result CloseTrackSession(uint8_t function, uint16_t track = 0, bool immediate = false) {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x5B;
    cdb[1] = immediate ? 1 : 0;
    cdb[2] = function;
    Put16(cdb, 4, track);
    return None(cdb);
  }
  Result ReadBufferCapacity() {
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = 0x5C;
    Put16(cdb, 7, 12);
    return In(cdb, 12);
  }
  Result BlankDisc(uint8_t type, bool immediate) {
    std::vector<uint8_t> cdb(12, 0);
    cdb[0] = 0xA1;
    cdb[1] = static_cast<uint8_t>((immediate ? 0x10 : 0) | type);
    return None(cdb);
  }
  // FORMAT UNIT with one descriptor (format data, format code 001b).
  Result Format(uint8_t formatType, uint32_t blocks, bool immediate, uint32_t parameter = 0) {
    std::vector<uint8_t> list(12, 0);
    list[1] = static_cast<uint8_t>(0x80 | (immediate ? 0x02 : 0));  // FOV, Immed
    Put16(list, 2, 8);
    Put32(list, 4, blocks);
    list[8] = static_cast<uint8_t>(formatType << 2);
    list[9] = static_cast<uint8_t>(parameter >> 16);
    list[10] = static_cast<uint8_t>(parameter >> 8);
    list[11] = static_cast<uint8_t>(parameter);
    return Out({0x04, 0x11, 0, 0, 0, 0}, list);
  }
  Result SetCdSpeed(uint16_t read, uint16_t write) {
    std::vector<uint8_t> cdb(12, 0);
    cdb[0] = 0xBB;
    Put16(cdb, 2, read);
    Put16(cdb, 4, write);
    return None(cdb);
  }
};

} // namespace qnzb::vdrive::test
