#include "engine/image/qnCDBCDiscSink.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/DateTime.h"
#include "engine/device/ScsiBytes.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

constexpr int32_t FullBlock = 65536;
constexpr int32_t MaxBusyRetries = 10000;
constexpr uint32_t BusyPauseMs = 600;

// DVD-R streaming performance: the whole disc, reads of 43,965 KB per
// 1000 ms; the write size (bytes 20-23) is set to the chosen speed.
constexpr std::array<uint8_t, 28> DvdRStreaming = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23,
                                                   0x12, 0x7F, 0x00, 0x00, 0xAB, 0xBD, 0x00, 0x00, 0x03, 0xE8,
                                                   0x00, 0x00, 0x05, 0x8A, 0x00, 0x00, 0x03, 0xE8};
constexpr size_t StreamingWriteSize = 20;

// DVD-R drives take their write speed from SET STREAMING, not from SET CD
// SPEED: a fixed write size would burn every DVD-R at 1X. KB per 1000 ms is
// KB/s.
std::array<uint8_t, 28> DvdRStreamingAt(uint16_t kbps) {
  std::array<uint8_t, 28> list = DvdRStreaming;
  list[StreamingWriteSize + 2] = static_cast<uint8_t>(kbps >> 8);
  list[StreamingWriteSize + 3] = static_cast<uint8_t>(kbps & 0xFF);
  return list;
}
// FORMAT UNIT parameter lists (format data present, format code 1).
constexpr uint8_t FormatWithList = 0x11;
constexpr std::array<uint8_t, 12> DvdPlusRwFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40,
                                                     0x98, 0x00, 0x00, 0x00};
constexpr std::array<uint8_t, 12> SequentialDvdRwFormat = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8,
                                                           0x54, 0x00, 0x00, 0x10};
constexpr std::array<uint8_t, 12> RestrictedDvdRwFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
                                                           0x4C, 0x00, 0x00, 0x10};
constexpr std::array<uint8_t, 12> DvdRwSecondTryFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
                                                          0x54, 0x00, 0x00, 0x10};

bool IsCdRecordable(uint8_t kind) {
  return kind == MediaCdR || kind == MediaCdRw;
}

// Drives answer NOT READY (long write in progress) or BUSY while their
// buffer is full; such a write is tried again. A write that never reached
// the drive (no access, the drive gone, no answer in time) is no busy drive:
// retrying it would only hide the reason for 100 minutes.
bool DriveBusy(const TSCSIDevice& device) {
  if (device.TransportFailed)
    return false;
  return device.TargetBusy || device.LastSense[12] == AscNotReady || device.LastSense[12] == 0x00;
}

// Polls the disc information until the drive no longer reports NOT READY.
void WaitWhileFormatting(TSCSIDevice& device, uint32_t pauseMs) {
  alignas(4) std::array<uint8_t, 56> info{};
  do {
    Sleep(pauseMs);
    device.ReadDiscInformation(info);
  } while (device.LastSense[12] == AscNotReady);
}

// "24X (4,234 KB/s)" on CD, "4.0X (5,540 KB/s)" on DVD.
std::string WriteSpeedText(uint8_t kind, uint16_t kbps) {
  const bool dvd = kind >= MediaDvdR && kind <= MediaDvdPlusR;
  return FormatFixed(kbps / (dvd ? 1385.0 : 176.4), dvd ? 1 : 0) + "X (" + FormatFixed(kbps, 0, true) + " KB/s)";
}

} // namespace

void PrepareRewritableDvd(TQNZBurner& burner, uint8_t kind) {
  const auto& list = kind == MediaDvdRwSequential ? SequentialDvdRwFormat : RestrictedDvdRwFormat;
  if (!burner.FormatUnit(FormatWithList, list))
    burner.FormatUnit(FormatWithList, DvdRwSecondTryFormat);
  WaitWhileFormatting(burner, 5000);
}

