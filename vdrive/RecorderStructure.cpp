// DVD structures: READ DISC STRUCTURE for DVD media (formats 00h physical
// format information, 0Eh pre-recorded information of DVD-R/-RW, 11h ADIP of
// DVD+R/+RW and FFh the list of structures), with the MMC-5 layouts.

#include <vector>

#include "vdrive/Recorder.h"
#include "vdrive/RecorderInternal.h"

namespace qnzb::vdrive {

using namespace detail;

namespace {

// CANNOT READ MEDIUM - INCOMPATIBLE FORMAT: a DVD structure asked of a CD.
constexpr SenseCode IncompatibleFormat{SenseKeyIllegalRequest, 0x30, 0x02};

// Physical sector numbers of a single-layer DVD's data area start here.
constexpr uint32_t DataAreaStart = 0x030000;
constexpr uint32_t RamDataAreaStart = 0x031000;

constexpr char Manufacturer[] = "QNZBVR";

struct Book {
  uint8_t TypeVersion;  // book type << 4 | part version
  uint8_t LayerType;    // 1 embossed, 2 recordable, 4 rewritable
};

Book BookOf(MediumKind kind) {
  switch (kind) {
    case MediumKind::DvdRam: return {0x16, 0x04};
    case MediumKind::DvdMinusR: return {0x25, 0x02};
    case MediumKind::DvdMinusRw: return {0x32, 0x04};
    case MediumKind::DvdPlusRw: return {0x92, 0x04};
    case MediumKind::DvdPlusR: return {0xA1, 0x02};
    default: return {0x00, 0x01};
  }
}

bool HasPrePits(MediumKind kind) {
  return kind == MediumKind::DvdMinusR || kind == MediumKind::DvdMinusRw;
}

bool HasAdip(MediumKind kind) {
  return kind == MediumKind::DvdPlusR || kind == MediumKind::DvdPlusRw;
}

// The bytes of a structure after the 4-byte header.
std::vector<uint8_t> PhysicalFormat(const Disc& d) {
  const Book book = BookOf(d.Kind());
  const uint32_t start = d.Kind() == MediumKind::DvdRam ? RamDataAreaStart : DataAreaStart;
  // A closed disc ends where its recording ends; an open one reports the
  // recordable area the lead-in announces.
  const uint32_t blocks = d.Finalized() && d.RecordedEnd() > 0 ? d.RecordedEnd() : d.Capacity();
  BeWriter w(2048);
  w.U8(0, book.TypeVersion);
  w.U8(1, 0x02);  // 120 mm, 10.08 Mbit/s
  w.U8(2, book.LayerType);  // one layer, parallel track path
  w.U8(3, 0x10);  // 0.293 um/bit, 0.74 um/track
  w.U32(4, start);
  w.U32(8, start + blocks - 1);
  return std::move(w.vector());
}

std::vector<uint8_t> PreRecorded(const Disc& d) {
  // Fields 1 to 5 of the land pre-pits, each field ID, six bytes, reserved.
  BeWriter w(40);
  w.U8(0, 1);
  w.U8(1, 0x00);  // disc application code: general purpose
  w.U8(2, 0x00);  // disc physical code
  w.U24(3, DataAreaStart + d.Capacity() - 1);  // last address of the recordable area
  w.U8(6, BookOf(d.Kind()).TypeVersion & 0x0F);
  w.U8(8, 2);
  w.U8(16, 3);
  w.Text(17, 6, Manufacturer);
  w.U8(24, 4);
  w.Text(25, 6, "");
  w.U8(32, 5);
  return std::move(w.vector());
}

std::vector<uint8_t> Adip(const Disc& d) {
  BeWriter w(256);
  w.U8(0, BookOf(d.Kind()).TypeVersion);
  w.U8(1, 0x0F);  // 120 mm, rate not specified
  w.U8(2, BookOf(d.Kind()).LayerType);
  w.U8(3, 0x10);
  w.U32(4, DataAreaStart);
  w.U32(8, DataAreaStart + d.Capacity() - 1);
  w.Text(19, 8, Manufacturer);
  w.Text(27, 3, "001");  // media type
  return std::move(w.vector());
}

} // namespace

Reply Recorder::ReadDiscStructure(const Command& c) {
  const uint8_t mediaType = c.Byte(1) & 0x0F;
  const uint8_t layer = c.Byte(6);
  const uint8_t format = c.Byte(7);
  const uint16_t allocation = c.U16(8);
  if (mediaType != 0)
    return CdbError(1, 3);  // DVD structures only, no BD
  const Disc& d = state_.Medium;
  if (d.IsCd())
    return Check(IncompatibleFormat);
  // Structures that need the medium address its only layer.
  if (format != 0xFF && layer != 0)
    return CdbError(6);

  std::vector<uint8_t> body;
  switch (format) {
    case 0x00:
      body = PhysicalFormat(d);
      break;
    case 0x0E:
      if (!HasPrePits(d.Kind()))
        return CdbError(7);
      body = PreRecorded(d);
      break;
    case 0x11:
      if (!HasAdip(d.Kind()))
        return CdbError(7);
      body = Adip(d);
      break;
    case 0xFF: {
      // One descriptor a structure: format, SDS (sendable) and RDS
      // (readable) bits, the structure's length without its header.
      struct Entry {
        uint8_t Format;
        uint8_t Flags;
        uint16_t Length;
      };
      std::vector<Entry> list{{0x00, 0x40, 2048}};
      if (HasPrePits(d.Kind())) {
        list.push_back({0x0E, 0x40, 40});
        list.push_back({0x0F, 0x80, 18});  // the time stamp SEND DVD STRUCTURE takes
      }
      if (HasAdip(d.Kind()))
        list.push_back({0x11, 0x40, 256});
      list.push_back({0xFF, 0x40, static_cast<uint16_t>(4 * (list.size() + 1))});
      BeWriter w;
      for (size_t i = 0; i < list.size(); ++i) {
        w.U8(4 * i, list[i].Format);
        w.U8(4 * i + 1, list[i].Flags);
        w.U16(4 * i + 2, list[i].Length);
      }
      body = std::move(w.vector());
      break;
    }
    default:
      return CdbError(7);
  }
  BeWriter w(4);
  w.U16(0, static_cast<uint32_t>(body.size() + 2));
  w.Bytes(4, body);
  return SendIn(c, w.bytes(), allocation);
}

} // namespace qnzb::vdrive
