#pragma once
// A session put onto the virtual recorder's disc with raw commands, as some
// other program would have written it: page 05h, WRITE (10) from sector 0,
// SYNCHRONIZE CACHE, CLOSE SESSION.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "vdrive/Recorder.h"

namespace qnzb::test {

inline void RawCommand(vdrive::Recorder& recorder, std::vector<uint8_t> cdb, std::span<uint8_t> data,
                       ScsiDirection direction) {
  std::array<uint8_t, 32> sense{};
  ASSERT_EQ(recorder.Execute(cdb, data, direction, sense).Status, ScsiStatusGood)
      << std::hex << int(sense[2] & 0x0F) << "/" << int(sense[12]) << "/" << int(sense[13]);
}

// `blocks` sectors of `fill` from sector 0, the session left open for more.
// WriteType and TrackMode are page bytes 2 and 3; LinkSize byte 5 (DVD: 16).
inline void WriteRawSession(vdrive::Recorder& recorder, uint8_t writeType, uint8_t trackMode, uint8_t linkSize,
                            uint16_t blocks, uint8_t fill) {
  std::vector<uint8_t> page(60, 0);
  page[8] = 0x05;
  page[9] = 0x32;
  page[10] = writeType;
  page[11] = trackMode;
  page[12] = 0x08;
  page[13] = linkSize;
  page[21] = linkSize;  // packet size (low byte)
  RawCommand(recorder, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, page, ScsiDirection::Out);
  std::vector<uint8_t> data(blocks * 2048u, fill);
  RawCommand(recorder, {0x2A, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0},
             data, ScsiDirection::Out);
  RawCommand(recorder, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, ScsiDirection::None);
  RawCommand(recorder, {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}, {}, ScsiDirection::None);
}

} // namespace qnzb::test
