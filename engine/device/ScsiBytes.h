#pragma once
// Command descriptor blocks built from named fields, and bounds-checked
// big-endian readers for the replies drives send. SCSI puts every multi-byte
// field most significant byte first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qnzb {

// Additional sense codes (sense byte 12) and qualifiers (byte 13) the engine
// acts on.
inline constexpr uint8_t AscNotReady = 0x04;
inline constexpr uint8_t AscIncompatibleMedium = 0x30;
inline constexpr uint8_t AscMediumNotPresent = 0x3A;
inline constexpr uint8_t AscqTrayOpen = 0x02;

// A CDB of Length bytes (6, 10 or 12) with its opcode; the rest is zero
// until a field is set. Setting a field beyond the 16-byte block is ignored.
struct TCdb {
  TCdb(uint8_t opcode, uint8_t length) : Length(length) { Bytes[0] = opcode; }
  TCdb& Set(size_t at, uint8_t value) {
    if (at < Bytes.size())
      Bytes[at] = value;
    return *this;
  }
  TCdb& Be16(size_t at, uint16_t value) {
    return Set(at, static_cast<uint8_t>(value >> 8)).Set(at + 1, static_cast<uint8_t>(value));
  }
  TCdb& Be32(size_t at, uint32_t value) {
    return Be16(at, static_cast<uint16_t>(value >> 16)).Be16(at + 2, static_cast<uint16_t>(value));
  }
  std::array<uint8_t, 16> Bytes{};
  uint8_t Length;
};

// Fields of a reply; a field reaching beyond the data reads as 0.
[[nodiscard]] constexpr uint8_t ByteAt(std::span<const uint8_t> data, size_t at) {
  return at < data.size() ? data[at] : 0;
}
[[nodiscard]] constexpr uint16_t Be16At(std::span<const uint8_t> data, size_t at) {
  if (at > data.size() || data.size() - at < 2)
    return 0;
  return static_cast<uint16_t>(data[at] << 8 | data[at + 1]);
}
[[nodiscard]] constexpr uint32_t Be32At(std::span<const uint8_t> data, size_t at) {
  if (at > data.size() || data.size() - at < 4)
    return 0;
  return static_cast<uint32_t>(data[at]) << 24 | static_cast<uint32_t>(data[at + 1]) << 16 |
         static_cast<uint32_t>(data[at + 2]) << 8 | data[at + 3];
}

} // namespace qnzb
