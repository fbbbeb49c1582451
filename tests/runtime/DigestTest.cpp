#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/runtime/Digest.h"

namespace qnzb {
namespace {

std::string Sha256Of(const std::string& text, size_t piece) {
  TSha256 sha;
  for (size_t at = 0; at < text.size(); at += piece)
    sha.Update(reinterpret_cast<const uint8_t*>(text.data()) + at, std::min(piece, text.size() - at));
  return sha.FinalHex();
}

TEST(Digest, Sha256KnownAnswersInAnyPieces) {
  const struct {
    std::string text;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors)
    for (const size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{4096}})
      EXPECT_EQ(Sha256Of(v.text, piece), v.digest) << v.text.size() << " bytes in pieces of " << piece;
}

TEST(Digest, SectorCheckSeesEveryChangedWord) {
  std::vector<uint8_t> sector(2048);
  for (size_t i = 0; i < sector.size(); ++i)
    sector[i] = static_cast<uint8_t>(i * 7);
  const uint32_t clean = SectorCheck(sector.data());
  for (size_t at = 0; at < sector.size(); at += 97) {
    sector[at] ^= 1;
    EXPECT_NE(SectorCheck(sector.data()), clean) << at;
    sector[at] ^= 1;
  }
  EXPECT_EQ(SectorCheck(sector.data()), clean);
}

} // namespace
} // namespace qnzb
