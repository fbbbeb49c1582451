#pragma once
// The mode pages the recorder has (MMC): 05h write parameters, 2Ah
// capabilities and mechanical status, and the vendor page 30h some drives
// use to announce buffer underrun protection. Pages are kept and built from
// their page code byte on.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "vdrive/Disc.h"
#include "vdrive/DriveConfig.h"

namespace qnzb::vdrive {

// Write parameters page: page code, page length 32h, then 50 bytes.
inline constexpr size_t WriteParamsLength = 52;
using WriteParamsPage = std::array<uint8_t, WriteParamsLength>;

// Track-at-once, data mode 1 blocks of 2048 bytes, no next session, audio
// pause 150.
[[nodiscard]] WriteParamsPage DefaultWriteParams();
// The bits a host may change (MODE SENSE page control 01b).
[[nodiscard]] WriteParamsPage WriteParamsChangeable(const Identity& drive);
// The page offset of the first value the drive does not accept in `page`
// (a write type, multi-session value, data block type or session format it
// doesn't know, or a bit it can't change), or empty when all are acceptable.
[[nodiscard]] std::optional<size_t> CheckWriteParams(const WriteParamsPage& page, const WriteParamsPage& current,
                                                     const Identity& drive);
[[nodiscard]] WriteMode DecodeWriteMode(const WriteParamsPage& page);

// What page 2Ah reports about speeds for the loaded medium's class.
struct SpeedReport {
  uint16_t MaxRead = 0;
  uint16_t CurrentRead = 0;
  uint16_t MaxWrite = 0;
  uint16_t CurrentWrite = 0;
  std::vector<uint16_t> WriteSpeeds;  // the write speed descriptors, fastest first
};
// Page 2Ah. `changeable` builds the changeable mask (all zero: nothing of it
// can be set).
[[nodiscard]] std::vector<uint8_t> CapabilitiesPage(const Identity& drive, const SpeedReport& speeds, bool locked,
                                                    bool changeable);

// Vendor page 30h: byte 2 bit 0 = buffer underrun protection enabled.
inline constexpr size_t Page30Length = 8;
[[nodiscard]] std::array<uint8_t, Page30Length> Page30(bool protectionOn, bool changeable);

} // namespace qnzb::vdrive
