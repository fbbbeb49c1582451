#pragma once
// Encoders of the on-disc records of ISO 9660 with Joliet and El Torito:
// numbers in both byte orders, dates, directory records, path table records,
// volume descriptors and the boot catalog. Plain functions over byte buffers;
// a value that does not fit its field throws EImageError.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/runtime/DateTime.h"

namespace qnzb {

// A value does not fit its on-disc field; the metadata build stops.
class EImageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

using TBytes = std::vector<uint8_t>;

// For readers of directory sectors: a record starts below this offset of its
// sector, and none is shorter than this.
inline constexpr uint32_t RecordScanEnd = 2015;
inline constexpr uint32_t MinRecordLength = 34;

void PutLE16(uint8_t* at, uint16_t v);
void PutBE16(uint8_t* at, uint16_t v);
void PutLE32(uint8_t* at, uint32_t v);
void PutBE32(uint8_t* at, uint32_t v);
// Little-endian copy followed by the big-endian copy.
void PutBoth16(uint8_t* at, uint16_t v);
void PutBoth32(uint8_t* at, uint32_t v);
[[nodiscard]] uint16_t GetLE16(const uint8_t* at);
[[nodiscard]] uint32_t GetLE32(const uint8_t* at);
[[nodiscard]] uint32_t GetBE32(const uint8_t* at);

// A 64-bit value for a 32-bit field; throws EImageError naming `what` when it
// is negative or 2^32 or more.
[[nodiscard]] uint32_t Fit32(int64_t value, const char* what);

// The seven-byte recording date of directory records; the year is kept
// within 1900..2155, the range the field can hold.
void PutRecordingDate(uint8_t* at, TDateTime when, int16_t tzOffset);
// The seventeen-byte volume date: "yyyymmddhhnnsszz" cut or space-padded to
// 16 characters, then a zero time zone byte.
void PutVolumeDate(uint8_t* at, TDateTime when);

// Record length of a directory record with an identifier of n bytes.
[[nodiscard]] inline int RecordLength(size_t n) { return static_cast<int>(33 + n + (n % 2 == 0 ? 1 : 0)); }
// Path table record length with an identifier of n bytes.
[[nodiscard]] inline int PathRecordLength(size_t n) { return static_cast<int>(8 + n + (n % 2)); }

struct TDirRecord {
  uint32_t Extent = 0;
  int64_t DataLength = 0;
  TDateTime Date = 0;
  bool ZeroDate = false;  // the descriptors' root record carries an all-zero date
  uint8_t Flags = 0;
  std::string Identifier;  // bytes as written
};
// Appends one directory record; throws when the record would exceed 255
// bytes or the data length 32 bits.
void AppendDirRecord(TBytes& out, const TDirRecord& record, int16_t tzOffset);
// Writes the 34-byte record of a root (identifier 00h) at `at`.
void PutRootRecord(uint8_t* at, uint32_t extent, int64_t dataLength, TDateTime date, bool zeroDate,
                   int16_t tzOffset);

// Appends one path table record (type L when littleEndian, else type M).
void AppendPathRecord(TBytes& out, std::string_view identifier, uint32_t extent, int32_t parentNumber,
                      bool littleEndian);

// Upper-cases (ASCII), pads with spaces and cuts `text` to `width` bytes.
void PutAText(uint8_t* at, std::string_view text, size_t width);
// `text` space-padded to `units` characters, as UTF-16 big-endian.
void PutJolietText(uint8_t* at, std::string_view text, size_t units);

// The El Torito boot record volume descriptor (one sector).
[[nodiscard]] TBytes EncodeBootRecord(uint32_t catalogSector);
// The boot catalog sector: validation entry and the initial/default entry.
[[nodiscard]] TBytes EncodeBootCatalog(uint32_t imageSector, int32_t imageSectors);
// Boot media type of an image of that many sectors: 1, 2, 3 for the 1.2,
// 1.44 and 2.88 MB diskettes, 4 (hard disk) otherwise.
[[nodiscard]] uint8_t BootMediaType(int32_t imageSectors);

} // namespace qnzb