TDiscSink::TDiscSink(TQNZBurner& burner, bool imageFile, std::function<std::string(uint32_t)> owner)
    : burner_(burner), imageFile_(imageFile), buffer_(FullBlock, 0), owner_(std::move(owner)) {
  burner_.SessionDigest.clear();
}

bool TDiscSink::Start(std::string& /*message*/) {
  TQNZBurner& b = burner_;
  pollingOn_ = b.ReadBufferCapacity();
  kind_ = b.MediaKind();
  CurrentMediaKind = kind_;
  b.StartStopUnit(false);
  if (kind_ != MediaDvdPlusRw)
    b.RezeroUnit();
  b.SetCdSpeed(b.ReadSpeed, b.WriteSpeed());
  b.WaitUntilReady(10000, 1000);

  speed_ = b.CurrentWriteSpeed();
  // Written with no next session allowed; the closing sets the final field.
  const bool finalize = b.FinalizeDisc;
  b.FinalizeDisc = true;
  b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, kind_);
  b.FinalizeDisc = finalize;
  sessionNumber_ = b.SessionCount() + 1u;

  if (kind_ == MediaDvdR) {
    // The maximum (0) is the drive's own.
    const uint16_t chosen = b.WriteSpeed() != 0 ? b.WriteSpeed() : b.MaxWriteSpeed();
    b.SetStreaming(DvdRStreamingAt(chosen != 0 ? chosen : 0xFFFF));
    // The speed the drive now writes at, for the announcement and the waits.
    if (const uint16_t streamed = b.CurrentWriteSpeed(); streamed != 0)
      speed_ = streamed;
    b.SendTimeStamp(Now());
    const auto blocks = static_cast<uint32_t>((b.TrackLength() + 31) / 32 * 32);
    b.ReserveTrack(blocks);
    b.WaitUntilReady(10000, 1000);
  }
  if (kind_ != MediaDvdRam && !b.TestWrite && b.PerformOPC)
    b.SendOpcInformation();

  b.SendDebugMessage(StatusPrefix + Format("STARTING WRITE PROCESS ON %s AT %s", MediaKindNames()[kind_].c_str(),
                                           WriteSpeedText(kind_, speed_).c_str()),
                     mtProgress);
  if (b.TestWrite)
    b.SendDebugMessage(std::string(StatusPrefix) + "TEST/DUMMY WRITE", mtProgress);
  // An image file goes to the disc from its first sector.
  if (imageFile_)
    b.SessionStart = 0;
  return true;
}

bool TDiscSink::RewriteDescriptors(int32_t length, std::string& message) {
  TQNZBurner& b = burner_;
  // A failure here is expected on some drives; it is handled below, not reported.
  b.FirstCommandChecked = true;
  const auto blocks = static_cast<uint16_t>(length / 2048);
  const size_t bytes = std::min<size_t>(static_cast<size_t>(length), b.DescriptorCopy.size());
  std::vector<uint8_t> copy(static_cast<size_t>(length), 0);
  std::copy_n(b.DescriptorCopy.begin(), bytes, copy.begin());
  for (;;) {
    if (b.Write10(0, blocks, 0x50, copy)) {
      descriptorChecks_.clear();
      Note(descriptorChecks_, copy.data(), length, false);
      b.SynchronizeCache(1800000, false);
      return true;
    }
    if (FormatOnDemand())
      continue;
    if (DriveBusy(b)) {
      Sleep(BusyPauseMs);
      ++retries_;
      return true;  // the rewrite is given up; the block itself is still written
    }
    message = "WRITER ERROR [" + b.LastErrorText + "]";
    return false;
  }
}

bool TDiscSink::FormatOnDemand() {
  TQNZBurner& b = burner_;
  if (formatTried_ || kind_ != MediaDvdPlusRw || b.LastSense[12] != AscIncompatibleMedium)
    return false;
  // A DVD+RW that was never formatted: format it now and try once more.
  formatTried_ = true;
  if (b.FormatUnit(FormatWithList, DvdPlusRwFormat))
    WaitWhileFormatting(b, 2000);
  return true;
}

