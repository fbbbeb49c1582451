// What medium is loaded and how it is filled: the medium kind, erasability,
// disc status, sessions, used, free and total space, and the disc summary of
// the sessions window. Drives answer these questions in many ways (or not at
// all), so each query falls back from one command to the next and degrades
// to 0 instead of failing.

#include "engine/device/qnDrvLib.h"

#include <algorithm>
#include <cstring>

#include "engine/device/ScsiBytes.h"

namespace qnzb {

std::atomic<uint8_t> CurrentMediaKind{MediaUnknown};

namespace {

constexpr uint32_t NoValue = 0xFFFFFFFF;
constexpr size_t ConfigurationLength = 114;
constexpr size_t TocLength = 114;
constexpr uint16_t BlockBytes = 2048;
// READ TOC format 0 from a track on: the header, that track's descriptor and
// the one after it (the next track, or the lead-out AAh).
constexpr size_t TocPairLength = 4 + 2 * 8;
constexpr uint8_t LeadOutTrack = 0xAA;
// What a closed CD session leaves before the first track of the next one: its
// lead-out (6750 blocks after the first session, 2250 after later ones), the
// next session's lead-in (4500) and the pre-gap (150).
constexpr uint32_t CdPreGap = 150;
constexpr uint32_t CdSessionGap(uint32_t session) {
  return (session == 1 ? 6750u : 2250u) + 4500u + CdPreGap;
}
// DVD media record whole ECC blocks of 16 sectors.
constexpr uint32_t DvdEccBlock = 16;

// Current profile (GET CONFIGURATION) -> medium kind.
uint8_t KindOfProfile(uint16_t profile) {
  switch (profile) {
    case 0x0008: return MediaCdRom;
    case 0x0009: return MediaCdR;
    case 0x000A: return MediaCdRw;
    case 0x0010: return MediaDvdRom;
    case 0x0011: return MediaDvdR;
    case 0x0012: return MediaDvdRam;
    case 0x0013: return MediaDvdRwRestricted;
    case 0x0014: return MediaDvdRwSequential;
    case 0x001A: return MediaDvdPlusRw;
    case 0x001B: return MediaDvdPlusR;
    case 0x0020: return 12;
    case 0x0021: return 13;
    case 0x0022: return 14;
    default: return MediaUnknown;
  }
}

struct TProfileText {
  uint16_t Profile;
  const char* Text;
  bool Erasable;
};

constexpr TProfileText ProfileTexts[] = {
    {0x0001, "Non-removable disk", false},
    {0x0002, "Removable disk", false},
    {0x0003, "MO Eraseable", true},
    {0x0004, "MO Write Once", false},
    {0x0005, "AS-MO", false},
    {0x0008, "CD-ROM", false},
    {0x0009, "CD-R", false},
    {0x000A, "CD-RW", true},
    {0x0010, "DVD-ROM", false},
    {0x0011, "DVD-R", false},
    {0x0012, "DVD-RAM", false},
    {0x0013, "DVD-RW Restricted Overwrite", true},
    {0x0014, "DVD-RW Sequential Recording", true},
    {0x001A, "DVD+RW", true},
    {0x001B, "DVD+R", false},
    {0x0020, "DDCD-ROM", false},
    {0x0021, "DDCD-R", false},
    {0x0022, "DDCD-RW", true},
};

// Disc status from byte 2 bits 0-1 of the disc information.
uint8_t StatusBits(uint8_t byte2) {
  return byte2 & 0x03;
}

bool IsIsoDescriptor(std::span<const uint8_t> sector) {
  return (sector[0] == 1 || sector[0] == 2) && std::memcmp(sector.data() + 1, "CD001", 5) == 0;
}

uint32_t Le32At(std::span<const uint8_t> data, size_t at) {
  return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
         static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
}

} // namespace

const std::array<std::string, 15>& MediaKindNames() {
  static const std::array<std::string, 15> names = {
      "UNKNOWN", "CD-ROM",  "CD-R",   "CD-RW",  "DVD-ROM",  "DVD-R",   "DVD-RAM", "DVD-RW",
      "DVD-RW",  "DVD-RW",  "DVD+RW", "DVD+R",  "DDCD-ROM", "DDCD-R",  "DDCD-RW"};
  return names;
}

uint32_t TSCSIDevice::TrackStart() const { return Be32At(TrackInfo, 8); }
uint32_t TSCSIDevice::TrackNextWritable() const { return Be32At(TrackInfo, 12); }
uint32_t TSCSIDevice::TrackFreeBlocks() const { return Be32At(TrackInfo, 16); }
uint32_t TSCSIDevice::TrackFixedPacketSize() const { return Be32At(TrackInfo, 20); }
uint32_t TSCSIDevice::TrackSize() const { return Be32At(TrackInfo, 24); }
uint32_t TSCSIDevice::TrackLastRecorded() const { return Be32At(TrackInfo, 28); }

bool TSCSIDevice::ReadAtip() {
  Atip.fill(0);
  return ReadTocPmaAtip(4, Atip, 0, true, 0);
}

uint32_t TSCSIDevice::AtipLeadOut() const {
  return static_cast<uint32_t>(Atip[12]) * 4500 + static_cast<uint32_t>(Atip[13]) * 75 + Atip[14];
}

uint8_t TSCSIDevice::MediaKind() {
  uint8_t kind = MediaUnknown;
  alignas(4) std::array<uint8_t, ConfigurationLength> config{};
  if (GetConfiguration(2, 0, config))
    kind = KindOfProfile(Be16At(config, 6));
  if (kind == MediaUnknown && ReadAtip()) {
    // ATIP byte 6: bit 7 a recordable disc, bit 6 its rewritable subtype.
    if ((Atip[6] & 0x80) == 0)
      kind = MediaCdRom;
    else
      kind = (Atip[6] & 0x40) != 0 ? MediaCdRw : MediaCdR;
  }
  if (kind == MediaUnknown) {
    alignas(4) std::array<uint8_t, 56> info{};
    if (ReadDiscInformation(info))
      kind = (info[2] & 0x10) != 0 ? MediaCdRw : MediaCdR;
  }
  if (kind == MediaUnknown && TestUnitReady(5000))
    kind = MediaCdRom;
  return kind;
}

bool TSCSIDevice::IsErasable() {
  DiscInformation.fill(0);
  if (ReadDiscInformation(DiscInformation))
    return (DiscInformation[2] & 0x10) != 0;
  const uint8_t kind = MediaKind();
  CurrentMediaKind = kind;
  return kind == MediaDvdRam || kind == MediaDvdRwRestricted || kind == MediaDvdRwSequential ||
         kind == MediaDvdPlusRw;
}

int16_t TSCSIDevice::DiscStatus() {
  DiscInformation.fill(0);
  if (!ReadDiscInformation(DiscInformation))
    return -1;
  return StatusBits(DiscInformation[2]);
}

uint16_t TSCSIDevice::SessionCount() {
  DiscInformation.fill(0);
  if (!ReadDiscInformation(DiscInformation)) {
    // A drive without READ DISC INFORMATION still has the table of
    // contents: its last complete session (format 1, byte 3).
    alignas(4) std::array<uint8_t, 12> sessions{};
    return ReadTocPmaAtip(1, sessions, 0, false, 0) ? sessions[3] : uint16_t{0};
  }
  const uint8_t status = StatusBits(DiscInformation[2]);
  const uint8_t lastSession = (DiscInformation[2] >> 2) & 0x03;
  // Callers look at byte 2 for the last session's state.
  DiscInformation[2] = static_cast<uint8_t>((DiscInformation[2] & ~0x03) | lastSession);
  if (status == 0)
    return 0;
  uint16_t sessions = DiscInformation[4];
  // An empty last session holds nothing yet; an incomplete or damaged one
  // holds what a burn that never ended wrote, which no reader can use: a
  // session counted here is one to import, list and append after.
  if (lastSession != 3 && sessions > 0)
    --sessions;
  return sessions;
}

bool TSCSIDevice::UnfinishedSession(TUnfinishedSession& Found) {
  Found = {};
  const uint8_t kind = MediaKind();
  // Overwritable media keep no sessions to leave unfinished.
  if (kind == MediaDvdRam || kind == MediaDvdPlusRw || kind == MediaDvdRwRestricted)
    return false;
  DiscInformation.fill(0);
  if (!ReadDiscInformation(DiscInformation))
    return false;
  const uint8_t lastSession = (DiscInformation[2] >> 2) & 0x03;
  if (lastSession != 1 && lastSession != 2)
    return false;
  // Disc information: sessions (LSB 4, MSB 9), first track in the last
  // session (5, 10), last track in it (6, 11).
  Found.Session = static_cast<uint16_t>(DiscInformation[9] << 8 | DiscInformation[4]);
  const auto first = static_cast<uint16_t>(DiscInformation[10] << 8 | DiscInformation[5]);
  Found.LastTrack = static_cast<uint16_t>(DiscInformation[11] << 8 | DiscInformation[6]);
  if (!ReadTrackInformation(first))
    return true;
  Found.Start = TrackStart();
  if (!ReadTrackInformation(Found.LastTrack))
    return true;
  const uint32_t next = TrackNextWritable();
  Found.Written = next > Found.Start ? next - Found.Start : 0;
  return true;
}

bool TSCSIDevice::CloseUnfinishedSession() {
  TUnfinishedSession found;
  if (!UnfinishedSession(found))
    return true;
  const uint8_t kind = CurrentMediaKind;
  // The disc stays open for the session to come: CDs take the multi-session
  // field of the write parameters into the close.
  const bool finalize = FinalizeDisc;
  FinalizeDisc = false;
  SetWriteParameters(false, false, kind);
  FinalizeDisc = finalize;
  // Close the open track (function 1), then the session (function 2); a
  // recovery has no user waiting on a burn's last steps to spare polls for.
  CloseTrackSession(false, 1, 0, static_cast<uint8_t>(found.LastTrack >> 8),
                    static_cast<uint8_t>(found.LastTrack & 0xFF));
  WaitUntilReady(240000, 500);
  CloseTrackSession(false, 2, 0, 0, 0);
  WaitUntilReady(240000, 500);
  return !UnfinishedSession(found);
}

uint8_t TSCSIDevice::SpacePreamble(uint8_t& lastTrack) {
  const uint8_t kind = MediaKind();
  // Sent as for a closed disc: some drives report their free space by the
  // multi-session field of the page.
  const bool finalize = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(false, false, kind);
  FinalizeDisc = finalize;
  DiscInformation.fill(0);
  ReadDiscInformation(DiscInformation);
  lastTrack = DiscInformation[6];
  return kind;
}

bool TSCSIDevice::ReadFormatCapacities(uint32_t& Capacity, uint32_t& BlockLength) {
  alignas(4) std::array<uint8_t, 248> list{};
  const bool ok = ReadFormatCapacities(std::span<uint8_t>(list));
  BlockLength = BlockBytes;
  const std::span<const uint8_t> reply(list);
  // Descriptor type 3 is the drive's largest capacity, reported when no
  // medium is loaded: nothing to take as the disc's size.
  if ((list[8] & 0x03) == 0x03) {
    Capacity = 0;
    return false;
  }
  const uint32_t current = Be32At(reply, 4);
  if (Be32At(reply, 8) == BlockBytes)
    Capacity = current;
  else if (Be32At(reply, 16) == BlockBytes || Be32At(reply, 16) == 0x98000000)
    Capacity = Be32At(reply, 12);
  else if (Be32At(reply, 24) == BlockBytes)
    Capacity = Be32At(reply, 20);
  else
    Capacity = current;
  return ok;
}

uint32_t TSCSIDevice::VolumeSizeAt(uint32_t Lba) {
  alignas(4) std::array<uint8_t, BlockBytes> sector{};
  return Read10(Lba, 1, sector) && IsIsoDescriptor(sector) ? Le32At(sector, 80) : 0;
}

uint32_t TSCSIDevice::ReadVolumeSize() {
  alignas(4) std::array<uint8_t, BlockBytes> sector{};
  for (uint32_t lba = 32; lba >= 16; --lba) {
    sector.fill(0);
    if (Read10(lba, 1, sector) && IsIsoDescriptor(sector))
      return Le32At(sector, 80);
  }
  return 0;
}

uint32_t TSCSIDevice::RecordedBlocks() {
  uint32_t lastLba = 0, blockLength = 0;
  if (!ReadCapacity(lastLba, blockLength) || lastLba >= 0x7F000001)
    return 0;
  return lastLba + 1;
}

bool TSCSIDevice::TrackExtent(uint32_t Track, uint32_t& Start, uint32_t& Size) {
  Start = Size = 0;
  if (ReadTrackInformation(Track)) {
    Start = TrackStart();
    Size = TrackSize();
    return true;
  }
  // Read-only drives need not have READ TRACK INFORMATION; the table of
  // contents has the start of every track of the complete sessions.
  if (Track == 0 || Track >= LeadOutTrack)
    return false;
  alignas(4) std::array<uint8_t, TocPairLength> toc{};
  if (!ReadTocPmaAtip(0, toc, static_cast<uint8_t>(Track), false, 0))
    return false;
  const std::span<const uint8_t> reply(toc);
  const uint32_t start = Be32At(reply, 8);
  const uint32_t end = Be32At(reply, 16);
  if (Be16At(reply, 0) + 2u < TocPairLength || toc[6] != Track || end <= start)
    return false;
  Start = start;
  Size = end - start;
  if (toc[14] == LeadOutTrack)
    return true;
  // The next track starts the next session (sessions and tracks correspond
  // one to one), after what closing this one left on the disc.
  if (IsDvdKind(MediaKind())) {
    // Borders differ by drive and medium; the session's volume ends where
    // its data ends.
    const uint32_t volumeEnd = VolumeSizeAt(start + 16);
    if (volumeEnd > start && volumeEnd <= end)
      Size = std::min(Size, (volumeEnd - start + DvdEccBlock - 1) / DvdEccBlock * DvdEccBlock);
  } else {
    const uint32_t gap = CdSessionGap(Track);
    Size -= Size > gap ? gap : std::min(Size, CdPreGap);
  }
  return true;
}

uint32_t TSCSIDevice::UsedSpace() {
  uint8_t track = 0;
  const uint8_t kind = SpacePreamble(track);
  if (IsDvdKind(kind)) {
    // A read-only drive may lack READ TRACK INFORMATION.
    if (!ReadTrackInformation(track))
      return RecordedBlocks();
    if (TrackSize() == NoValue)
      return 0;
    if (kind == MediaDvdRwRestricted || kind == MediaDvdRwSequential) {
      uint32_t capacity = 0, blockLength = 0;
      if (ReadFormatCapacities(capacity, blockLength))
        return TrackSize() == TrackFreeBlocks() ? 0 : TrackSize();
      return TrackNextWritable();
    }
    if (kind == MediaDvdRam || kind == MediaDvdPlusRw)
      return ReadVolumeSize();
    // A closed track (a closed or pressed disc) has no next writable
    // address (NWA_V, byte 7 bit 0): the disc is as full as it is recorded.
    return (TrackInfo[7] & 0x01) != 0 ? TrackNextWritable() : RecordedBlocks();
  }
  const uint16_t sessions = SessionCount();
  if (ReadTrackInformation(sessions + 1u)) {
    const uint32_t used = TrackNextWritable() == NoValue ? TrackSize() : TrackNextWritable();
    if (sessions + 1u == 1 || used != 0)
      return used;
  }
  uint32_t lastLba = 0, blockLength = 0;
  if (!ReadCapacity(lastLba, blockLength))
    return ReadTrackInformation(SessionCount() + 1u) ? TrackFreeBlocks() : 0;
  if (lastLba < 0x7F000001)
    return lastLba;
  uint32_t capacity = 0;
  return ReadFormatCapacities(capacity, blockLength) ? capacity : 0;
}

uint32_t TSCSIDevice::FreeSpace() {
  uint8_t track = 0;
  const uint8_t kind = SpacePreamble(track);
  if (IsDvdKind(kind)) {
    if (!ReadTrackInformation(track))
      return 0;
    if (kind == MediaDvdRwRestricted) {
      if (TrackNextWritable() != 0)
        return TrackFreeBlocks();
      uint32_t capacity = 0, blockLength = 0;
      if (ReadFormatCapacities(capacity, blockLength))
        return TrackSize() == TrackFreeBlocks() ? TrackFreeBlocks() : capacity - std::min(capacity, TrackSize());
    } else if (kind == MediaDvdRam || kind == MediaDvdPlusRw) {
      const uint32_t size = TrackSize();
      return size - std::min(size, ReadVolumeSize());
    }
    if (TrackSize() == NoValue)
      return 0;
    return TrackLastRecorded() == 0 ? TrackSize() : TrackFreeBlocks();
  }
  const bool finalize = FinalizeDisc;
  FinalizeDisc = true;
  SetWriteParameters(false, false, kind);
  FinalizeDisc = finalize;
  if (DiscStatus() == 2)
    return 0;
  DiscInformation.fill(0);
  ReadDiscInformation(DiscInformation);
  track = DiscInformation[6];
  if (ReadTrackInformation(track) || ReadTrackInformation(track))
    return std::max(TrackFreeBlocks(), TrackSize());
  return 0;
}

uint32_t TSCSIDevice::DiscSize() {
  uint8_t track = 0;
  const uint8_t kind = SpacePreamble(track);
  uint32_t size = 0;
  if (IsDvdKind(kind)) {
    if (!ReadTrackInformation(track))
      return RecordedBlocks();
    uint32_t capacity = 0, blockLength = 0;
    const uint32_t free = TrackFreeBlocks(), next = TrackNextWritable();
    if ((kind == MediaDvdRam || kind == MediaDvdRwRestricted || kind == MediaDvdPlusRw) &&
        ReadFormatCapacities(capacity, blockLength))
      size = capacity;
    else
      size = free + next;
    // Nothing left to write and no next address: a closed or pressed disc
    // is the size it is recorded.
    if (size == 0)
      size = RecordedBlocks();
  } else {
    const uint16_t sessions = SessionCount();
    uint32_t capacity = 0, blockLength = 0;
    if (ReadAtip()) {
      size = AtipLeadOut();
      uint32_t lastLba = 0;
      if (size < 20000 && ReadCapacity(lastLba, blockLength) && lastLba > size)
        size = lastLba;
    } else if (!ReadFormatCapacities(capacity, blockLength)) {
      if (ReadTrackInformation(sessions))
        size = TrackFreeBlocks() + TrackStart();
      else if (ReadFormatCapacities(capacity, blockLength))
        size = capacity;
    } else {
      // FFFD0001h: a blank disc's capacity is not known yet; the next track's
      // free blocks tell it.
      const bool unknown = capacity == 0xFFFD0001;
      size = unknown ? 0 : capacity;
      if (ReadTrackInformation(unknown ? sessions + 1u : sessions))
        size = TrackFreeBlocks() + TrackStart();
    }
    // A pressed CD (no ATIP) in a drive that has neither READ FORMAT
    // CAPACITIES nor READ TRACK INFORMATION.
    if (size == 0)
      size = RecordedBlocks();
  }
  return size == NoValue ? UsedSpace() : size;
}

void TSCSIDevice::GetDiscInfo(TDisc& Disc) {
  TDisc disc;
  if (!TestUnitReady(5000)) {
    WaitUntilReady(3000, 5000);
    if (!TestUnitReady(5000))
      return;
  }
  disc.MediumPresent = true;

  alignas(4) std::array<uint8_t, TocLength> toc{};
  if (ReadTocPmaAtip(0, toc, 0, false, 0)) {
    const uint8_t lastTrack = toc[3];
    toc.fill(0);
    ReadTocPmaAtip(0, toc, lastTrack, false, 0);
  }
  alignas(4) std::array<uint8_t, 4> sessions{};
  if (ReadTocPmaAtip(1, sessions, 0, false, 0)) {
    disc.FirstSession = sessions[2];
    disc.LastSession = sessions[3];
  }
  disc.Capacity = ReadAtip() ? AtipLeadOut() : 0;
  disc.MediaText = "CD-ROM";

  alignas(4) std::array<uint8_t, ConfigurationLength> config{};
  if (GetConfiguration(2, 0, config)) {
    disc.Profile = Be16At(config, 6);
    const auto* entry = std::find_if(std::begin(ProfileTexts), std::end(ProfileTexts),
                                     [&](const TProfileText& t) { return t.Profile == disc.Profile; });
    disc.MediaText = entry != std::end(ProfileTexts) ? entry->Text : "???????";
    disc.Erasable = entry != std::end(ProfileTexts) && entry->Erasable;
    if (!ReadTrackInformation(IsDvdKind(KindOfProfile(disc.Profile)) ? 1u : 0xFFu)) {
      disc.RecordedSize = TrackNextWritable();
      disc.Capacity = TrackNextWritable() + TrackFreeBlocks();
      disc.BlockLength = BlockBytes;
      DiscInformation.fill(0);
      ReadDiscInformation(DiscInformation);
    } else {
      ReadFormatCapacities(disc.RecordedSize, disc.BlockLength);
      disc.Capacity = std::max(disc.Capacity, disc.RecordedSize);
    }
  }

  DiscInformation.fill(0);
  if (ReadDiscInformation(DiscInformation)) {
    disc.Status = StatusBits(DiscInformation[2]);
    disc.Erasable = (DiscInformation[2] & 0x10) != 0;
    disc.Reserved = 0;
  } else {
    ReadCapacity(disc.RecordedSize, disc.BlockLength);
    if (ReadTrackInformation(0))
      disc.MediaText = "CD-ROM";
  }
  disc.Capacity = std::max(disc.Capacity, disc.RecordedSize);
  Disc = disc;
}

bool TSCSIDevice::SendTimeStamp(TDateTime When) {
  const std::string stamp = FormatDateTime("yyyymmddhhnnss", When);
  alignas(4) std::array<uint8_t, 22> structure{};
  structure[1] = 20;  // data length
  std::copy_n(stamp.begin(), std::min<size_t>(stamp.size(), 14), structure.begin() + 8);
  return SendDvdStructure(0x0F, structure);
}

} // namespace qnzb
