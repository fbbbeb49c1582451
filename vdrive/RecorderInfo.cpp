// Identification and disc information: INQUIRY, GET CONFIGURATION, READ DISC
// INFORMATION, READ TRACK INFORMATION, READ TOC/PMA/ATIP, READ CAPACITY, READ
// FORMAT CAPACITIES and READ BUFFER CAPACITY, with the MMC-5 response layouts.

#include <vector>

#include "vdrive/Recorder.h"
#include "vdrive/RecorderInternal.h"

namespace qnzb::vdrive {

using namespace detail;

namespace {

struct Feature {
  uint16_t Code;
  uint8_t Version;
  bool Persistent;
  bool Current;
  std::vector<uint8_t> Data;  // the bytes after the 4-byte feature header
};

// ADR 1 (Q sub-channel position), CONTROL 4 (data track, recorded
// uninterrupted): what MMC drives report for data tracks of CD and DVD alike.
constexpr uint8_t AdrControlData = 0x14;
// INQUIRY peripheral device type of a CD/DVD device.
constexpr uint8_t PeripheralCdDvd = 0x05;

} // namespace

Reply Recorder::Inquiry(const Command& c) {
  if (c.Bit(1, 1))
    return CdbError(1, 1);  // CmdDt is obsolete
  const Identity& id = state_.Config.Drive;
  const uint16_t allocation = c.U16(3);
  if (c.Bit(1, 0)) {
    BeWriter w;
    w.U8(0, PeripheralCdDvd);
    w.U8(1, c.Byte(2));
    if (c.Byte(2) == 0x00) {  // supported pages
      w.U16(2, serial_.empty() ? 1 : 2);
      w.U8(4, 0x00);
      if (!serial_.empty())
        w.U8(5, 0x80);
    } else if (c.Byte(2) == 0x80 && !serial_.empty()) {  // unit serial number
      w.U16(2, static_cast<uint16_t>(serial_.size()));
      w.Text(4, serial_.size(), serial_);
    } else {
      return CdbError(2);
    }
    return SendIn(c, w.bytes(), allocation);
  }
  if (c.Byte(2) != 0)
    return CdbError(2);
  BeWriter w(96);
  w.U8(0, PeripheralCdDvd);
  w.U8(1, 0x80);  // removable
  w.U8(2, 0x05);  // SPC-3
  w.U8(3, 0x02);  // response data format
  w.U8(4, 96 - 5);
  w.Text(8, 8, id.Vendor);
  w.Text(16, 16, id.Product);
  w.Text(32, 4, id.Revision);
  w.U16(58, 0x02A0);  // version descriptors: MMC-5, SPC-3
  w.U16(60, 0x0300);
  return SendIn(c, w.bytes(), allocation);
}

Reply Recorder::GetConfiguration(const Command& c) {
  const uint8_t rt = c.Byte(1) & 0x03;
  if (rt == 3)
    return CdbError(1, 1);
  const uint16_t start = c.U16(2);
  const uint16_t allocation = c.U16(7);
  const Identity id = Presented();
  const bool loaded = !state_.TrayOpen && state_.Medium.Present();
  const Disc& d = state_.Medium;
  const bool readsDvd = id.ReadDvdRom || id.ReadDvdMinus || id.ReadDvdPlus || id.ReadDvdRam;
  // A read-only drive knows a disc only as a pressed one of its class.
  const uint16_t presented = !id.ReadOnly ? d.Profile() : d.IsCd() ? ProfileCdRom : ProfileDvdRom;
  const uint16_t current = loaded ? presented : ProfileNone;
  const MediumKind kind = loaded ? d.Kind() : MediumKind::None;
  const bool cd = loaded && d.IsCd();
  const bool dvdMinusSeq = loaded && (kind == MediumKind::DvdMinusR || (kind == MediumKind::DvdMinusRw && !d.Restricted()));

  // Profiles, highest number first.
  std::vector<uint16_t> profiles;
  if (id.ReadOnly) {
    if (readsDvd)
      profiles.push_back(ProfileDvdRom);
  } else if (id.ReadDvdPlus) {
    profiles.push_back(ProfileDvdPlusR);
    profiles.push_back(ProfileDvdPlusRw);
  }
  if (id.ReadDvdMinus && !id.ReadOnly) {
    profiles.push_back(ProfileDvdMinusRwSequential);
    profiles.push_back(ProfileDvdMinusRwRestricted);
  }
  if (!id.ReadOnly) {
    if (id.ReadDvdRam)
      profiles.push_back(ProfileDvdRam);
    if (id.ReadDvdMinus)
      profiles.push_back(ProfileDvdMinusR);
    if (readsDvd)
      profiles.push_back(ProfileDvdRom);
    if (id.ReadCdRw)
      profiles.push_back(ProfileCdRw);
    if (id.ReadCdR)
      profiles.push_back(ProfileCdR);
  }
  profiles.push_back(ProfileCdRom);

  std::vector<Feature> features;
  {
    BeWriter p;
    for (size_t i = 0; i < profiles.size(); ++i) {
      p.U16(4 * i, profiles[i]);
      p.U8(4 * i + 2, profiles[i] == current ? 0x01 : 0x00);
    }
    p.Reserve(4 * profiles.size());  // the last descriptor's reserved byte too
    features.push_back({0x0000, 0, true, true, std::move(p.vector())});
  }
  // Core: ATAPI interface, device busy event.
  features.push_back({0x0001, 2, true, true, {0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00}});
  features.push_back({0x0002, 1, true, true, {0x00, 0x00, 0x00, 0x00}});
  // Removable medium: tray, eject, lock.
  features.push_back({0x0003, 0, true, true, {0x29, 0x00, 0x00, 0x00}});
  features.push_back({0x0010, 0, false, loaded, {0x00, 0x00, 0x08, 0x00, 0x00, static_cast<uint8_t>(cd ? 1 : 16), 0x00, 0x00}});
  features.push_back({0x001E, 2, false, cd, {0x00, 0x00, 0x00, 0x00}});
  if (readsDvd)
    features.push_back({0x001F, 0, false, loaded && !cd, {}});
  if (id.WriteDvdRam) {
    BeWriter w(12);
    w.U32(0, kind == MediumKind::DvdRam && d.FormattedBlocks() ? d.FormattedBlocks() - 1 : 0);
    w.U32(4, 2048);
    w.U16(8, 16);
    features.push_back({0x0020, 0, false, kind == MediumKind::DvdRam, std::move(w.vector())});
  }
  if (id.WriteDvdMinusR || id.WriteDvdMinusRw) {
    // Incremental streaming writable: data block types 8 and 10, BUF; one
    // link size of 16.
    features.push_back({0x0021, 1, false, dvdMinusSeq,
                        {0x05, 0x00, static_cast<uint8_t>(id.UnderrunProtection ? 0x01 : 0x00), 0x01, 16, 0, 0, 0}});
  }
  // Formattable: no certification or spare-area options to offer, but the
  // descriptor has its two reserved-flag words all the same.
  if (id.WriteDvdMinusRw || id.WriteDvdPlusRw || id.WriteDvdRam)
    features.push_back({0x0023, 0, false,
                        kind == MediumKind::DvdMinusRw || kind == MediumKind::DvdPlusRw || kind == MediumKind::DvdRam,
                        {0, 0, 0, 0, 0, 0, 0, 0}});
  if (id.WriteDvdMinusRw)
    features.push_back({0x0026, 0, false, kind == MediumKind::DvdMinusRw && d.Restricted(), {}});
  if (id.ReadDvdPlus || id.WriteDvdPlusRw)
    features.push_back({0x002A, 1, false, kind == MediumKind::DvdPlusRw,
                        {static_cast<uint8_t>(id.WriteDvdPlusRw ? 0x01 : 0x00), 0x00, 0x00, 0x00}});
  if (id.ReadDvdPlus || id.WriteDvdPlusR)
    features.push_back({0x002B, 0, false, kind == MediumKind::DvdPlusR,
                        {static_cast<uint8_t>(id.WriteDvdPlusR ? 0x01 : 0x00), 0x00, 0x00, 0x00}});
  if (id.WriteCdR || id.WriteCdRw) {
    const uint8_t bits = static_cast<uint8_t>((id.UnderrunProtection ? 0x40 : 0) | (id.TestWrite ? 0x04 : 0) |
                                              (id.WriteCdRw ? 0x02 : 0));
    features.push_back({0x002D, 2, false, cd, {bits, 0x00, 0x05, 0x00}});
  }
  if (id.WriteDvdMinusR || id.WriteDvdMinusRw) {
    const uint8_t bits = static_cast<uint8_t>((id.UnderrunProtection ? 0x40 : 0) | (id.TestWrite ? 0x04 : 0) |
                                              (id.WriteDvdMinusRw ? 0x02 : 0));
    features.push_back({0x002F, 1, false, dvdMinusSeq, {bits, 0x00, 0x00, 0x00}});
  }

  BeWriter w(8);
  w.U16(6, current);
  size_t at = 8;
  for (const Feature& f : features) {
    const bool wanted = rt == 2 ? f.Code == start : f.Code >= start && (rt == 0 || f.Current);
    if (!wanted)
      continue;
    w.U16(at, f.Code);
    w.U8(at + 2, static_cast<uint8_t>(f.Version << 2 | (f.Persistent ? 0x02 : 0) | (f.Current ? 0x01 : 0)));
    w.U8(at + 3, static_cast<uint8_t>(f.Data.size()));
    w.Bytes(at + 4, f.Data);
    at += 4 + f.Data.size();
  }
  w.Reserve(at);
  w.U32(0, static_cast<uint32_t>(at - 4));
  return SendIn(c, w.bytes(), allocation);
}

Reply Recorder::ReadDiscInformation(const Command& c) {
  if (c.Byte(1) & 0x07)
    return CdbError(1);  // only standard disc information
  const Disc& d = state_.Medium;
  DiscStatus status = d.Status();
  SessionState lastState = d.LastSessionState();
  bool erasable = Traits(d.Kind()).Erasable;
  uint32_t sessions = d.SessionCount();
  uint32_t first = d.FirstTrackInLastSession();
  uint32_t last = d.LastTrackInLastSession();
  const bool readOnly = state_.Config.Drive.ReadOnly;
  if (readOnly) {
    // A read-only drive knows a disc only as a pressed one: complete, and
    // made of the sessions that are complete.
    sessions = d.Sequential() ? d.ClosedSessions() : d.Formatted() ? 1 : 0;
    first = last = d.Sequential() ? 0 : sessions;
    for (const Track& t : d.Tracks()) {
      if (t.Session != sessions)
        continue;
      first = first == 0 ? t.Number : first;
      last = t.Number;
    }
    status = sessions != 0 ? DiscStatus::Complete : DiscStatus::Empty;
    lastState = sessions != 0 ? SessionState::Complete : SessionState::Empty;
    erasable = false;
  }
  const bool complete = status == DiscStatus::Complete && (d.Sequential() || readOnly);
  BeWriter w(34);
  w.U16(0, 32);
  w.U8(2, static_cast<uint8_t>((erasable ? 0x10 : 0) | static_cast<uint8_t>(lastState) << 2 |
                               static_cast<uint8_t>(status)));
  w.U8(3, 1);
  w.U8(4, static_cast<uint8_t>(sessions));
  w.U8(5, static_cast<uint8_t>(first));
  w.U8(6, static_cast<uint8_t>(last));
  if (d.Kind() == MediumKind::DvdPlusRw && !readOnly)
    w.U8(7, d.Formatted() ? 0x03 : 0x00);  // background format status: complete
  w.U8(9, static_cast<uint8_t>(sessions >> 8));
  w.U8(10, static_cast<uint8_t>(first >> 8));
  w.U8(11, static_cast<uint8_t>(last >> 8));
  if (d.IsCd()) {
    // CD addresses here are MSF: the next session's lead-in and the last
    // possible lead-out, both gone once the disc is complete.
    if (complete) {
      w.U32(16, 0xFFFFFFFF);
      w.U32(20, 0xFFFFFFFF);
    } else {
      const int64_t leadIn = status == DiscStatus::Empty
                                 ? CdLeadInStart
                                 : static_cast<int64_t>(d.NextStart()) - CdPreGap - CdLeadIn;
      w.U32(16, MsfField(leadIn));
      w.U32(20, MsfField(d.Capacity()));
    }
  } else {
    w.U32(16, complete ? 0xFFFFFFFF : (d.Sequential() ? d.NextStart() : 0));
    w.U32(20, complete ? 0xFFFFFFFF : d.Capacity());
  }
  return SendIn(c, w.bytes(), c.U16(7));
}

Reply Recorder::ReadTrackInformation(const Command& c) {
  const uint8_t type = c.Byte(1) & 0x03;
  const uint32_t value = c.U32(2);
  const Disc& d = state_.Medium;
  std::optional<TrackView> view;
  switch (type) {
    case 0:
      view = d.TrackAt(value);
      if (!view)
        return CheckAt(sense::LbaOutOfRange, value);
      break;
    case 1:
      // FFh names the open (invisible or incomplete) track on CD and DVD+R.
      if (value == 0xFF && (d.IsCd() || d.Kind() == MediumKind::DvdPlusR)) {
        view = d.TrackInfo(d.LastTrackInLastSession());
        if (view && view->Info.Closed)
          view.reset();
      } else {
        view = d.TrackInfo(value);
      }
      if (!view)
        return CdbError(2);
      break;
    case 2: {
      auto firstTrack = d.FirstTrackOfSession(value);
      if (!firstTrack)
        return CdbError(2);
      view = d.TrackInfo(*firstTrack);
      break;
    }
    default:
      return CdbError(1, 1);
  }
  if (!view)
    return CdbError(2);
  const Track& t = view->Info;
  const WriteMode mode = Mode();
  const bool dvdMinus = d.Kind() == MediumKind::DvdMinusR || (d.Kind() == MediumKind::DvdMinusRw && !d.Restricted());
  bool packet = t.Incremental;
  bool fixed = t.Incremental;
  uint8_t trackMode = t.Incremental ? 5 : 4;
  if (view->Invisible && dvdMinus) {
    packet = mode.WriteType == 0;
    fixed = packet && mode.FixedPacket;
  }
  if (view->Invisible && (d.IsCd() || dvdMinus))
    trackMode = state_.WriteParams[3] & 0x0F;  // the mode the next track will be written in
  BeWriter w(48);
  w.U16(0, 46);
  w.U8(2, static_cast<uint8_t>(t.Number));
  w.U8(3, static_cast<uint8_t>(t.Session));
  w.U8(5, trackMode);
  w.U8(6, static_cast<uint8_t>((t.Reserved ? 0x80 : 0) | (view->Blank ? 0x40 : 0) | (packet ? 0x20 : 0) |
                               (fixed ? 0x10 : 0) | (view->Blank ? 0x0F : 0x01)));
  w.U8(7, static_cast<uint8_t>((view->LraValid ? 0x02 : 0) | (view->NwaValid ? 0x01 : 0)));
  w.U32(8, t.Start);
  w.U32(12, view->NextWritable);
  w.U32(16, view->FreeBlocks);
  w.U32(20, fixed ? DvdEccBlock : 0);
  w.U32(24, view->TrackSize);
  w.U32(28, view->LastRecorded);
  w.U8(32, static_cast<uint8_t>(t.Number >> 8));
  w.U8(33, static_cast<uint8_t>(t.Session >> 8));
  return SendIn(c, w.bytes(), c.U16(7));
}

Reply Recorder::ReadToc(const Command& c) {
  const bool msf = c.Bit(1, 1);
  uint8_t format = c.Byte(2) & 0x0F;
  // Older hosts put the format in the top bits of the control byte.
  if (format == 0 && (c.Byte(9) >> 6))
    format = static_cast<uint8_t>(c.Byte(9) >> 6);
  const uint8_t number = c.Byte(6);
  const uint16_t allocation = c.U16(7);
  const Disc& d = state_.Medium;
  auto address = [&](BeWriter& w, size_t at, int64_t lba) {
    w.U32(at, msf ? MsfField(lba) : static_cast<uint32_t>(lba));
  };

  if (format == 4) {  // ATIP
    if (!d.IsCd() || state_.Config.Drive.ReadOnly)
      return CdbError(2);
    BeWriter w(28);
    w.U16(0, 26);
    w.U8(4, 0xD1);  // indicative target writing power 5, reference speed 1
    w.U8(6, static_cast<uint8_t>(0x80 | (d.Kind() == MediumKind::CdRw ? 0x40 : 0x00)));  // disc type
    const Msf leadIn = ToMsf(CdLeadInStart);
    w.U8(8, leadIn.M);
    w.U8(9, leadIn.S);
    w.U8(10, leadIn.F);
    const Msf leadOut = ToMsf(d.Capacity());
    w.U8(12, leadOut.M);
    w.U8(13, leadOut.S);
    w.U8(14, leadOut.F);
    return SendIn(c, w.bytes(), allocation);
  }
  if (format == 2)
    return FullToc(c);
  if (format > 1)
    return CdbError(2);

  // The table of contents covers complete sessions only.
  std::vector<Track> tracks;
  uint32_t lastSession = 0;
  if (d.Sequential()) {
    lastSession = d.ClosedSessions();
    for (const Track& t : d.Tracks())
      if (t.Session <= lastSession)
        tracks.push_back(t);
  } else if (d.Formatted()) {
    lastSession = 1;
    Track t;
    t.Number = 1;
    t.Session = 1;
    t.Size = d.FormattedBlocks();
    tracks.push_back(t);
  }
  if (tracks.empty())
    return CdbError(2);  // no complete session to report
  const Track& lastTrack = tracks.back();
  const int64_t leadOut = static_cast<int64_t>(lastTrack.Start) + lastTrack.Size;

  if (format == 1) {
    const Track* first = nullptr;
    for (const Track& t : tracks)
      if (!first && t.Session == lastSession)
        first = &t;
    BeWriter w(12);
    w.U16(0, 10);
    w.U8(2, 1);
    w.U8(3, static_cast<uint8_t>(lastSession));
    w.U8(5, AdrControlData);
    w.U8(6, static_cast<uint8_t>(first->Number));
    address(w, 8, first->Start);
    return SendIn(c, w.bytes(), allocation);
  }

  if (number > lastTrack.Number && number != 0xAA)
    return CdbError(6);
  BeWriter w(4);
  w.U8(2, static_cast<uint8_t>(tracks.front().Number));
  w.U8(3, static_cast<uint8_t>(lastTrack.Number));
  size_t at = 4;
  if (number != 0xAA) {
    for (const Track& t : tracks) {
      if (t.Number < number)
        continue;
      w.U8(at + 1, AdrControlData);
      w.U8(at + 2, static_cast<uint8_t>(t.Number));
      address(w, at + 4, t.Start);
      at += 8;
    }
  }
  w.U8(at + 1, AdrControlData);
  w.U8(at + 2, 0xAA);
  address(w, at + 4, leadOut);
  at += 8;
  w.U16(0, static_cast<uint32_t>(at - 2));
  return SendIn(c, w.bytes(), allocation);
}

Reply Recorder::FullToc(const Command& c) {
  // The lead-in's Q sub-channel as read: addresses there exist only as
  // minutes, seconds and frames, so a host asking for LBAs gets MSF as
  // from a real drive.
  const Disc& d = state_.Medium;
  if (!d.IsCd())
    return CdbError(2);
  const uint32_t sessions = d.ClosedSessions();
  if (sessions == 0)
    return CdbError(2);  // no complete session: no lead-in to read
  const uint32_t from = c.Byte(6) == 0 ? 1 : c.Byte(6);
  if (from > sessions)
    return CdbError(6);
  const std::vector<Track>& tracks = d.Tracks();
  // The pre-gap of a session's first track begins its program area.
  auto programStart = [&](uint32_t session) -> std::optional<int64_t> {
    for (const Track& t : tracks)
      if (t.Session == session)
        return static_cast<int64_t>(t.Start) - CdPreGap;
    return std::nullopt;
  };
  BeWriter w(4);
  w.U8(2, 1);
  w.U8(3, static_cast<uint8_t>(sessions));
  size_t at = 4;
  auto point = [&](uint32_t session, uint8_t adrControl, uint8_t pointCode, uint32_t atime, uint8_t zero,
                   uint32_t paddress) {
    w.U8(at, static_cast<uint8_t>(session));
    w.U8(at + 1, adrControl);
    w.U8(at + 3, pointCode);
    w.U24(at + 4, atime);
    w.U8(at + 7, zero);
    w.U24(at + 8, paddress);
    at += 11;
  };
  for (uint32_t s = from; s <= sessions; ++s) {
    const Track* first = nullptr;
    const Track* last = nullptr;
    for (const Track& t : tracks) {
      if (t.Session != s)
        continue;
      first = first ? first : &t;
      last = &t;
    }
    if (!first)
      continue;
    // A0h: first track and disc type (00h: CD-ROM, mode 1 data); A1h: last
    // track; A2h: the session's lead-out.
    point(s, AdrControlData, 0xA0, 0, 0, static_cast<uint32_t>(first->Number) << 16);
    point(s, AdrControlData, 0xA1, 0, 0, static_cast<uint32_t>(last->Number) << 16);
    point(s, AdrControlData, 0xA2, 0, 0, MsfField(static_cast<int64_t>(last->Start) + last->Size));
    for (const Track* t = first; t <= last; ++t)
      point(s, AdrControlData, static_cast<uint8_t>(t->Number), 0, 0, MsfField(t->Start));
    // B0h (mode 5) while another session may follow: where its program area
    // would start, one mode-5 pointer, and the last possible lead-out.
    if (s < sessions || !d.Finalized()) {
      const int64_t next = s < sessions ? programStart(s + 1).value_or(d.NextStart())
                                        : static_cast<int64_t>(d.NextStart()) - CdPreGap;
      point(s, 0x54, 0xB0, MsfField(next), 1, MsfField(d.Capacity()));
    }
  }
  w.U16(0, static_cast<uint32_t>(at - 2));
  return SendIn(c, w.bytes(), c.U16(7));
}

Reply Recorder::ReadCapacity(const Command& c) {
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // RelAdr
  if (!c.Bit(8, 0) && c.U32(2) != 0)
    return CdbError(2);  // an address needs PMI
  const uint32_t end = state_.Medium.RecordedEnd();
  BeWriter w(8);
  w.U32(0, end > 0 ? end - 1 : 0);
  w.U32(4, BlockSize);
  return SendIn(c, w.bytes(), 8);
}

Reply Recorder::ReadFormatCapacities(const Command& c) {
  struct Descriptor {
    uint32_t Blocks;
    uint8_t TypeByte;  // current/maximum: descriptor type; formattable: format type << 2
    uint32_t Parameter;
  };
  const Disc& d = state_.Medium;
  const bool loaded = !state_.TrayOpen && d.Present();
  std::vector<Descriptor> list;
  // Current/maximum capacity: 01b unformatted, 10b formatted, 11b no medium
  // or unknown capacity.
  if (!loaded) {
    list.push_back({DvdCapacity, 0x03, BlockSize});
  } else if (!d.Sequential()) {
    if (!d.Formatted())
      list.push_back({d.Capacity(), 0x01, BlockSize});
    else if (d.Intermediate())
      list.push_back({d.Capacity(), 0x03, BlockSize});
    else
      list.push_back({d.FormattedBlocks(), 0x02, BlockSize});
  } else {
    list.push_back({d.Capacity(), static_cast<uint8_t>(d.Status() == DiscStatus::Empty ? 0x01 : 0x02), BlockSize});
  }
  if (loaded) {
    switch (d.Kind()) {
      case MediumKind::DvdPlusRw:
        list.push_back({d.Capacity(), 0x26 << 2, 0});
        break;
      case MediumKind::DvdRam:
        list.push_back({d.Capacity(), 0x00, BlockSize});
        break;
      case MediumKind::DvdMinusRw:
        list.push_back({d.Capacity(), 0x00 << 2, DvdEccBlock});
        list.push_back({d.Capacity(), 0x10 << 2, DvdEccBlock});
        if (d.Restricted() && d.FormattedBlocks() < d.Capacity()) {
          list.push_back({d.Capacity() - d.FormattedBlocks(), 0x11 << 2, DvdEccBlock});
          if (!d.Intermediate())
            list.push_back({d.Capacity() - d.FormattedBlocks(), 0x13 << 2, DvdEccBlock});
        }
        list.push_back({d.Capacity(), 0x15 << 2, DvdEccBlock});
        break;
      default:
        break;
    }
  }
  BeWriter w(4);
  w.U8(3, static_cast<uint8_t>(8 * list.size()));
  for (size_t i = 0; i < list.size(); ++i) {
    w.U32(4 + 8 * i, list[i].Blocks);
    w.U8(8 + 8 * i, list[i].TypeByte);
    w.U24(9 + 8 * i, list[i].Parameter);
  }
  return SendIn(c, w.bytes(), c.U16(7));
}

Reply Recorder::ReadBufferCapacity(const Command& c) {
  const uint32_t capacity = buffer_.Capacity();
  const uint32_t free = state_.Config.Time.RealTime ? buffer_.Free() : capacity;
  BeWriter w(12);
  w.U16(0, 10);
  if (c.Bit(1, 0)) {  // in blocks
    w.U8(7, 0x01);
    w.U32(8, free / BlockSize);
  } else {
    w.U32(4, capacity);
    w.U32(8, free);
  }
  return SendIn(c, w.bytes(), c.U16(7));
}

} // namespace qnzb::vdrive
