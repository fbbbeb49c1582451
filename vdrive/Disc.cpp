#include "vdrive/Disc.h"

#include <algorithm>

namespace qnzb::vdrive {

namespace {

constexpr uint32_t RoundUp(uint32_t value, uint32_t unit) {
  const uint64_t rounded = (static_cast<uint64_t>(value) + unit - 1) / unit * unit;
  return rounded > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(rounded);
}

// Largest capacity a persisted disc may claim (a dual-layer DVD is below it).
constexpr uint32_t MaxCapacity = 0x00FF'FFFF;

} // namespace

Disc Disc::New(MediumKind kind, uint32_t capacity, bool formatted, bool restricted) {
  Disc d;
  d.kind_ = kind;
  d.capacity_ = capacity ? capacity : Traits(kind).NominalCapacity;
  if (kind == MediumKind::DvdRam)
    formatted = true;
  if (kind == MediumKind::DvdMinusRw && (formatted || restricted)) {
    d.restricted_ = true;
    formatted = true;
  }
  if (formatted && (kind == MediumKind::DvdRam || kind == MediumKind::DvdPlusRw || d.restricted_)) {
    d.formatted_ = true;
    d.formattedBlocks_ = d.capacity_;
  }
  return d;
}

uint16_t Disc::Profile() const {
  switch (kind_) {
    case MediumKind::None: return ProfileNone;
    case MediumKind::CdR: return ProfileCdR;
    case MediumKind::CdRw: return ProfileCdRw;
    case MediumKind::DvdMinusR: return ProfileDvdMinusR;
    case MediumKind::DvdMinusRw: return restricted_ ? ProfileDvdMinusRwRestricted : ProfileDvdMinusRwSequential;
    case MediumKind::DvdPlusR: return ProfileDvdPlusR;
    case MediumKind::DvdPlusRw: return ProfileDvdPlusRw;
    case MediumKind::DvdRam: return ProfileDvdRam;
  }
  return ProfileNone;
}

bool Disc::Sequential() const {
  switch (kind_) {
    case MediumKind::CdR:
    case MediumKind::CdRw:
    case MediumKind::DvdMinusR:
    case MediumKind::DvdPlusR: return true;
    case MediumKind::DvdMinusRw: return !restricted_;
    default: return false;
  }
}

bool Disc::HasOpenTrack() const {
  return !tracks_.empty() && !tracks_.back().Closed && !tracks_.back().Reserved;
}

bool Disc::OpenSessionHasTracks() const {
  return !finalized_ && !tracks_.empty() && tracks_.back().Session == OpenSession();
}

uint32_t Disc::StartAfter(uint32_t end) const {
  // A track that fills the disc leaves the next one at the capacity, where
  // nothing more can be written.
  const uint64_t next = IsCd() ? static_cast<uint64_t>(end) + CdPreGap : RoundUp(end, DvdEccBlock);
  return static_cast<uint32_t>(std::min<uint64_t>(next, capacity_));
}

DiscStatus Disc::Status() const {
  if (Sequential()) {
    if (finalized_)
      return DiscStatus::Complete;
    return tracks_.empty() && closedSessions_ == 0 ? DiscStatus::Empty : DiscStatus::Incomplete;
  }
  if (kind_ == MediumKind::DvdRam)
    return DiscStatus::Other;
  if (!formatted_)
    return DiscStatus::Empty;
  return intermediate_ ? DiscStatus::Incomplete : DiscStatus::Complete;
}

SessionState Disc::LastSessionState() const {
  if (Sequential()) {
    if (finalized_)
      return SessionState::Complete;
    return OpenSessionHasTracks() ? SessionState::Incomplete : SessionState::Empty;
  }
  if (!formatted_)
    return SessionState::Empty;
  return intermediate_ ? SessionState::Incomplete : SessionState::Complete;
}

uint32_t Disc::SessionCount() const {
  if (!Sequential())
    return 1;
  return closedSessions_ + (finalized_ ? 0 : 1);
}

uint32_t Disc::FirstTrackInLastSession() const {
  if (!Sequential())
    return 1;
  const uint32_t session = finalized_ ? closedSessions_ : OpenSession();
  for (const Track& t : tracks_)
    if (t.Session == session)
      return t.Number;
  return static_cast<uint32_t>(tracks_.size()) + 1;
}

uint32_t Disc::LastTrackInLastSession() const {
  if (!Sequential())
    return 1;
  const auto count = static_cast<uint32_t>(tracks_.size());
  return finalized_ || HasOpenTrack() ? count : count + 1;
}

TrackView Disc::View(const Track& t) const {
  TrackView v;
  v.Info = t;
  if (t.Closed) {
    v.TrackSize = t.Size;
    v.LraValid = t.Size > 0;
    v.LastRecorded = t.Size > 0 ? t.Start + t.Size - 1 : 0;
    return v;
  }
  const uint32_t nwa = t.Start + t.Recorded;
  v.Blank = t.Recorded == 0;
  v.NextWritable = nwa;
  v.LraValid = t.Recorded > 0;
  v.LastRecorded = t.Recorded > 0 ? nwa - 1 : 0;
  if (t.Reserved) {
    v.NwaValid = t.Recorded < t.Size;
    v.FreeBlocks = t.Size - t.Recorded;
    v.TrackSize = t.Size;
  } else {
    // The incomplete track runs to the end of the disc.
    v.NwaValid = nwa < capacity_;
    v.FreeBlocks = capacity_ > nwa ? capacity_ - nwa : 0;
    v.TrackSize = capacity_ > t.Start ? capacity_ - t.Start : 0;
  }
  if (!v.NwaValid)
    v.NextWritable = 0;
  return v;
}

std::optional<TrackView> Disc::InvisibleTrack() const {
  if (!Sequential() || finalized_ || HasOpenTrack())
    return std::nullopt;
  TrackView v;
  v.Info.Number = static_cast<uint32_t>(tracks_.size()) + 1;
  v.Info.Session = OpenSession();
  v.Info.Start = nextStart_;
  v.Invisible = true;
  v.Blank = true;
  v.FreeBlocks = capacity_ > nextStart_ ? capacity_ - nextStart_ : 0;
  v.NwaValid = v.FreeBlocks > 0;
  v.NextWritable = v.NwaValid ? nextStart_ : 0;
  v.TrackSize = v.FreeBlocks;
  return v;
}

std::optional<TrackView> Disc::TrackInfo(uint32_t number) const {
  if (!Present() || number == 0)
    return std::nullopt;
  if (!Sequential()) {
    if (number != 1)
      return std::nullopt;
    TrackView v;
    v.Info.Number = 1;
    v.Info.Session = 1;
    if (!formatted_) {
      // An unformatted DVD+RW: one blank track over the whole disc.
      v.Blank = true;
      v.NwaValid = true;
      v.FreeBlocks = capacity_;
      v.TrackSize = capacity_;
      return v;
    }
    v.Info.Closed = !intermediate_;
    v.Info.Size = formattedBlocks_;
    v.Info.Recorded = formattedBlocks_;
    v.TrackSize = formattedBlocks_;
    v.Blank = formattedBlocks_ == 0;
    v.LraValid = formattedBlocks_ > 0;
    v.LastRecorded = formattedBlocks_ > 0 ? formattedBlocks_ - 1 : 0;
    if (intermediate_) {
      // Restricted overwrite in the intermediate state grows by writing here.
      v.NwaValid = formattedBlocks_ < capacity_;
      v.NextWritable = v.NwaValid ? formattedBlocks_ : 0;
      v.FreeBlocks = capacity_ - formattedBlocks_;
    }
    return v;
  }
  if (number <= tracks_.size())
    return View(tracks_[number - 1]);
  auto invisible = InvisibleTrack();
  if (invisible && invisible->Info.Number == number)
    return invisible;
  return std::nullopt;
}

std::optional<TrackView> Disc::TrackAt(uint32_t lba) const {
  if (!Present() || lba >= capacity_)
    return std::nullopt;
  if (!Sequential())
    return TrackInfo(1);
  for (const Track& t : tracks_) {
    const uint64_t end = t.Closed || t.Reserved ? static_cast<uint64_t>(t.Start) + t.Size : capacity_;
    if (lba >= t.Start && lba < end)
      return View(t);
  }
  auto invisible = InvisibleTrack();
  if (invisible && lba >= invisible->Info.Start)
    return invisible;
  return std::nullopt;
}

std::optional<uint32_t> Disc::FirstTrackOfSession(uint32_t session) const {
  if (!Present() || session == 0)
    return std::nullopt;
  if (!Sequential())
    return session == 1 ? std::optional<uint32_t>(1) : std::nullopt;
  for (const Track& t : tracks_)
    if (t.Session == session)
      return t.Number;
  auto invisible = InvisibleTrack();
  if (invisible && invisible->Info.Session == session)
    return invisible->Info.Number;
  return std::nullopt;
}

uint32_t Disc::RecordedEnd() const {
  if (!Sequential())
    return formatted_ ? formattedBlocks_ : 0;
  uint32_t end = 0;
  for (const Track& t : tracks_)
    end = std::max(end, t.Start + t.Recorded);
  return end;
}

Refusal Disc::CheckRead(uint32_t lba, uint32_t count, uint32_t& firstBad) const {
  const uint64_t end = static_cast<uint64_t>(lba) + count;
  auto refuse = [&](uint64_t at) -> Refusal {
    firstBad = static_cast<uint32_t>(std::min<uint64_t>(at, UINT32_MAX));
    return at >= capacity_ ? sense::LbaOutOfRange : sense::EndOfDataDetected;
  };
  if (count == 0)
    return std::nullopt;
  if (!Sequential()) {
    const uint64_t readable = formatted_ ? formattedBlocks_ : 0;
    if (end > readable)
      return refuse(std::max<uint64_t>(lba, readable));
    return std::nullopt;
  }
  uint64_t pos = lba;
  while (pos < end) {
    bool advanced = false;
    for (const Track& t : tracks_) {
      const uint64_t recordedEnd = static_cast<uint64_t>(t.Start) + t.Recorded;
      if (pos >= t.Start && pos < recordedEnd) {
        pos = std::min(end, recordedEnd);
        advanced = true;
        break;
      }
    }
    if (!advanced)
      return refuse(pos);
  }
  return std::nullopt;
}

Refusal Disc::CheckWrite(uint32_t lba, uint32_t count, const WriteMode& mode) const {
  if (!Present())
    return sense::MediumNotPresent;
  return Sequential() ? CheckSequentialWrite(lba, count, mode) : CheckOverwrite(lba, count);
}

Refusal Disc::CheckSequentialWrite(uint32_t lba, uint32_t count, const WriteMode& mode) const {
  if (finalized_)
    return sense::WriteProtected;
  if (IsCd()) {
    // Only track-at-once with 2048-byte data blocks is recorded here; session-at-once
    // would need a cue sheet first.
    if (mode.DataBlockType != 8 && mode.DataBlockType != 10)
      return sense::IllegalModeForThisTrack;
    if (mode.WriteType == 2)
      return sense::CommandSequenceError;
    if (mode.WriteType != 1)
      return sense::IllegalModeForThisTrack;
  } else if (kind_ == MediumKind::DvdMinusR || kind_ == MediumKind::DvdMinusRw) {
    if (mode.DataBlockType != 8 || (mode.WriteType != 0 && mode.WriteType != 2))
      return sense::IllegalModeForThisTrack;
  }
  const uint64_t end = static_cast<uint64_t>(lba) + count;
  if (lba >= capacity_)
    return sense::LbaOutOfRange;
  for (const Track& t : tracks_) {
    if (t.Closed || t.Start + t.Recorded != lba)
      continue;
    if (t.Reserved) {
      if (t.Recorded >= t.Size)
        continue;
      if (end > static_cast<uint64_t>(t.Start) + t.Size)
        return sense::InvalidAddressForWrite;
      return std::nullopt;
    }
    return end > capacity_ ? Refusal(sense::LbaOutOfRange) : std::nullopt;
  }
  if (!HasOpenTrack() && lba == nextStart_) {
    // Disc-at-once on DVD-R needs the track reserved first.
    if (mode.WriteType == 2 && (kind_ == MediumKind::DvdMinusR || kind_ == MediumKind::DvdMinusRw))
      return sense::CommandSequenceError;
    if (IsCd() && tracks_.size() >= MaxTracks)
      return sense::NoMoreTrackReservationsAllowed;
    return end > capacity_ ? Refusal(sense::LbaOutOfRange) : std::nullopt;
  }
  return sense::InvalidAddressForWrite;
}

Refusal Disc::CheckOverwrite(uint32_t lba, uint32_t count) const {
  const uint64_t end = static_cast<uint64_t>(lba) + count;
  if (!formatted_)
    return sense::MediumNotFormatted;
  if (restricted_) {
    // Restricted overwrite records whole ECC blocks.
    if (lba % DvdEccBlock != 0 || count % DvdEccBlock != 0)
      return sense::InvalidAddressForWrite;
    if (intermediate_) {
      if (lba > formattedBlocks_)
        return sense::InvalidAddressForWrite;
      return end > capacity_ ? Refusal(sense::LbaOutOfRange) : std::nullopt;
    }
  }
  return end > formattedBlocks_ ? Refusal(sense::LbaOutOfRange) : std::nullopt;
}

void Disc::CommitWrite(uint32_t lba, uint32_t count, const WriteMode& mode) {
  if (count == 0)
    return;
  if (!Sequential()) {
    if (restricted_ && intermediate_)
      formattedBlocks_ = std::max(formattedBlocks_, lba + count);
    return;
  }
  for (Track& t : tracks_) {
    if (!t.Closed && t.Start + t.Recorded == lba && (!t.Reserved || t.Recorded < t.Size)) {
      t.Recorded += count;
      if (t.Recorded == count)
        t.Incremental = mode.WriteType == 0 && !IsCd() && kind_ != MediumKind::DvdPlusR;
      return;
    }
  }
  Track t;
  t.Number = static_cast<uint32_t>(tracks_.size()) + 1;
  t.Session = OpenSession();
  t.Start = nextStart_;
  t.Recorded = count;
  t.Incremental = mode.WriteType == 0 && !IsCd() && kind_ != MediumKind::DvdPlusR;
  tracks_.push_back(t);
}

Refusal Disc::Reserve(uint32_t blocks, uint32_t& size) {
  if (!Sequential())
    return sense::IncompatibleMediumInstalled;
  if (finalized_)
    return sense::WriteProtected;
  if (HasOpenTrack())
    return sense::CommandSequenceError;
  if (blocks == 0)
    return sense::InvalidFieldInCdb;
  if (IsCd() && tracks_.size() >= MaxTracks)
    return sense::NoMoreTrackReservationsAllowed;
  size = IsCd() ? std::max(blocks, CdMinimumTrack) : RoundUp(blocks, DvdEccBlock);
  if (static_cast<uint64_t>(nextStart_) + size > capacity_)
    return sense::InvalidFieldInCdb;
  Track t;
  t.Number = static_cast<uint32_t>(tracks_.size()) + 1;
  t.Session = OpenSession();
  t.Start = nextStart_;
  t.Size = size;
  t.Reserved = true;
  tracks_.push_back(t);
  nextStart_ = StartAfter(t.Start + size);
  return std::nullopt;
}

Refusal Disc::CloseOne(Track& t) {
  if (t.Closed)
    return std::nullopt;
  if (t.Reserved) {
    // The drive pads the rest of a reserved track.
    t.Recorded = t.Size;
  } else {
    const uint32_t room = capacity_ - t.Start;
    uint32_t size = t.Recorded;
    if (IsCd())
      size = std::max(size, CdMinimumTrack);
    else
      size = RoundUp(size, DvdEccBlock);
    size = std::min(size, room);
    t.Recorded = size;
    t.Size = size;
    nextStart_ = StartAfter(t.Start + size);
  }
  t.Closed = true;
  return std::nullopt;
}

Refusal Disc::CloseTrack(uint32_t number) {
  if (!Sequential())
    return sense::InvalidFieldInCdb;
  if (number == 0xFF && (IsCd() || kind_ == MediumKind::DvdPlusR)) {
    if (!HasOpenTrack())
      return sense::CommandSequenceError;
    return CloseOne(tracks_.back());
  }
  if (number >= 1 && number <= tracks_.size())
    return CloseOne(tracks_[number - 1]);
  if (number == tracks_.size() + 1 && !finalized_)
    return sense::CommandSequenceError;  // the invisible track holds nothing to close
  return sense::InvalidFieldInCdb;
}

void Disc::CloseOpenSession(bool finalize) {
  for (Track& t : tracks_)
    if (t.Session == OpenSession())
      (void)CloseOne(t);
  const uint32_t lastEnd = TrackEnd(tracks_.back());
  ++closedSessions_;
  if (finalize) {
    finalized_ = true;
    return;
  }
  const bool first = closedSessions_ == 1;
  uint64_t next;
  uint32_t minimum;
  if (IsCd()) {
    next = static_cast<uint64_t>(lastEnd) + (first ? CdFirstLeadOut : CdLaterLeadOut) + CdLeadIn + CdPreGap;
    minimum = CdMinimumTrack;
  } else {
    next = static_cast<uint64_t>(RoundUp(lastEnd, DvdEccBlock)) + (first ? DvdFirstSessionGap : DvdLaterSessionGap);
    minimum = DvdEccBlock;
  }
  nextStart_ = static_cast<uint32_t>(std::min<uint64_t>(next, capacity_));
  // No room for another session: the disc is complete.
  if (next + minimum > capacity_)
    finalized_ = true;
}

Refusal Disc::CloseSession(bool finalize) {
  if (!Sequential())
    return sense::InvalidFieldInCdb;
  if (finalized_ || !OpenSessionHasTracks())
    return sense::CommandSequenceError;
  CloseOpenSession(finalize);
  return std::nullopt;
}

Refusal Disc::Finalize() {
  if (!Sequential() || finalized_)
    return sense::CommandSequenceError;
  if (OpenSessionHasTracks()) {
    CloseOpenSession(true);
    return std::nullopt;
  }
  if (tracks_.empty())
    return sense::CommandSequenceError;
  finalized_ = true;
  return std::nullopt;
}

Refusal Disc::Blank() {
  if (!Traits(kind_).Blankable)
    return sense::IncompatibleMediumInstalled;
  Disc blank = New(kind_, capacity_);
  blank.timeStamp_ = timeStamp_;
  *this = std::move(blank);
  return std::nullopt;
}

Refusal Disc::Format(uint8_t formatType, uint32_t blocks, bool& erases) {
  erases = false;
  switch (kind_) {
    case MediumKind::DvdPlusRw:
      if (formatType != 0x26)
        return sense::InvalidFieldInParameterList;
      formatted_ = true;
      formattedBlocks_ = capacity_;
      return std::nullopt;
    case MediumKind::DvdRam:
      if ((formatType != 0x00 && formatType != 0x01) || blocks == 0 || blocks > capacity_ ||
          (formatType == 0x00 && blocks != capacity_))
        return sense::InvalidFieldInParameterList;
      formattedBlocks_ = capacity_;
      erases = true;
      return std::nullopt;
    case MediumKind::DvdMinusRw:
      break;
    default:
      return sense::InvalidFieldInParameterList;
  }
  if (blocks > capacity_)
    return sense::InvalidFieldInParameterList;
  // Restricted overwrite records whole ECC blocks, so its formatted area ends
  // on one.
  blocks = std::min(RoundUp(blocks, DvdEccBlock), capacity_);
  switch (formatType) {
    case 0x00:  // full format
    case 0x10:  // restricted overwrite of a fixed size
    case 0x15:  // quick: the area grows by sequential writing (intermediate state)
      if (formatType != 0x15 && blocks == 0)
        return sense::InvalidFieldInParameterList;
      tracks_.clear();
      closedSessions_ = 0;
      finalized_ = false;
      nextStart_ = 0;
      restricted_ = true;
      formatted_ = true;
      formattedBlocks_ = blocks;
      intermediate_ = formatType == 0x15;
      erases = true;
      return std::nullopt;
    case 0x13:  // quick grow: reopens a formatted disc for growth at its end
      if (!restricted_)
        return sense::InvalidFieldInParameterList;
      intermediate_ = true;
      return std::nullopt;
    case 0x11:  // grow by a fixed size
      if (!restricted_)
        return sense::InvalidFieldInParameterList;
      formattedBlocks_ = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(formattedBlocks_) + blocks, capacity_));
      return std::nullopt;
    default:
      return sense::InvalidFieldInParameterList;
  }
}

