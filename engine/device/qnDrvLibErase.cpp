// Blanking a rewritable medium: CD-RW and DVD-RW with BLANK, DVD-RAM and
// DVD+RW by formatting or by overwriting their start with zeros. The drive
// takes the command at once; a worker thread then watches it until it is
// ready again, publishes a percentage, puts the drive back into a known
// state and reports on the main thread.

#include "engine/device/qnDrvLib.h"

#include <cmath>

#include "engine/device/ScsiSense.h"
#include "engine/device/qnConst.h"
#include "engine/device/Transport.h"
#include "engine/runtime/Clock.h"
#include "engine/device/ScsiBytes.h"
#include "engine/runtime/Strings.h"
#include "engine/runtime/Thread.h"

namespace qnzb {

namespace {

constexpr uint16_t ZeroBlocks = 32;  // 64 KiB of zeros per WRITE (10)
constexpr uint32_t ZeroBytes = ZeroBlocks * 2048u;

// FORMAT UNIT parameter lists (immediate, one descriptor, 2048-byte blocks).
constexpr std::array<uint8_t, 12> DvdRamFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20,
                                                  0x00, 0x00, 0x08, 0x00};
constexpr std::array<uint8_t, 12> DvdPlusRwFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40,
                                                     0x98, 0x00, 0x00, 0x00};
// Format data present, format code 1.
constexpr uint8_t FormatWithList = 0x11;

// The rough duration of a blank in seconds: the scale of the progress.
uint16_t ExpectedSeconds(uint8_t kind, uint8_t blankType) {
  if (!IsDvdKind(kind))
    return blankType == 1 ? 150 : 4500;
  if (blankType == 1)
    return kind == MediaDvdRw ? 180 : 600;
  return blankType == 0 ? 4440 : 8880;
}

// "8.0X(11,080 KB/s)" on DVD-RAM and DVD-RW, "24X(4,234 KB/s)" otherwise.
std::string EraseSpeedText(uint8_t kind, uint16_t kbps) {
  const bool dvdUnit = kind >= MediaDvdRam && kind <= MediaDvdPlusRw;
  return FormatFixed(kbps / (dvdUnit ? 1385.0 : 176.4), dvdUnit ? 1 : 0) + "X(" + FormatFixed(kbps, 0, true) +
         " KB/s)";
}

} // namespace

// Watches a running blank or format. Frees itself when it ends.
class TEraseThread final : public TThread {
public:
  TEraseThread(TSCSIDevice& burner, uint8_t kind, uint16_t expected)
      : TThread(true), Kind(kind), Burner(burner), Expected(expected) {
    FreeOnTerminate = true;
  }

  const uint8_t Kind;
  TSCSIDevice& Burner;
  const uint16_t Expected;
  // A blank that ends by its time budget counts as done; a drive the
  // transport lost while the blank ran, or a DVD+RW format that never ends
  // (nothing can be written over it), ends it with an error.
  bool WithError = false;

protected:
  void Execute() override;

private:
  [[nodiscard]] bool Busy() const { return Burner.LastSense[12] == AscNotReady; }
  void Progress() {
    Burner.eraseProgress_ = static_cast<int32_t>(std::lround(elapsed_ / Expected * 100.0));
  }
  // TEST UNIT READY; a failed one waits 2 s before the next poll.
  void PollReady() {
    if (!Burner.TestUnitReady(5000))
      Sleep(2000);
  }
  void OverwriteStart();
  void ZeroPieces(uint32_t pieces);

  double elapsed_ = 0;  // seconds
  std::string failure_;  // why the erase failed, for LastErrorText
};

void TEraseThread::ZeroPieces(uint32_t pieces) {
  const std::vector<uint8_t> zeros(ZeroBytes, 0);
  for (uint32_t piece = 0; piece < pieces; ++piece)
    Burner.Write10(piece * ZeroBlocks, ZeroBlocks, 0x50, zeros);
  Burner.SynchronizeCache(30000, false);
}

// DVD+RW after its background format: zeros over the start of the medium
// (the first 2 MiB for a quick erase, the whole medium otherwise), so no
// earlier file system is found there.
void TEraseThread::OverwriteStart() {
  const std::vector<uint8_t> zeros(ZeroBytes, 0);
  const uint32_t lastPiece = Burner.BlankType == 1 ? 65 : 71001;
  for (uint32_t piece = 0;; ++piece) {
    if (!Burner.Write10(piece * ZeroBlocks, ZeroBlocks, 0x50, zeros))
      return;
    if (piece + 1 == lastPiece) {
      Sleep(300);
      Progress();
      Burner.SynchronizeCache(30000, false);
      Burner.CloseTrackSession(false, 3, 0, 0, 0);
      elapsed_ += 1;
      return;
    }
  }
}

