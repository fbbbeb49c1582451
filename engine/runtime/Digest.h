#pragma once
// Digests of what a job sends and reads back: SHA-256 of a whole stream (the
// number a user compares with common tools), and a cheap check value per
// 2048-byte sector that says which sector differs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qnzb {

class TSha256 {
public:
  TSha256();
  void Update(const uint8_t* data, size_t length);
  // The digest of everything given; the object then starts over.
  [[nodiscard]] std::array<uint8_t, 32> Final();
  // Final() as 64 lower-case hex digits.
  [[nodiscard]] std::string FinalHex();

private:
  void Block(const uint8_t* block);
  void Reset();

  std::array<uint32_t, 8> state_{};
  std::array<uint8_t, 64> pending_{};
  size_t pendingLength_ = 0;
  uint64_t totalBytes_ = 0;
};

// The check value of one 2048-byte sector: it names the sector that differs.
// A changed sector keeps its value with odds of about 2^-32; the stream's
// SHA-256 catches that case too.
[[nodiscard]] uint32_t SectorCheck(const uint8_t* sector);

} // namespace qnzb
