#include "engine/image/IsoRecords.h"

#include <algorithm>
#include <cstring>

#include "engine/runtime/Strings.h"
#include "platform/System.h"

namespace qnzb {

void PutLE16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void PutBE16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v >> 8);
  at[1] = static_cast<uint8_t>(v);
}

void PutLE32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutBE32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void PutBoth16(uint8_t* at, uint16_t v) {
  PutLE16(at, v);
  PutBE16(at + 2, v);
}

void PutBoth32(uint8_t* at, uint32_t v) {
  PutLE32(at, v);
  PutBE32(at + 4, v);
}

uint16_t GetLE16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t GetLE32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
         (static_cast<uint32_t>(at[3]) << 24);
}

uint32_t GetBE32(const uint8_t* at) {
  return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
         (static_cast<uint32_t>(at[2]) << 8) | static_cast<uint32_t>(at[3]);
}

uint32_t Fit32(int64_t value, const char* what) {
  if (value < 0 || value > 0xFFFFFFFFll)
    throw EImageError(Format("%s %lld DOES NOT FIT A 32-BIT FIELD", what, static_cast<long long>(value)));
  return static_cast<uint32_t>(value);
}

void PutRecordingDate(uint8_t* at, TDateTime when, int16_t tzOffset) {
  if (tzOffset < -128 || tzOffset > 127)
    throw EImageError(Format("TIME ZONE OFFSET %d DOES NOT FIT", tzOffset));
  const TDateTimeParts p = DecodeDateTime(when);
  at[0] = static_cast<uint8_t>(std::clamp(p.Year - 1900, 0, 255));
  at[1] = static_cast<uint8_t>(p.Month);
  at[2] = static_cast<uint8_t>(p.Day);
  at[3] = static_cast<uint8_t>(p.Hour);
  at[4] = static_cast<uint8_t>(p.Minute);
  at[5] = static_cast<uint8_t>(p.Second);
  at[6] = static_cast<uint8_t>(static_cast<int8_t>(tzOffset));
}

void PutVolumeDate(uint8_t* at, TDateTime when) {
  std::string text = FormatDateTime("yyyymmddhhnnsszz", when);
  text.resize(16, ' ');
  std::memcpy(at, text.data(), 16);
  at[16] = 0;
}

static void PutRecord(uint8_t* at, const TDirRecord& r, int16_t tzOffset) {
  const size_t n = r.Identifier.size();
  at[0] = static_cast<uint8_t>(RecordLength(n));
  at[1] = 0;
  PutBoth32(at + 2, r.Extent);
  PutBoth32(at + 10, Fit32(r.DataLength, "DATA LENGTH"));
  if (r.ZeroDate)
    std::memset(at + 18, 0, 7);
  else
    PutRecordingDate(at + 18, r.Date, tzOffset);
  at[25] = r.Flags;
  at[26] = 0;
  at[27] = 0;
  PutBoth16(at + 28, 1);
  at[32] = static_cast<uint8_t>(n);
  std::memcpy(at + 33, r.Identifier.data(), n);
  if (n % 2 == 0)
    at[33 + n] = 0;
}

void AppendDirRecord(TBytes& out, const TDirRecord& record, int16_t tzOffset) {
  const int length = RecordLength(record.Identifier.size());
  if (length > 255)
    throw EImageError(Format("DIRECTORY RECORD OF %d BYTES IS TOO LONG", length));
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(length));
  PutRecord(out.data() + at, record, tzOffset);
}

void PutRootRecord(uint8_t* at, uint32_t extent, int64_t dataLength, TDateTime date, bool zeroDate,
                   int16_t tzOffset) {
  TDirRecord root;
  root.Extent = extent;
  root.DataLength = dataLength;
  root.Date = date;
  root.ZeroDate = zeroDate;
  root.Flags = 0x02;
  root.Identifier = std::string(1, '\0');
  PutRecord(at, root, tzOffset);
}

void AppendPathRecord(TBytes& out, std::string_view identifier, uint32_t extent, int32_t parentNumber,
                      bool littleEndian) {
  if (parentNumber < 1 || parentNumber > 65535)
    throw EImageError(Format("PARENT DIRECTORY NUMBER %d DOES NOT FIT", parentNumber));
  const size_t n = identifier.size();
  if (n == 0 || n > 255)
    throw EImageError(Format("PATH TABLE IDENTIFIER OF %zu BYTES DOES NOT FIT", n));
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(PathRecordLength(n)), 0);
  uint8_t* p = out.data() + at;
  p[0] = static_cast<uint8_t>(n);
  p[1] = 0;
  if (littleEndian) {
    PutLE32(p + 2, extent);
    PutLE16(p + 6, static_cast<uint16_t>(parentNumber));
  } else {
    PutBE32(p + 2, extent);
    PutBE16(p + 6, static_cast<uint16_t>(parentNumber));
  }
  std::memcpy(p + 8, identifier.data(), n);
}

void PutAText(uint8_t* at, std::string_view text, size_t width) {
  std::string t = UpperCase(text.substr(0, std::min(text.size(), width)));
  t.resize(width, ' ');
  std::memcpy(at, t.data(), width);
}

void PutJolietText(uint8_t* at, std::string_view text, size_t units) {
  std::u16string u = platform::AnsiToUtf16(text);
  u.resize(units, u' ');
  for (size_t i = 0; i < units; ++i)
    PutBE16(at + 2 * i, static_cast<uint16_t>(u[i]));
}

TBytes EncodeBootRecord(uint32_t catalogSector) {
  TBytes s(2048, 0);
  s[0] = 0;
  std::memcpy(s.data() + 1, "CD001", 5);
  s[6] = 1;
  // The boot system identifier El Torito fixes, word for word.
  static constexpr char system[] = "EL TORITO " "SPECIFI" "CATION";
  std::memcpy(s.data() + 7, system, sizeof system - 1);
  PutLE32(s.data() + 71, catalogSector);
  return s;
}

uint8_t BootMediaType(int32_t imageSectors) {
  switch (imageSectors) {
  case 600:
    return 1;
  case 720:
    return 2;
  case 1440:
    return 3;
  default:
    return 4;
  }
}

TBytes EncodeBootCatalog(uint32_t imageSector, int32_t imageSectors) {
  TBytes s(2048, 0);
  s[0] = 1;  // validation entry
  s[1] = 0;  // 80x86
  static constexpr char id[] = "Quenz CD/DVD Burner";
  std::memcpy(s.data() + 4, id, sizeof id - 1);
  s[30] = 0x55;
  s[31] = 0xAA;
  uint32_t sum = 0;
  for (int i = 0; i < 32; i += 2)
    sum += GetLE16(s.data() + i);
  PutLE16(s.data() + 28, static_cast<uint16_t>((65536 - sum % 65536) % 65536));
  s[32] = 0x88;  // bootable
  s[33] = BootMediaType(imageSectors);
  PutLE16(s.data() + 34, 0);
  s[36] = 0;
  PutLE16(s.data() + 38, 1);
  PutLE32(s.data() + 40, imageSector);
  return s;
}

} // namespace qnzb