uint32_t TDiscSink::BusyPause(int32_t length) {
  TQNZBurner& b = burner_;
  // A drive whose buffer is full answers LONG WRITE IN PROGRESS until the
  // recording has made room for the block: waiting the usual 600 ms there
  // would let a fast drive run dry, so wait just as long as that takes.
  const bool longWrite = b.LastSense[12] == AscNotReady && b.LastSense[13] == 0x08;
  // Speeds are KB/s of 1000 bytes: bytes per millisecond.
  const auto needed = static_cast<uint32_t>(length);
  if (longWrite && speed_ > 0 && b.ReadBufferCapacity() && b.DeviceBufferSize >= needed) {
    const uint32_t free = b.DeviceFreeBufferSize;
    // The recording goes on while we ask: a buffer with at most a block and
    // 50 ms of recording free was full a moment ago.
    if (free < needed + uint32_t{speed_} * 50)
      return std::clamp<uint32_t>((needed - std::min(free, needed)) / speed_ + 1, 1, BusyPauseMs);
  }
  return BusyPauseMs;
}

bool TDiscSink::WriteAt(uint32_t lba, const uint8_t* data, int32_t length, std::string& message) {
  TQNZBurner& b = burner_;
  // The drive buffer is read at the 6th block and every 5th after it; one
  // failed read ends the polling for the job.
  if (pollCountdown_ == 0 && pollingOn_ && b.ReadBufferCapacity()) {
    pollCountdown_ = 5;
    b.NoteBufferFill();
  }
  --pollCountdown_;
  retries_ = 0;
  busyMs_ = 0;
  const std::span<const uint8_t> bytes(data, static_cast<size_t>(length));
  for (;;) {
    if (AbortRequested) {
      message = msgAbortedByUser;
      return false;
    }
    if (b.Write10(lba, static_cast<uint16_t>(length / 2048), 0x50, bytes))
      return true;
    // An image burn has no descriptor rewrite before: its first WRITE meets
    // the unformatted disc.
    if (FormatOnDemand())
      continue;
    if (!DriveBusy(b)) {
      message = "WRITER ERROR [" + b.LastErrorText + "]";
      return false;
    }
    const uint32_t pause = BusyPause(static_cast<int32_t>(bytes.size()));
    Sleep(pause);
    // The drive gets 10,000 pauses of 600 ms (about 100 minutes) in all.
    busyMs_ += pause;
    ++retries_;
    if (busyMs_ >= uint64_t{MaxBusyRetries} * BusyPauseMs) {
      message = "WRITER BUSY/BUFFER FULL";
      return false;
    }
  }
}

bool TDiscSink::Write(const uint8_t* data, int32_t length, std::string& message) {
  if (firstBlock_) {
    firstBlock_ = false;
    // Overwritable media keep no sessions: the newest descriptors go to the
    // start of the disc, where the next burn and every reader look.
    const bool overwritable =
        kind_ == MediaDvdRam || kind_ == MediaDvdRwRestricted || kind_ == MediaDvdPlusRw;
    if (!imageFile_ && overwritable && !RewriteDescriptors(length, message))
      return false;
  }
  if (imageFile_ || IsCdRecordable(kind_))
    return WriteNext(data, length, message);
  // DVDs are written in whole 32-sector blocks at consecutive addresses. A
  // short block before the end of the stream is completed from the next
  // one: padded with zeros instead, it would move every later sector and
  // overrun the track reserved on a DVD-R.
  while (length > 0) {
    const int32_t take = std::min(length, FullBlock - pending_);
    std::copy_n(data, take, buffer_.begin() + pending_);
    pending_ += take;
    data += take;
    length -= take;
    if (pending_ == FullBlock) {
      pending_ = 0;
      if (!WriteNext(buffer_.data(), FullBlock, message))
        return false;
    }
  }
  return true;
}

