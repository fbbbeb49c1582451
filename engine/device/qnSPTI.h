#pragma once
// The pass-through back end of the transport: the two ASPI entry points
// emulated over the storage driver's SCSI pass-through on the CD/DVD drive
// letters. A scan finds the drives and gives each an ASPI address. Adapters
// are numbered 0, 1, 2 ... in scan order, one per SCSI host and channel that
// holds a drive, whatever the system's host numbers (USB burners sit on
// hosts 10 and above; the device list's lines carry one digit), and the
// drive keeps its SCSI target and unit. A drive without a SCSI address, or
// with one the device list can't reach (target or unit above 7, or taken by
// another drive), gets a place on an adapter after those. INQUIRY is
// answered from the data read at scan time; every other command goes to the
// drive synchronously, so a request never stays pending. A transport failure
// ends a request with status 04h, a host status and a reason in words.
//
// Threading: scanning and closing run on the main thread while no command
// runs; SptiSendASPI32Command may be called from any thread, one command at a
// time per drive (the callers ensure it).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/device/AspiTypes.h"
#include "engine/device/Transport.h"

namespace qnzb {

// HA_ManagerId of the emulated adapters (16 characters, no terminator sent).
inline constexpr const char SptiManagerId[] = "QNZB SPTI ASPI32";
static_assert(sizeof SptiManagerId == 17);
// Maximum transfer length the emulated adapters report.
inline constexpr uint32_t SptiMaxTransfer = 0x00FF0000;
// The pass-through time-out, in seconds, of the scan's INQUIRY and of
// requests sent through SptiSendASPI32Command, which carry none of their own.
inline constexpr uint32_t SptiTimeoutSeconds = 120;

struct TSptiDrive {
  uint8_t HaId = 0;        // the adapter presented to the rest of the program
  uint8_t Target = 0;
  uint8_t Lun = 0;
  uint8_t DriveIndex = 0;  // letter = 'A' + DriveIndex
  bool Present = false;
  intptr_t Handle = -1;    // open drive handle, or -1
  std::array<uint8_t, 40> InquiryCache{};
  // The system's SCSI address, for display: host (PortNumber), channel.
  bool Addressed = false;
  uint8_t Host = 0;
  uint8_t Channel = 0;
  // The last open of the drive was read-only: it can't write or erase.
  bool ReadOnly = false;
};

// A CD/DVD drive letter the scan could not use, and why in words.
struct TSptiSkipped {
  char Letter = 0;
  std::string Node;    // the device path; empty for a simulated letter
  std::string Reason;  // "permission denied on /dev/sr0: join group cdrom"
};

struct TSptiDriveTable {
  uint8_t AdapterCount = 0;
  // By drive number: 0 = A ... 25 = Z, 26 one past Z.
  std::array<TSptiDrive, 27> Drives{};
};

// The table; read by the device list to find a drive's letter.
[[nodiscard]] const TSptiDriveTable& SptiDriveTable();
[[nodiscard]] bool SptiScanned();

// Finds the CD/DVD drive letters C to Z and probes each with INQUIRY. The
// number of drives found; 0 without scanning when the table is scanned.
int ScanDrives();
// The letters the last scan skipped (could not open, no answer), in letter
// order; kept until the next scan.
[[nodiscard]] const std::vector<TSptiSkipped>& SptiSkippedDrives();
// Closes every open handle and clears the table (only when scanned).
void CloseSpti();

// The emulated entry points.
uint32_t SptiGetASPI32SupportInfo();
uint32_t SptiSendASPI32Command(void* request);
// SC_EXEC_SCSI_CMD with the caller's time-out (milliseconds, rounded up to
// whole seconds for the pass-through), telling how much data moved and why
// the transport failed. A drive found gone has its handle closed, so that
// the next command opens it again.
uint32_t SptiExecute(SRB_ExecSCSICmd& request, uint32_t timeoutMs, TExecDetails& details);

// The first present entry (drive numbers 2..26) with this address; nullptr
// when none.
[[nodiscard]] const TSptiDrive* SptiFindDrive(uint8_t haId, uint8_t target, uint8_t lun);
// The present entry of a drive letter; nullptr when none.
[[nodiscard]] const TSptiDrive* SptiDriveOfLetter(char letter);
// Whether the drive at this address was opened read-write, learnt by opening
// it now when no handle is open. Empty when no drive has the address; else
// true, or false with the reason in `why` ("NO WRITE ACCESS TO /dev/sr0").
[[nodiscard]] std::optional<bool> SptiDriveWritable(uint8_t haId, uint8_t target, uint8_t lun, std::string& why);
// Opens the drive at this address exclusively (a write or erase job keeps
// other programs out), or as usual again, reopening its handle now. False,
// with the reason in `why` and the drive as it was, when the exclusive open is
// refused (another program holds the drive, or its disc is mounted); true for
// an address without a drive.
[[nodiscard]] bool SptiSetExclusive(uint8_t haId, uint8_t target, uint8_t lun, bool exclusive, std::string& why);

} // namespace qnzb