Disc::Fields Disc::ToFields() const {
  Fields f;
  f.Kind = kind_;
  f.Capacity = capacity_;
  f.Tracks = tracks_;
  f.ClosedSessions = closedSessions_;
  f.Finalized = finalized_;
  f.NextStart = nextStart_;
  f.Restricted = restricted_;
  f.Formatted = formatted_;
  f.FormattedBlocks = formattedBlocks_;
  f.Intermediate = intermediate_;
  f.TimeStamp = timeStamp_;
  return f;
}

namespace {

// Older versions could leave the next track start past the end of a nearly
// full disc (the pre-gap or ECC rounding after a track that filled it). Such
// a state is mended rather than refused, touching only what lies beyond the
// capacity: the next start comes back to the capacity, tracks of the open
// session that begin there are dropped (nothing of them can be read), and an
// open track's recorded extent is cut at the capacity. Complete sessions are
// kept as they are, so they stay readable; anything else that contradicts
// itself is still refused.
void MendBeyondCapacity(Disc::Fields& f) {
  f.NextStart = std::min(f.NextStart, f.Capacity);
  while (!f.Tracks.empty() && !f.Tracks.back().Closed && f.Tracks.back().Session > f.ClosedSessions &&
         f.Tracks.back().Start >= f.Capacity)
    f.Tracks.pop_back();
  if (f.Tracks.empty())
    return;
  Track& last = f.Tracks.back();
  if (!last.Closed && !last.Reserved && last.Start + static_cast<uint64_t>(last.Recorded) > f.Capacity)
    last.Recorded = f.Capacity - last.Start;
}

} // namespace