bool TDiscSink::WriteNext(const uint8_t* data, int32_t length, std::string& message) {
  if (!WriteAt(burner_.SessionStart + sectorsWritten_, data, length, message))
    return false;
  Note(sessionChecks_, data, length, true);
  sectorsWritten_ += static_cast<uint32_t>(length / 2048);
  return true;
}

void TDiscSink::Flush() {
  TQNZBurner& b = burner_;
  if (kind_ != MediaDvdRam)
    b.ReadBufferCapacity();
  if (b.OnFinalizingTrack)
    b.OnFinalizingTrack(&b);
  if (kind_ == MediaDvdR || kind_ == MediaDvdRwRestricted || kind_ == MediaDvdRwSequential) {
    b.SynchronizeCache(1800000, true);
    // The bar of the drive buffer rises by 1/960 a second while the drive
    // flushes; the drive answers again when it is done (at most the flush's
    // own 30 minutes).
    b.DeviceFreeBufferSize = b.DeviceBufferSize.load();
    alignas(4) std::array<uint8_t, 56> info{};
    for (int second = 0; second < 1800 && !b.ReadDiscInformation(info); ++second) {
      b.DeviceFreeBufferSize -= std::min(b.DeviceFreeBufferSize.load(), b.DeviceBufferSize / 960);
      Sleep(1000);
    }
  } else if (!b.SynchronizeCache(120000, false)) {
    b.SynchronizeCache(120000, true);
  }
  b.DeviceBufferSize = 0;
  b.DeviceFreeBufferSize = 0;
}

void TDiscSink::CloseCdSession() {
  TQNZBurner& b = burner_;
  for (int tries = 1;; ++tries) {
    if (b.CloseTrackSession(false, CloseImmediate, false))
      return;
    const bool busy = b.TargetBusy || b.LastSense[12] == AscNotReady;
    if (!busy) {
      b.CloseTrackSession(false, CloseImmediate, false);
      return;
    }
    if (tries >= 1000)
      return;
    Sleep(1000);
  }
}

void TDiscSink::Close() {
  TQNZBurner& b = burner_;
  if (kind_ != MediaDvdR)
    b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, kind_);
  const auto track = static_cast<uint8_t>(sessionNumber_);
  switch (kind_) {
    case MediaDvdPlusR:
      b.CloseTrackSession(false, 1, 0, 0, track);
      b.CloseTrackSession(false, 2, 0, 0, 0xFF);
      break;
    case MediaDvdR:
      b.CloseTrackSession(false, 1, 0, 0, track);
      b.CloseTrackSession(false, 1, 0, 0, static_cast<uint8_t>(track + 1));
      b.CloseTrackSession(false, 2, 0, 0, static_cast<uint8_t>(track + 2));
      break;
    case MediaDvdRwRestricted:
    case MediaDvdRwSequential:
      b.CloseTrackSession(true, 2, 0, 0, 0);
      break;
    case MediaDvdPlusRw:
      b.CloseTrackSession(false, 3, 0, 0, 0xFF);
      break;
    default:
      CloseCdSession();
      break;
  }
}

bool TDiscSink::Finish(std::string& message) {
  TQNZBurner& b = burner_;
  if (pending_ > 0) {
    // The stream's last DVD block goes out at full length, zeros after its data.
    std::fill(buffer_.begin() + pending_, buffer_.end(), uint8_t{0});
    pending_ = 0;
    if (!WriteNext(buffer_.data(), FullBlock, message))
      return false;
  }
  Flush();
  if (b.FinalizeTrack && !b.TestWrite && kind_ != MediaDvdRam)
    Close();
  b.WaitUntilReady(240000, 5000);
  if (kind_ != MediaDvdRam)
    b.ReadBufferCapacity();
  b.ReturnToIdle();
  return true;
}

void TDiscSink::Fail() {
  Flush();
}

} // namespace qnzb