void TEraseThread::Execute() {
  const double q = Expected;
  alignas(4) std::array<uint8_t, 56> info{};
  Burner.eraseProgress_ = 0;

  switch (Kind) {
    case MediaDvdRwRestricted:
    case MediaDvdRwSequential:
      do {
        Progress();
        PollReady();
        elapsed_ += 1;
        Progress();
      } while (Busy() && elapsed_ <= q);
      Sleep(5000);
      do {
        Progress();
        PollReady();
        elapsed_ += 1;
      } while (Busy() && elapsed_ <= q);
      break;
    case MediaDvdPlusRw:
      // The background format ends by itself, but a drive that never ends
      // it must not hold the erase for ever: it gets the erase's budget.
      do {
        Sleep(2000);
        Burner.ReadDiscInformation(info);
        elapsed_ += 2;
        Progress();
      } while (Busy() && elapsed_ <= q);
      if (Busy()) {
        WithError = true;
        failure_ = Format(msgFormatTimedOut, static_cast<uint32_t>(elapsed_));
        break;
      }
      OverwriteStart();
      break;
    case MediaDvdRam:
      if (Burner.BlankType == 1)
        ZeroPieces(65);
      elapsed_ = 0;
      break;
    default:
      elapsed_ = 0;
      break;
  }

  if (!WithError && SlowReadyDrive) {
    do {
      Progress();
      PollReady();
      elapsed_ += 2;
    } while (Busy() && q >= elapsed_);
    Burner.ReadDiscInformation(info);
    Sleep(5000);
  }

  if (!WithError && (!Burner.TestUnitReady(5000) || !Burner.ReadDiscInformation(info))) {
    if (Kind != MediaDvdRam) {
      do {
        Progress();
        Burner.ReadDiscInformation(info);
        if (Busy())
          Sleep(5000);
        elapsed_ += 5;
      } while (Busy() && q >= elapsed_);
    }
    do {
      Progress();
      PollReady();
      elapsed_ += 2;
    } while (Busy() && q >= elapsed_);
    alignas(4) std::array<uint8_t, 40> sense{};
    do {
      Progress();
      sense.fill(0);
      const bool answered = Burner.RequestSense(sense);
      // A drive the transport can't reach won't finish: the erase failed.
      if (!answered && Burner.TransportFailed) {
        WithError = true;
        break;
      }
      DescriptorSenseToFixed(sense);
      // A refused REQUEST SENSE left the buffer zero: that is no "ready".
      if (!answered || sense[0] == 0xF0)
        sense[12] = AscNotReady;
      Sleep(2000);
      elapsed_ += 2;
    } while (sense[12] != 0 && elapsed_ <= q);
  }

  // The blank is done: other programs may use the drive again (and the
  // pass-through back end's table is rebuilt with ordinary handles).
  Burner.EndExclusiveHold();
  if (Transport().Name == SptiTransportName)
    ReinitializeTransport();
  Burner.eraseProgress_ = 100;

  Burner.ReturnToIdle();
  if (!failure_.empty()) {
    Burner.LastErrorText = failure_;
    Burner.SendDebugMessage(StatusPrefix + failure_, mtError);
  }

  Burner.Erasing = false;
  // The last use of the component: once the report has run, the component
  // may be destroyed or start the next erase from its handler.
  Synchronize([this] {
    Burner.Erasing = false;
    Burner.eraseThreadRunning_ = false;
    if (Burner.OnEraseDone)
      Burner.OnEraseDone(&Burner, WithError);
  });
}

bool TSCSIDevice::StartErase(uint8_t blankType) {
  if (Erasing || eraseThreadRunning_)
    return false;
  // A drive opened read-only refuses BLANK and FORMAT UNIT: say why at once.
  std::string why;
  if (!DriveWritable(why) || !HoldDrive(true, why)) {
    LastErrorText = why;
    return false;
  }
  // Every way out before the thread starts gives the drive back.
  struct TEndHold {
    TSCSIDevice& Device;
    bool Keep = false;
    ~TEndHold() {
      if (!Keep)
        Device.EndExclusiveHold();
    }
  } hold{*this};
  TestUnitReady(5000);
  StartStopUnit(false);
  const uint8_t kind = MediaKind();
  CurrentMediaKind = kind;
  BlankType = blankType;
  const auto ready = [this] { return TestUnitReady(5000) || WaitUntilReady(30000, 5000); };
  if (!ready())
    return false;
  if (kind != MediaDvdRam) {
    SetCdSpeed(ReadSpeed, WriteSpeed());
    SetWriteParameters(false, false, kind);
  }
  const uint16_t speed = CurrentWriteSpeed();
  if (!ready())
    return false;
  SendDebugMessage(std::string(">>> ") + Format("STARTING ERASE PROCESS ON %s AT %s", MediaKindNames()[kind].c_str(),
                                                EraseSpeedText(kind, speed).c_str()),
                   1);

  bool started = false;
  if (kind == MediaDvdRam && blankType == 1) {
    const std::vector<uint8_t> zeros(ZeroBytes, 0);
    for (uint32_t lba = 0; lba <= 320; lba += ZeroBlocks)
      Write10(lba, ZeroBlocks, 0x50, zeros);
    started = true;
    SynchronizeCache(30000, false);
  } else if (kind == MediaDvdRam) {
    started = FormatUnit(FormatWithList, DvdRamFormat);
  } else if (kind == MediaDvdPlusRw) {
    started = FormatUnit(FormatWithList, DvdPlusRwFormat);
    if (!started) {
      RezeroUnit();
      Sleep(1000);
      started = FormatUnit(FormatWithList, DvdPlusRwFormat);
    }
  } else {
    started = Blank(blankType);
  }

  if (!started) {
    Erasing = false;
    SendDebugMessage(">>> ERASE COMMAND REFUSED [" + LastErrorText + "]", 4);
    if (OnEraseDone)
      OnEraseDone(this, true);
    return false;
  }
  hold.Keep = true;
  auto* thread = new TEraseThread(*this, kind, ExpectedSeconds(kind, blankType));
  eraseProgress_ = 0;
  Erasing = true;
  eraseThreadRunning_ = true;
  thread->Start();
  return true;
}

int32_t TSCSIDevice::EraseProgress() const {
  return Erasing ? eraseProgress_.load() : 0;
}

} // namespace qnzb
