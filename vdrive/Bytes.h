#pragma once
// Big-endian fields of CDBs, parameter lists and responses. Reads past the end
// of the bytes yield 0 and mark the reader as short, so a lying length can
// never read outside its buffer; writes grow the response as needed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace qnzb::vdrive {

class BeReader {
public:
  explicit BeReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  [[nodiscard]] uint8_t U8(size_t offset) { return Fetch(offset, 1) ? bytes_[offset] : 0; }
  [[nodiscard]] uint16_t U16(size_t offset) {
    return Fetch(offset, 2) ? static_cast<uint16_t>(bytes_[offset] << 8 | bytes_[offset + 1]) : 0;
  }
  [[nodiscard]] uint32_t U24(size_t offset) {
    return Fetch(offset, 3) ? static_cast<uint32_t>(bytes_[offset]) << 16 | static_cast<uint32_t>(bytes_[offset + 1]) << 8 |
                                  bytes_[offset + 2]
                            : 0;
  }
  [[nodiscard]] uint32_t U32(size_t offset) {
    return Fetch(offset, 4) ? static_cast<uint32_t>(bytes_[offset]) << 24 | static_cast<uint32_t>(bytes_[offset + 1]) << 16 |
                                  static_cast<uint32_t>(bytes_[offset + 2]) << 8 | bytes_[offset + 3]
                            : 0;
  }
  // Bit `bit` (0 = least significant) of byte `offset`.
  [[nodiscard]] bool Bit(size_t offset, int bit) { return (U8(offset) >> bit) & 1; }

  [[nodiscard]] size_t size() const { return bytes_.size(); }
  // False once any read went past the end.
  [[nodiscard]] bool complete() const { return complete_; }

private:
  bool Fetch(size_t offset, size_t width) {
    if (offset > bytes_.size() || bytes_.size() - offset < width) {
      complete_ = false;
      return false;
    }
    return true;
  }

  std::span<const uint8_t> bytes_;
  bool complete_ = true;
};

// Builds a response: every Put grows the buffer to cover what it writes.
class BeWriter {
public:
  explicit BeWriter(size_t initialSize = 0) : bytes_(initialSize, 0) {}

  void U8(size_t offset, uint8_t value) { At(offset, 1)[0] = value; }
  void U16(size_t offset, uint32_t value) {
    uint8_t* p = At(offset, 2);
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
  }
  void U24(size_t offset, uint32_t value) {
    uint8_t* p = At(offset, 3);
    p[0] = static_cast<uint8_t>(value >> 16);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value);
  }
  void U32(size_t offset, uint32_t value) {
    uint8_t* p = At(offset, 4);
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
  }
  // Sets (or clears) bit `bit` of byte `offset`.
  void Bit(size_t offset, int bit, bool on) {
    uint8_t* p = At(offset, 1);
    if (on)
      p[0] = static_cast<uint8_t>(p[0] | (1u << bit));
    else
      p[0] = static_cast<uint8_t>(p[0] & ~(1u << bit));
  }
  // `text` left-aligned in a field of `width` bytes, padded with `pad`.
  void Text(size_t offset, size_t width, std::string_view text, uint8_t pad = ' ') {
    uint8_t* p = At(offset, width);
    for (size_t i = 0; i < width; ++i)
      p[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : pad;
  }
  void Bytes(size_t offset, std::span<const uint8_t> data) {
    if (data.empty())
      return;
    uint8_t* p = At(offset, data.size());
    for (size_t i = 0; i < data.size(); ++i)
      p[i] = data[i];
  }
  // Makes the response at least `size` bytes long.
  void Reserve(size_t size) {
    if (bytes_.size() < size)
      bytes_.resize(size, 0);
  }

  [[nodiscard]] size_t size() const { return bytes_.size(); }
  [[nodiscard]] std::span<const uint8_t> bytes() const { return bytes_; }
  [[nodiscard]] std::vector<uint8_t>& vector() { return bytes_; }

private:
  uint8_t* At(size_t offset, size_t width) {
    Reserve(offset + width);
    return bytes_.data() + offset;
  }

  std::vector<uint8_t> bytes_;
};

} // namespace qnzb::vdrive
