#pragma once
// A burner component in front of the virtual recorder: sessions built by our
// own image builder are written onto a virtual disc, so that reading them back
// exercises the same commands a real drive answers. Plus the few ISO 9660
// helpers the tests need to find, move and damage directory records.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device/FakeAspiManager.h"
#include "engine/image/IsoRecords.h"
#include "image/LayoutFixture.h"
#include "vdrive/Media.h"
#include "vdrive/Recorder.h"

namespace qnzb::test {

using TImage = std::vector<uint8_t>;

inline uint8_t* SectorOf(TImage& image, uint32_t lba) { return image.data() + static_cast<size_t>(lba) * 2048; }

// The first volume descriptor of `type` (1 primary, 2 Joliet) of an image
// that starts at sector 0; nullptr when there is none.
inline uint8_t* Descriptor(TImage& image, uint8_t type) {
  for (uint32_t s = 16; s < 37 && (s + 1) * 2048 <= image.size(); ++s) {
    uint8_t* d = SectorOf(image, s);
    if (std::memcmp(d + 1, "CD001", 5) != 0 || d[0] == 0xFF)
      return nullptr;
    if (d[0] == type)
      return d;
  }
  return nullptr;
}

// Byte offset in `image` of the record named `id` (bytes as recorded) in
// the directory at `extent`; 0 when not found.
inline size_t FindRecord(TImage& image, uint32_t extent, uint32_t length, const std::string& id) {
  for (uint32_t s = 0; s * 2048 < length; ++s) {
    const size_t base = static_cast<size_t>(extent + s) * 2048;
    for (size_t o = 0; o < 2048 && image[base + o] != 0;) {
      const uint8_t* r = image.data() + base + o;
      if (std::string(reinterpret_cast<const char*>(r + 33), r[32]) == id)
        return base + o;
      o += r[0];
    }
  }
  return 0;
}

// Moves an image built for sector 0 to `start`: every extent of the
// descriptors' root records and of the directory records gains `start`
// (extent 0, an empty file, stays 0).
inline void Relocate(TImage& image, uint32_t start) {
  auto patch = [start](uint8_t* record) {
    const uint32_t extent = GetLE32(record + 2);
    if (extent != 0)
      PutBoth32(record + 2, extent + start);
  };
  std::vector<std::pair<uint32_t, uint32_t>> dirs;
  for (uint8_t type : {uint8_t{1}, uint8_t{2}}) {
    if (uint8_t* d = Descriptor(image, type)) {
      dirs.emplace_back(GetLE32(d + 158), GetLE32(d + 166));
      patch(d + 156);
    }
  }
  std::set<uint32_t> seen;
  while (!dirs.empty()) {
    const auto [extent, length] = dirs.back();
    dirs.pop_back();
    if (!seen.insert(extent).second)
      continue;
    for (uint32_t s = 0; s * 2048 < length; ++s) {
      uint8_t* sector = SectorOf(image, extent + s);
      for (size_t o = 0; o < 2048 && sector[o] != 0; o += sector[o]) {
        uint8_t* r = sector + o;
        const bool self = r[32] == 1 && (r[33] == 0 || r[33] == 1);
        if ((r[25] & 0x02) && !self)
          dirs.emplace_back(GetLE32(r + 2), GetLE32(r + 10));
        patch(r);
      }
    }
  }
}

// One directory record as the builder writes it.
inline std::string Record(uint32_t extent, uint32_t size, uint8_t flags, const std::string& id,
                          const uint8_t date[6] = nullptr) {
  std::string r(static_cast<size_t>(RecordLength(id.size())), '\0');
  auto* p = reinterpret_cast<uint8_t*>(r.data());
  p[0] = static_cast<uint8_t>(r.size());
  PutBoth32(p + 2, extent);
  PutBoth32(p + 10, size);
  const uint8_t fallback[6] = {120, 6, 15, 12, 30, 45};  // 2020-06-15 12:30:45
  std::memcpy(p + 18, date ? date : fallback, 6);
  p[25] = flags;
  PutBoth16(p + 28, 1);
  p[32] = static_cast<uint8_t>(id.size());
  std::memcpy(p + 33, id.data(), id.size());
  return r;
}

class SessionDiscTest : public LayoutTest {
protected:
  SessionDiscTest() {
    burner.HaId = burner.Target = burner.Lun = 0;
    manager.Respond = [this](SRB_ExecSCSICmd& r) {
      const ScsiDirection direction = (r.SRB_Flags & SRB_DIR_IN)    ? ScsiDirection::In
                                      : (r.SRB_Flags & SRB_DIR_OUT) ? ScsiDirection::Out
                                                                    : ScsiDirection::None;
      std::span<uint8_t> data(r.SRB_BufPointer, r.SRB_BufPointer ? r.SRB_BufLen : 0);
      const ScsiOutcome outcome = recorder.Execute(std::span<const uint8_t>(r.CDBByte, r.SRB_CDBLen), data,
                                                   direction, std::span<uint8_t>(r.SenseArea, SENSE_LEN));
      r.SRB_TargStat = outcome.Status;
      r.SRB_Status = outcome.Status == ScsiStatusGood ? SS_COMP : SS_ERR;
    };
    Insert("dvd+r");
  }

  void Insert(const char* medium) { recorder.Insert(*vdrive::ParseMediumName(medium)); }

  // Builds the layout as an image starting at sector 0 and returns it.
  TImage Build() {
    const std::string file = tmp.at("session" + std::to_string(++built_) + ".iso");
    EXPECT_EQ(burner.BuildImageFile(file, true), 1);
    const std::string bytes = readFile(file);
    return TImage(bytes.begin(), bytes.end());
  }

  // The next writable address of the disc's open track.
  uint32_t NextWritable() {
    std::array<uint8_t, 34> info{};
    EXPECT_TRUE(burner.ReadDiscInformation(info));
    EXPECT_TRUE(burner.ReadTrackInformation(info[6]));
    return burner.TrackNextWritable();
  }

  void Write(uint32_t lba, const TImage& image, size_t first = 0, size_t count = SIZE_MAX) {
    count = std::min(count, image.size() / 2048 - first);
    for (size_t done = 0; done < count;) {
      const auto blocks = static_cast<uint16_t>(std::min<size_t>(32, count - done));
      ASSERT_TRUE(burner.Write10(static_cast<uint32_t>(lba + done), blocks, 0x50,
                                 std::span<const uint8_t>(image.data() + (first + done) * 2048, blocks * 2048u)))
          << burner.LastErrorText;
      done += blocks;
    }
  }

  // Writes `image` (built for sector 0) as the next session of a sequential
  // disc and closes it; `damage` may change the image once it is moved to its
  // place. Returns the session's start.
  template <typename Damage>
  uint32_t Burn(TImage image, Damage damage) {
    const uint32_t start = NextWritable();
    Relocate(image, start);
    damage(image, start);
    Write(start, image);
    EXPECT_TRUE(burner.CloseTrackSession(true, false, false)) << burner.LastErrorText;
    EXPECT_TRUE(burner.CloseTrackSession(false, false, false)) << burner.LastErrorText;
    return start;
  }
  uint32_t Burn(TImage image) {
    return Burn(std::move(image), [](TImage&, uint32_t) {});
  }

  [[nodiscard]] bool LoggedContaining(const std::string& part, uint8_t type) const {
    return std::any_of(log.begin(), log.end(), [&](const auto& line) {
      return line.second == type && line.first.find(part) != std::string::npos;
    });
  }

  TFakeAspiManager manager;
  vdrive::Recorder recorder;
  int built_ = 0;
};

} // namespace qnzb::test
