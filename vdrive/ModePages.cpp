#include "vdrive/ModePages.h"

#include "vdrive/Bytes.h"

namespace qnzb::vdrive {

WriteParamsPage DefaultWriteParams() {
  WriteParamsPage p{};
  p[0] = 0x05;
  p[1] = static_cast<uint8_t>(WriteParamsLength - 2);
  p[2] = 0x01;  // track-at-once
  p[3] = 0x04;  // data track, recorded uninterrupted
  p[4] = 0x08;  // mode 1, 2048 bytes
  p[14] = 0x00;
  p[15] = 150;  // audio pause length
  return p;
}

WriteParamsPage WriteParamsChangeable(const Identity& drive) {
  WriteParamsPage m{};
  m[0] = 0x05;
  m[1] = static_cast<uint8_t>(WriteParamsLength - 2);
  m[2] = static_cast<uint8_t>(0x2F | (drive.UnderrunProtection ? 0x40 : 0x00) | (drive.TestWrite ? 0x10 : 0x00));
  m[3] = 0xFF;  // multi-session, FP, copy, track mode
  m[4] = 0x0F;  // data block type
  m[5] = 0xFF;  // link size
  m[7] = 0x3F;  // host application code
  m[8] = 0xFF;  // session format
  for (size_t i = 10; i < WriteParamsLength; ++i)
    m[i] = 0xFF;  // packet size, audio pause, catalog number, ISRC, sub-header
  return m;
}

std::optional<size_t> CheckWriteParams(const WriteParamsPage& page, const WriteParamsPage& current,
                                       const Identity& drive) {
  const WriteParamsPage mask = WriteParamsChangeable(drive);
  for (size_t i = 2; i < WriteParamsLength; ++i)
    if ((page[i] ^ current[i]) & ~mask[i] & 0xFF)
      return i;
  // Write types: packet/incremental, track-at-once, session/disc-at-once.
  // Raw recording and layer jump are not offered.
  if ((page[2] & 0x0F) > 2)
    return 2;
  if ((page[3] >> 6) == 2)  // multi-session 10b is reserved
    return 3;
  const uint8_t blockType = page[4] & 0x0F;
  if (blockType > 13 || (blockType > 3 && blockType < 8))
    return 4;
  if (page[8] != 0x00 && page[8] != 0x10 && page[8] != 0x20)
    return 8;
  return std::nullopt;
}

WriteMode DecodeWriteMode(const WriteParamsPage& page) {
  WriteMode m;
  m.WriteType = page[2] & 0x0F;
  m.TestWrite = page[2] & 0x10;
  m.MultiSession = static_cast<uint8_t>(page[3] >> 6);
  m.FixedPacket = page[3] & 0x20;
  m.DataBlockType = page[4] & 0x0F;
  return m;
}

std::vector<uint8_t> CapabilitiesPage(const Identity& drive, const SpeedReport& speeds, bool locked, bool changeable) {
  const size_t descriptors = speeds.WriteSpeeds.size();
  const size_t length = 32 + 4 * descriptors;
  BeWriter w(length);
  w.U8(0, 0x2A);
  w.U8(1, static_cast<uint8_t>(length - 2));
  if (changeable)
    return std::move(w.vector());
  w.Bit(2, 0, drive.ReadCdR);
  w.Bit(2, 1, drive.ReadCdRw);
  w.Bit(2, 2, drive.ReadCdR || drive.ReadCdRw);  // method 2
  w.Bit(2, 3, drive.ReadDvdRom);
  w.Bit(2, 4, drive.ReadDvdMinus);
  w.Bit(2, 5, drive.ReadDvdRam);
  w.Bit(3, 0, drive.WriteCdR);
  w.Bit(3, 1, drive.WriteCdRw);
  w.Bit(3, 2, drive.TestWrite);
  w.Bit(3, 4, drive.WriteDvdMinusR || drive.WriteDvdMinusRw);
  w.Bit(3, 5, drive.WriteDvdRam);
  // Multi-session, mode 2 form 1 and 2, audio play; BUF.
  w.U8(4, static_cast<uint8_t>(0x71 | (drive.UnderrunProtection ? 0x80 : 0x00)));
  w.U8(5, 0x03);  // CD-DA commands, stream accurate
  // Tray loading mechanism, eject, lock; lock state.
  w.U8(6, static_cast<uint8_t>(0x29 | (locked ? 0x02 : 0x00)));
  w.U16(8, speeds.MaxRead);
  w.U16(10, 256);  // volume levels
  w.U16(12, drive.BufferKb > 0xFFFF ? 0xFFFF : drive.BufferKb);
  w.U16(14, speeds.CurrentRead);
  w.U16(18, speeds.MaxWrite);
  w.U16(20, speeds.CurrentWrite);
  w.U16(28, speeds.CurrentWrite);
  w.U16(30, static_cast<uint32_t>(descriptors));
  for (size_t i = 0; i < descriptors; ++i)
    w.U16(32 + 4 * i + 2, speeds.WriteSpeeds[i]);  // byte 1: rotation control CLV
  return std::move(w.vector());
}

std::array<uint8_t, Page30Length> Page30(bool protectionOn, bool changeable) {
  std::array<uint8_t, Page30Length> p{};
  p[0] = 0x30;
  p[1] = static_cast<uint8_t>(Page30Length - 2);
  p[2] = changeable ? 0x01 : (protectionOn ? 0x01 : 0x00);
  return p;
}

} // namespace qnzb::vdrive
