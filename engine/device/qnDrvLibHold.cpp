// Holding the selected drive: the lock that keeps this program's processes
// apart on one drive, and the exclusive open of a write or erase job.

#include "engine/device/qnDrvLib.h"

#include "engine/device/Transport.h"
#include "engine/device/qnConst.h"
#include "engine/device/qnSPTI.h"
#include "engine/runtime/Clock.h"
#include "engine/runtime/Strings.h"
#include "platform/Drives.h"

namespace qnzb {

namespace {

// A job waits this long for single commands of other processes to end.
constexpr uint32_t ExclusiveWaitMs = 3000;
constexpr uint32_t ExclusivePollMs = 100;

} // namespace

bool TSCSIDevice::HoldDrive(bool Exclusive, std::string& Why) {
  if (!AcquireHold(Exclusive, Why))
    return false;
  // A job also locks the tray: a disc taken out mid-session is spoilt, and
  // the system's eject of another program obeys the lock.
  if (Exclusive && !trayLocked_ && !SelectedId.empty())
    trayLocked_ = AllowMediumRemoval(false);
  if (!writeModesProbed_ && !SelectedId.empty()) {
    writeModesProbed_ = true;
    ProbeWriteModes();
  }
  return true;
}

bool TSCSIDevice::AcquireHold(bool Exclusive, std::string& Why) {
  Why.clear();
  if (HaId == 254)
    return true;
  const bool passThrough = Transport().Name == SptiTransportName;
  // What tells this drive apart from every other: its device node, or its
  // identity and serial number.
  // A drive simulated in this process has no node: its identity and serial
  // number tell it apart, as they do for drives behind a library.
  const std::string node = passThrough ? platform::DriveDevicePath(DriveLetter()) : std::string();
  std::string key;
  if (!node.empty()) {
    key = "node " + node;
  } else {
    const std::string serial = UnitSerialNumber();
    if (serial.empty())
      return true;
    key = "drive " + std::string(reinterpret_cast<const char*>(InquiryData.data() + 8), 28) + " " + serial;
  }
  if (key != driveLockKey_) {
    driveLock_.reset();
    driveLockKey_ = key;
  }

  const uint64_t start = TickCount();
  for (;;) {
    std::string why;
    if (!driveLock_)
      driveLock_ = platform::LockDrive(key, Exclusive, why);
    else if (!driveLock_->Change(Exclusive))
      why = platform::DriveLockInUse;
    if (driveLock_ && driveLock_->Exclusive() == Exclusive)
      break;
    // Single commands of our other processes end in moments; a job doesn't.
    if (why != platform::DriveLockInUse || !Exclusive || TickCount() - start >= ExclusiveWaitMs) {
      Why = why == platform::DriveLockInUse ? msgDriveInUse : why;
      return false;
    }
    Sleep(ExclusivePollMs);
  }

  if (!node.empty() && !SptiSetExclusive(HaId, Target, Lun, Exclusive, Why)) {
    // Another program has the device (or the system has its disc mounted).
    if (const std::string mounted = DiscMountPoint(); !mounted.empty())
      Why = Format(msgDiscMounted, mounted.c_str());
    (void)driveLock_->Change(!Exclusive);
    return false;
  }
  return true;
}

void TSCSIDevice::EndExclusiveHold() {
  if (trayLocked_.exchange(false))
    (void)AllowMediumRemoval(true);
  if (!driveLock_ || !driveLock_->Exclusive())
    return;
  std::string why;
  if (Transport().Name == SptiTransportName && !platform::DriveDevicePath(DriveLetter()).empty())
    (void)SptiSetExclusive(HaId, Target, Lun, false, why);
  (void)driveLock_->Change(false);
}

} // namespace qnzb
