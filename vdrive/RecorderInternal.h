#pragma once
// Shared by the recorder's command files only: the command and reply records
// and the helpers that build replies (sense with field pointers, data-in
// truncated to the allocation length and the host's buffer).

#include <cstdint>
#include <span>

#include "engine/device/ScsiSense.h"
#include "vdrive/Bytes.h"
#include "vdrive/Recorder.h"

namespace qnzb::vdrive::detail {

struct Command {
  std::span<const uint8_t> Cdb;   // at least as long as the opcode's CDB
  std::span<uint8_t> In;          // the host's buffer for data from the drive
  std::span<const uint8_t> Out;   // the host's buffer for data to the drive

  [[nodiscard]] uint8_t Byte(size_t i) const { return i < Cdb.size() ? Cdb[i] : 0; }
  [[nodiscard]] bool Bit(size_t i, int bit) const { return (Byte(i) >> bit) & 1; }
  [[nodiscard]] uint16_t U16(size_t i) const { return BeReader(Cdb).U16(i); }
  [[nodiscard]] uint32_t U32(size_t i) const { return BeReader(Cdb).U32(i); }
};

struct Reply {
  uint8_t Status = ScsiStatusGood;
  FixedSense Sense;
  uint32_t Transferred = 0;
  bool Overrun = false;
};

[[nodiscard]] inline Reply Good() {
  return {};
}

[[nodiscard]] inline Reply Check(SenseCode code, SenseKeySpecific specific = {}) {
  Reply r;
  r.Status = ScsiStatusCheckCondition;
  r.Sense.Code = code;
  r.Sense.Specific = specific;
  return r;
}

// CHECK CONDITION with the INFORMATION field set (the block in error).
[[nodiscard]] inline Reply CheckAt(SenseCode code, uint32_t information) {
  Reply r = Check(code);
  r.Sense.InformationValid = true;
  r.Sense.Information = information;
  return r;
}

// ILLEGAL REQUEST, INVALID FIELD IN CDB, pointing at the field.
[[nodiscard]] inline Reply CdbError(uint16_t byte, int8_t bit = -1) {
  return Check(sense::InvalidFieldInCdb, {SenseKeySpecific::Kind::FieldPointer, true, byte, bit, 0});
}

// ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST, pointing at the field.
[[nodiscard]] inline Reply ParamError(size_t byte, int8_t bit = -1) {
  return Check(sense::InvalidFieldInParameterList,
               {SenseKeySpecific::Kind::FieldPointer, false, static_cast<uint16_t>(byte), bit, 0});
}

// The host offered less data than the command transfers.
[[nodiscard]] inline Reply DataPhase() {
  Reply r = Check(sense::DataPhaseError);
  r.Overrun = true;
  return r;
}

// Sends `response` cut to the allocation length; a host buffer shorter than
// that gets what fits and the reply notes the overrun.
[[nodiscard]] inline Reply SendIn(const Command& c, std::span<const uint8_t> response, size_t allocation) {
  const size_t wanted = response.size() < allocation ? response.size() : allocation;
  const size_t n = wanted < c.In.size() ? wanted : c.In.size();
  for (size_t i = 0; i < n; ++i)
    c.In[i] = response[i];
  Reply r;
  r.Transferred = static_cast<uint32_t>(n);
  r.Overrun = n < wanted;
  return r;
}

// Logical block address <-> CD minutes, seconds, frames (75 frames a second,
// LBA 0 at 00:02:00; addresses before it are in the lead-in).
struct Msf {
  uint8_t M, S, F;
};
[[nodiscard]] inline Msf ToMsf(int64_t lba) {
  int64_t frames = lba >= -150 ? lba + 150 : lba + 450'150;
  if (frames < 0)
    frames = 0;
  return {static_cast<uint8_t>(frames / 4500 % 256), static_cast<uint8_t>(frames / 75 % 60),
          static_cast<uint8_t>(frames % 75)};
}
[[nodiscard]] inline uint32_t MsfField(int64_t lba) {
  const Msf m = ToMsf(lba);
  return static_cast<uint32_t>(m.M) << 16 | static_cast<uint32_t>(m.S) << 8 | m.F;
}

// The lead-in start our CD media carry in their ATIP (97:15:00).
inline constexpr int64_t CdLeadInStart = (97 * 60 + 15) * 75 - 450'150;

} // namespace qnzb::vdrive::detail
