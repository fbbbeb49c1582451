// Reading and recording: READ (10), WRITE (10), SYNCHRONIZE CACHE, CLOSE
// TRACK/SESSION, RESERVE TRACK, BLANK, FORMAT UNIT, SEND OPC INFORMATION and
// SEND DVD STRUCTURE.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "vdrive/Recorder.h"
#include "vdrive/RecorderInternal.h"

namespace qnzb::vdrive {

using namespace detail;

namespace {

Reply Refused(SenseCode code, uint32_t lba) {
  // Address errors name the address in the INFORMATION field.
  if (code == sense::InvalidAddressForWrite || code == sense::LbaOutOfRange)
    return CheckAt(code, lba);
  return Check(code);
}

} // namespace

Reply Recorder::Read10(const Command& c) {
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // RelAdr
  const uint32_t lba = c.U32(2);
  const uint32_t count = c.U16(7);
  if (count == 0)
    return Good();
  uint32_t firstBad = 0;
  if (auto refusal = state_.Medium.CheckRead(lba, count, firstBad))
    return CheckAt(*refusal, firstBad);
  const size_t wanted = static_cast<size_t>(count) * BlockSize;
  const size_t fits = std::min(wanted, c.In.size());
  const size_t whole = fits / BlockSize * BlockSize;
  if (whole && !store_->Read(lba, c.In.first(whole)))
    return CheckAt(sense::UnrecoveredReadError, lba);
  if (fits > whole) {
    std::array<uint8_t, BlockSize> block{};
    if (!store_->Read(lba + static_cast<uint32_t>(whole / BlockSize), block))
      return CheckAt(sense::UnrecoveredReadError, lba);
    std::memcpy(c.In.data() + whole, block.data(), fits - whole);
  }
  if (state_.Config.Time.RealTime) {
    // The data comes off the disc at the read speed (KB/s: bytes per ms);
    // the command returns when it has. Reads that follow each other are
    // streamed: the drive reads ahead into its buffer while the host is busy,
    // at most a buffer's worth; any other read starts the stream anew.
    const uint64_t nowUs = Now() * 1000;
    const uint64_t speed = std::max<uint16_t>(EffectiveReadSpeed(), 1);
    const uint64_t aheadUs = uint64_t{state_.Config.Drive.BufferKb} * 1024 * 1000 / speed;
    if (lba != nextReadLba_)
      readsDoneAtUs_ = nowUs;
    else if (readsDoneAtUs_ + aheadUs < nowUs)
      readsDoneAtUs_ = nowUs - aheadUs;
    readsDoneAtUs_ += fits * 1000 / speed;
    nextReadLba_ = lba + count;
    if (readsDoneAtUs_ > nowUs)
      std::this_thread::sleep_for(std::chrono::microseconds(readsDoneAtUs_ - nowUs));
  }
  Reply r;
  r.Transferred = static_cast<uint32_t>(fits);
  r.Overrun = fits < wanted;
  return r;
}

Reply Recorder::Write10(const Command& c) {
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // RelAdr
  const uint32_t lba = c.U32(2);
  const uint32_t count = c.U16(7);
  if (count == 0)
    return Good();
  const size_t bytes = static_cast<size_t>(count) * BlockSize;
  if (c.Out.size() < bytes)
    return DataPhase();
  if (!DriveWrites(state_.Medium))
    return Check(sense::CannotWriteIncompatibleFormat);
  const WriteMode mode = Mode();
  const bool test = TestWriteActive();
  Disc& disc = Target();
  if (auto refusal = disc.CheckWrite(lba, count, mode))
    return Refused(*refusal, lba);
  bool starts = false;
  if (state_.Config.Time.RealTime) {
    // A full buffer takes no more data until the recording makes room; a
    // block larger than the whole buffer streams through.
    if (buffer_.Free() < bytes && buffer_.Fill() > 0)
      return Check(sense::LongWriteInProgress);
    starts = !buffer_.Streaming();
    buffer_.Take(static_cast<uint32_t>(bytes));
  }
  // The first WRITE of a stream sets up the recorder's store and saves its
  // state, work a real drive doesn't do: the recording starts after it.
  struct TStart {
    Recorder& R;
    bool Starts;
    uint64_t From;
    ~TStart() {
      if (Starts)
        R.buffer_.Skip(R.Now() - From);
    }
  } start{*this, starts, Now()};
  if (!test) {
    if (!store_->Write(lba, c.Out.first(bytes)))
      return CheckAt(sense::WriteError, lba);
    dirty_ = true;
    if (!state_.Faults.Empty() && !StoreCorrupted(lba, count, c.Out))
      return CheckAt(sense::WriteError, lba);
  }
  disc.CommitWrite(lba, count, mode);
  if (!test) {
    // Saved as the writing goes: the blocks are in the image already, so a
    // writer killed mid-track leaves an incomplete session whose recorded
    // extent trails the truth by little.
    constexpr uint32_t SaveEveryBlocks = 2048;  // 4 MiB
    constexpr uint64_t SaveEveryMs = 1000;
    unsavedBlocks_ += count;
    const auto track = disc.TrackAt(lba);
    const bool started = track && track->Info.Recorded == count;
    if (started || unsavedBlocks_ >= SaveEveryBlocks || Now() - lastSave_ >= SaveEveryMs)
      SaveIfDirty();
  }
  Reply r;
  r.Transferred = static_cast<uint32_t>(bytes);
  return r;
}

bool Recorder::StoreCorrupted(uint32_t lba, uint32_t count, std::span<const uint8_t> data) {
  // Recorded wrongly, reported as done: the sectors a corrupt rule names
  // replace the good copies just stored, each with its middle byte inverted,
  // so only reading them back can tell.
  std::array<uint8_t, BlockSize> block{};
  for (const BlockRange& range : state_.Faults.Corruptions(lba, count)) {
    for (uint64_t b = range.First; b <= range.Last; ++b) {
      const size_t at = static_cast<size_t>(b - lba) * BlockSize;
      std::memcpy(block.data(), data.data() + at, BlockSize);
      block[BlockSize / 2] ^= 0xFF;
      if (!store_->Write(static_cast<uint32_t>(b), block))
        return false;
    }
  }
  return true;
}

Reply Recorder::SynchronizeCache(const Command& c) {
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // RelAdr
  const bool immediate = c.Bit(1, 1);
  if (simulation_) {
    // The end of a test write: nothing was recorded.
    simulation_.reset();
    buffer_.Flush();
    return Good();
  }
  Disc& d = state_.Medium;
  // In track-at-once, flushing the cache also closes the open CD track.
  if (d.IsCd() && !d.Tracks().empty() && !d.Tracks().back().Closed && !d.Tracks().back().Reserved) {
    (void)d.CloseTrack(d.Tracks().back().Number);
    dirty_ = true;
  }
  // Disc-at-once on DVD-R/-RW: the flush after the data pads the reserved
  // track, writes the lead-out and closes the disc; no CLOSE follows.
  const bool dvdMinusSequential =
      d.Kind() == MediumKind::DvdMinusR || (d.Kind() == MediumKind::DvdMinusRw && !d.Restricted());
  if (dvdMinusSequential && Mode().WriteType == 2 && !d.Finalized() && !d.Tracks().empty()) {
    const Track& last = d.Tracks().back();
    if (last.Reserved && !last.Closed && last.Recorded > 0) {
      (void)d.CloseSession(true);
      dirty_ = true;
    }
  }
  if (state_.Config.Time.RealTime && immediate) {
    activity_.Start(sense::LongWriteInProgress, Now(), buffer_.DrainTime(EffectiveWriteSpeed()));
    buffer_.EndStream();
  } else {
    buffer_.Flush();
  }
  if (!store_->Flush())
    return Check(sense::WriteError);
  return Good();
}

Reply Recorder::CloseTrackSession(const Command& c) {
  const bool immediate = c.Bit(1, 0);
  const uint8_t function = c.Byte(2) & 0x07;
  const uint32_t track = c.U16(4);
  Disc& d = state_.Medium;
  if (!DriveWrites(d))
    return Check(sense::CannotWriteIncompatibleFormat);
  if (TestWriteActive()) {
    // Closing after a test write leaves the disc as it was.
    simulation_.reset();
    buffer_.Flush();
    return Good();
  }
  Refusal refusal;
  bool closesSession = false;
  switch (d.Kind()) {
    case MediumKind::DvdPlusRw:
      // Stopping or completing a background format: formatting here is
      // already complete, so there is nothing to stop.
      if (function != 0 && function != 2 && function != 3)
        return CdbError(2);
      break;
    case MediumKind::DvdRam:
      return CdbError(2);
    case MediumKind::DvdMinusRw:
      if (d.Restricted()) {
        if (function != 2)
          return CdbError(2);
        d.EndIntermediate();  // the grown area becomes the formatted size
        closesSession = true;
        break;
      }
      [[fallthrough]];
    default:
      if (function == 1) {
        refusal = d.CloseTrack(track);
        if (refusal == sense::InvalidFieldInCdb)
          return CdbError(4);
      } else if (function == 2) {
        // The multi-session field of the write parameters decides whether
        // another session may follow (11b); DVD+R stays open until finalized.
        const bool finalize = d.Kind() != MediumKind::DvdPlusR && Mode().MultiSession != 3;
        refusal = d.CloseSession(finalize);
        closesSession = true;
      } else if ((function == 5 || function == 6) && d.Kind() == MediumKind::DvdPlusR) {
        refusal = d.Finalize();
        closesSession = true;
      } else {
        return CdbError(2);
      }
      break;
  }
  if (refusal)
    return Check(*refusal);
  dirty_ = true;
  buffer_.Flush();
  if (state_.Config.Time.RealTime && immediate && closesSession)
    activity_.Start(sense::OperationInProgress, Now(), state_.Config.Time.CloseMs);
  return Good();
}

Reply Recorder::ReserveTrack(const Command& c) {
  if (c.Bit(1, 0))
    return CdbError(1, 0);  // reservation by address is not offered
  if (!DriveWrites(state_.Medium))
    return Check(sense::CannotWriteIncompatibleFormat);
  Disc& d = Target();
  uint32_t size = 0;
  if (auto refusal = d.Reserve(c.U32(5), size))
    return *refusal == sense::InvalidFieldInCdb ? CdbError(5) : Check(*refusal);
  if (!simulation_)
    dirty_ = true;
  return Good();
}

Reply Recorder::Blank(const Command& c) {
  const bool immediate = c.Bit(1, 4);
  const uint8_t type = c.Byte(1) & 0x07;
  Disc& d = state_.Medium;
  if (!Traits(d.Kind()).Blankable)
    return Check(sense::IncompatibleMediumInstalled);
  if (!DriveWrites(d))
    return Check(sense::CannotWriteIncompatibleFormat);
  if (type > 1)
    return CdbError(1, 2);  // only "blank the disc" and "minimally blank"
  if (auto refusal = d.Blank())
    return Check(*refusal);
  if (!store_->Clear())
    return Check(sense::WriteError);
  simulation_.reset();
  buffer_.Flush();
  dirty_ = true;
  if (state_.Config.Time.RealTime && immediate) {
    const Timing& t = state_.Config.Time;
    const uint32_t ms = d.IsCd() ? (type == 1 ? t.CdQuickBlankMs : t.CdFullBlankMs)
                                 : (type == 1 ? t.DvdQuickBlankMs : t.DvdFullBlankMs);
    activity_.Start(sense::OperationInProgress, Now(), ms);
  }
  return Good();
}

Reply Recorder::FormatUnit(const Command& c) {
  if (!c.Bit(1, 4))
    return CdbError(1, 4);  // format data must be sent
  if ((c.Byte(1) & 0x07) != 1)
    return CdbError(1, 2);  // format code 001b
  constexpr size_t Header = 4;
  constexpr size_t Descriptor = 8;
  if (c.Out.size() < Header)
    return DataPhase();
  BeReader r(c.Out);
  const uint16_t descriptorLength = r.U16(2);
  if (c.Out.size() < Header + descriptorLength)
    return DataPhase();
  if (descriptorLength != Descriptor)
    return ParamError(2);
  const uint8_t flags = r.U8(1);
  if (!(flags & 0x80) && (flags & 0x7C))
    return ParamError(1);  // options without FOV
  const bool immediate = flags & 0x02;
  const uint32_t blocks = r.U32(4);
  const uint8_t type = static_cast<uint8_t>(r.U8(8) >> 2);
  Disc& d = state_.Medium;
  if (!DriveWrites(d))
    return Check(sense::CannotWriteIncompatibleFormat);
  bool erases = false;
  if (auto refusal = d.Format(type, blocks, erases))
    return ParamError(8);
  if (erases && !store_->Clear())
    return Check(sense::WriteError);
  simulation_.reset();
  buffer_.Flush();
  dirty_ = true;
  if (state_.Config.Time.RealTime && immediate) {
    const bool full = d.Kind() == MediumKind::DvdRam || type == 0x00 || type == 0x10;
    activity_.Start(sense::FormatInProgress, Now(), full ? state_.Config.Time.FullFormatMs : state_.Config.Time.FormatMs);
  }
  return Good();
}

Reply Recorder::SendOpcInformation(const Command& c) {
  const uint16_t length = c.U16(7);
  if (c.Out.size() < length)
    return DataPhase();
  if (!DriveWrites(state_.Medium))
    return Check(sense::CannotWriteIncompatibleFormat);
  // The laser needs no calibration; the OPC table, if any, is accepted.
  return Good();
}

Reply Recorder::SendDvdStructure(const Command& c) {
  const uint8_t format = c.Byte(7);
  const uint16_t length = c.U16(8);
  Disc& d = state_.Medium;
  const bool dvdMinus = d.Kind() == MediumKind::DvdMinusR || d.Kind() == MediumKind::DvdMinusRw;
  // Only the time stamp (0Fh) of DVD-R/-RW media.
  if (format != 0x0F || !dvdMinus)
    return CdbError(7);
  if (length == 0)
    return Good();
  if (c.Out.size() < length)
    return DataPhase();
  constexpr size_t StampLength = 22;
  if (length < StampLength)
    return Check(sense::ParameterListLengthError);
  BeReader r(c.Out.first(length));
  if (r.U16(0) < StampLength - 2)
    return ParamError(0);
  std::string stamp;
  for (size_t i = 8; i < StampLength; ++i) {
    const char ch = static_cast<char>(c.Out[i]);
    if (ch < '0' || ch > '9')
      return ParamError(i);
    stamp += ch;
  }
  auto field = [&](size_t at, size_t width) { return std::stoi(stamp.substr(at, width)); };
  // YYYYMMDDHHMMSS: month, day, hour, minute and second must be a time.
  const struct {
    size_t At;
    int Low, High;
  } checks[] = {{4, 1, 12}, {6, 1, 31}, {8, 0, 23}, {10, 0, 59}, {12, 0, 59}};
  for (const auto& k : checks) {
    const int v = field(k.At, 2);
    if (v < k.Low || v > k.High)
      return ParamError(8 + k.At);
  }
  d.SetTimeStamp(stamp);
  dirty_ = true;
  return Good();
}

} // namespace qnzb::vdrive
