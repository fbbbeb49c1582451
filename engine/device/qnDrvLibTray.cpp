// Readiness: waiting for a drive that is still spinning up, blanking,
// formatting or closing, and the tray buttons of the main window as
// operations both front ends share.

#include "engine/device/qnDrvLib.h"

#include <algorithm>

#include "engine/device/ScsiSense.h"
#include "engine/device/qnConst.h"
#include "engine/runtime/Clock.h"
#include "engine/device/ScsiBytes.h"
#include "engine/runtime/Strings.h"
#include "platform/Drives.h"
#include "platform/Mounts.h"

namespace qnzb {

namespace {

constexpr size_t SenseReplyBytes = 40;
// Some drives answer REQUEST SENSE with a response code of F0h (valid,
// current) and nothing else while they are still busy.
constexpr uint8_t ValidCurrentSense = 0xF0;

} // namespace

bool TSCSIDevice::WaitUntilReady(int32_t TotalMs, int32_t IntervalMs) {
  const auto busy = [this] { return LastSense[12] == AscNotReady; };
  // A step below 1 ms would let the last loop spin without end.
  IntervalMs = std::max(IntervalMs, 1);
  const auto wait = [&] { Sleep(static_cast<uint32_t>(IntervalMs)); };
  int64_t remaining = TotalMs;
  alignas(4) std::array<uint8_t, SenseReplyBytes> sense{};

  if (QuirkSlowReady || SlowReadyDrive) {
    do {
      Sleep(1500);
      remaining -= 1500;
      if (remaining < 0)
        break;
      TestUnitReady(5000);
    } while (busy());
  }

  if (CurrentMediaKind == MediaDvdRam) {
    // DVD-RAM answers READ DISC INFORMATION while it formats: go straight to
    // TEST UNIT READY polling.
    sense[12] = AscNotReady;
  } else {
    alignas(4) std::array<uint8_t, 56> info{};
    do {
      wait();
      ReadDiscInformation(info);
      remaining -= IntervalMs;
      if (remaining < 0)
        return false;
    } while (busy());
    if (TestUnitReady(5000) && sense[12] == 0)
      return true;
  }

  do {
    wait();
    remaining -= IntervalMs;
    if (remaining < 0)
      return false;
    TestUnitReady(5000);
  } while (busy());

  do {
    sense.fill(0);
    const bool answered = RequestSense(sense);
    // A drive that can't be reached is not ready, and won't become so.
    if (!answered && TransportFailed)
      return false;
    remaining -= IntervalMs;
    if (remaining < 0)
      return false;
    DescriptorSenseToFixed(sense);
    // A refused REQUEST SENSE left the buffer zero: that is no "ready".
    if (!answered || sense[0] == ValidCurrentSense)
      sense[12] = AscNotReady;
    if (sense[12] == AscNotReady)
      wait();
  } while (sense[12] != 0);
  return true;
}

bool TSCSIDevice::LoadMedium() {
  const bool ok = StartStopUnit(false);
  if (ok)
    SendDebugMessage(">>> LOAD MEDIUM COMMAND DONE.", 0);
  return ok;
}

std::string TSCSIDevice::DiscMountPoint() {
  const char letter = DriveLetter();
  if (letter < 'A' || letter > 'Z')
    return {};
  const std::vector<std::string> points = platform::MountPointsOf(platform::DriveDevicePath(letter));
  return points.empty() ? std::string() : points.front();
}

bool TSCSIDevice::EjectMedium() {
  // The drive would take the disc away from a file system the system still
  // uses (the system's own eject refuses that too).
  if (const std::string mounted = DiscMountPoint(); !mounted.empty()) {
    LastErrorText = Format(msgDiscMounted, mounted.c_str());
    SendDebugMessage(">>> EJECT MEDIUM COMMAND FAILED.", 0);
    return false;
  }
  // Whatever the drive still holds goes to the disc first; the tray may have
  // been locked by a job.
  SynchronizeCache(300000, false);
  AllowMediumRemoval(true);
  const bool ok = StartStopUnit(true);
  SendDebugMessage(ok ? ">>> EJECT MEDIUM COMMAND DONE." : ">>> EJECT MEDIUM COMMAND FAILED.", 0);
  return ok;
}

void TSCSIDevice::ReturnToIdle() {
  SetWriteParameters(false, false, MediaCdRom);
  SetCdSpeed(MaxReadSpeed(), 2);
  RezeroUnit();
  AllowMediumRemoval(true);
  StartStopUnit(false);
  RezeroUnit();
  TestUnitReady(5000);
}

bool TSCSIDevice::CheckReady() {
  const bool ok = TestUnitReady(5000);
  SendDebugMessage(ok ? ">>> DRIVE IS READY" : ">>> DRIVE IS NOT READY ", 0);
  return ok;
}

} // namespace qnzb
