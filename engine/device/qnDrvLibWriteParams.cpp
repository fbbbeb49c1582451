// The write parameters page (mode page 05h): read from the drive, set up for
// the loaded medium kind and sent back before every write, blank and free
// space query. Bytes 16-51 (catalog number, ISRC, sub-header) go back as the
// drive sent them.

#include "engine/device/qnDrvLib.h"

#include <algorithm>

namespace qnzb {

namespace {

constexpr size_t PageBytes = 54;
constexpr size_t SentPageBytes = 52;
constexpr size_t HeaderBytes = 8;  // mode parameter header (10), no block descriptor

// Where page 05h starts in a MODE SENSE (10) reply: after a block
// descriptor, after the header, or one byte early for drives that send a
// short header. Unrecognised: after the header.
size_t PageOffset(std::span<const uint8_t> reply) {
  for (const size_t at : {size_t{16}, size_t{8}, size_t{7}})
    if (reply[at] == 0x05)
      return at;
  return 8;
}

void Be32Into(std::span<uint8_t> page, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i)
    page[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

} // namespace

bool TSCSIDevice::SetWriteParameters(bool TestWrite, bool Underrun, uint8_t Kind) {
  if (Kind == MediaDvdRam)
    return true;
  alignas(4) std::array<uint8_t, 512> reply{};
  if (!ModeSense10(0x05, reply, false, static_cast<uint16_t>(reply.size())))
    return false;
  auto& page = WriteParamsPage;
  const size_t at = PageOffset(reply);
  std::copy_n(reply.begin() + static_cast<std::ptrdiff_t>(at), PageBytes, page.begin());

  page[1] = 50;
  if (Kind == MediaDvdR) {
    page[2] = 0x60;  // BUFE, LS_V, incremental (packet) writing
    page[3] = 0xE5;  // multi-session 11b, fixed packets, track mode 5
    page[5] = 16;
    Be32Into(page, 10, 16);
  } else {
    page[2] = 0x01;  // track at once
    page[3] = 0x04;  // track mode 4
    page[5] = 0;
    Be32Into(page, 10, 0);
  }
  page[4] = 0x08;  // mode 1, 2048-byte blocks
  if (Kind == MediaDvdPlusRw || Kind == MediaDvdPlusR) {
    page[2] = 0x22;
    page[3] |= 0xC0;
  }
  if (QuirkLinkSize)
    page[2] |= 0x20;
  if (Kind == MediaDvdR || Kind == MediaDvdRw || Kind == MediaDvdRwRestricted || Kind == MediaDvdRwSequential ||
      Kind == MediaDvdPlusR) {
    page[3] |= 0xE0;
  } else if (!TestWrite && !FinalizeDisc) {
    page[3] |= 0xC0;  // a next session is allowed
  } else if ((page[3] & 0xC0) == 0xC0) {
    page[3] &= 0x3F;
  }
  if ((Capabilities & CapUnderrunProtection) != 0 && Underrun)
    page[2] |= 0x40;
  else
    page[2] &= ~0x40;
  if ((Capabilities & CapWriteTest) != 0 && TestWrite)
    page[2] |= 0x10;
  else
    page[2] &= ~0x10;
  std::fill(page.begin() + 6, page.begin() + 10, uint8_t{0});
  if (Kind == MediaDvdPlusR)
    Be32Into(page, 10, 16);
  if (Kind == MediaDvdRwRestricted || Kind == MediaDvdRwSequential) {
    // Sequential recording keeps its test write: without the bit a "test"
    // records for real. Restricted overwrite has none to keep.
    page[2] = static_cast<uint8_t>(0x20 | (Kind == MediaDvdRwSequential ? page[2] & 0x10 : 0));
    page[3] = 0xC5;
    page[5] = 16;
  }
  if (Kind == MediaDvdPlusR)
    page[3] = 0xC4;
  if (Kind == MediaDvdPlusRw) {
    page[3] = 0x04;
    page[5] = 16;
  }
  page[14] = 0;
  page[15] = 150;  // audio pause length

  alignas(4) std::array<uint8_t, HeaderBytes + SentPageBytes> list{};
  std::copy_n(page.begin(), SentPageBytes, list.begin() + HeaderBytes);
  return ModeSelect10(list);
}

} // namespace qnzb