std::optional<Disc> Disc::FromFields(const Fields& given, std::string& error) {
  Fields f = given;
  if (f.Kind != MediumKind::None && f.Capacity != 0 && !f.Formatted && !f.Restricted)
    MendBeyondCapacity(f);
  auto fail = [&](const char* why) -> std::optional<Disc> {
    error = why;
    return std::nullopt;
  };
  Disc d;
  d.kind_ = f.Kind;
  d.capacity_ = f.Capacity;
  d.tracks_ = f.Tracks;
  d.closedSessions_ = f.ClosedSessions;
  d.finalized_ = f.Finalized;
  d.nextStart_ = f.NextStart;
  d.restricted_ = f.Restricted;
  d.formatted_ = f.Formatted;
  d.formattedBlocks_ = f.FormattedBlocks;
  d.intermediate_ = f.Intermediate;
  d.timeStamp_ = f.TimeStamp;
  if (f.Kind == MediumKind::None)
    return Disc{};
  if (f.Capacity == 0 || f.Capacity > MaxCapacity)
    return fail("capacity out of range");
  if (f.Restricted && f.Kind != MediumKind::DvdMinusRw)
    return fail("only a DVD-RW can be in restricted overwrite mode");
  if (f.Intermediate && !f.Restricted)
    return fail("only a restricted-overwrite DVD-RW can be in the intermediate state");
  if (f.FormattedBlocks > f.Capacity)
    return fail("formatted size beyond the capacity");
  if (f.TimeStamp.size() > 14)
    return fail("time stamp too long");
  if (!d.Sequential()) {
    if (!f.Tracks.empty() || f.ClosedSessions != 0 || f.Finalized)
      return fail("tracks on an overwritable disc");
    if (f.Kind == MediumKind::DvdRam && !f.Formatted)
      return fail("a DVD-RAM is always formatted");
    if (!f.Formatted && f.FormattedBlocks != 0)
      return fail("formatted size on an unformatted disc");
    return d;
  }
  if (f.Formatted || f.FormattedBlocks != 0)
    return fail("formatted state on a sequential disc");
  if (f.Kind == MediumKind::DvdMinusRw && f.Restricted)
    return fail("inconsistent DVD-RW mode");
  uint64_t end = 0;
  uint32_t lastSession = 1;
  uint32_t sessionsWithTracks = 0;
  for (size_t i = 0; i < f.Tracks.size(); ++i) {
    const Track& t = f.Tracks[i];
    if (t.Number != i + 1)
      return fail("track numbers out of order");
    if (t.Session < lastSession || t.Session > f.ClosedSessions + 1 || (i == 0 && t.Session != 1) ||
        t.Session > lastSession + 1)
      return fail("track sessions out of order");
    if (i == 0 || t.Session != lastSession)
      ++sessionsWithTracks;
    lastSession = t.Session;
    if (t.Start < end)
      return fail("tracks overlap");
    const uint64_t size = t.Closed || t.Reserved ? t.Size : t.Recorded;
    if ((t.Closed || t.Reserved) && t.Recorded > t.Size)
      return fail("track recorded beyond its size");
    if (t.Closed && t.Recorded != t.Size)
      return fail("closed track not fully recorded");
    if (static_cast<uint64_t>(t.Start) + size > f.Capacity)
      return fail("track beyond the capacity");
    if (!t.Closed && !t.Reserved && i + 1 != f.Tracks.size())
      return fail("an open track that is not the last");
    if (!t.Closed && t.Session <= f.ClosedSessions)
      return fail("an open track in a closed session");
    if (!t.Closed && f.Finalized)
      return fail("an open track on a finalized disc");
    if (f.Finalized && t.Session > f.ClosedSessions)
      return fail("a track after the last session of a finalized disc");
    end = static_cast<uint64_t>(t.Start) + size;
  }
  if (sessionsWithTracks < f.ClosedSessions)
    return fail("a closed session without tracks");
  if (f.Finalized && f.Tracks.empty())
    return fail("a finalized disc without tracks");
  // An open track is where the invisible track was; otherwise the next track
  // starts after the last one.
  const bool lastOpen = !f.Tracks.empty() && !f.Tracks.back().Closed && !f.Tracks.back().Reserved;
  if ((lastOpen ? f.NextStart != f.Tracks.back().Start : f.NextStart < end) || f.NextStart > f.Capacity)
    return fail("next track start out of range");
  return d;
}

} // namespace qnzb::vdrive
