#pragma once
// The pass-through back end of the transport: the two ASPI entry points
// emulated over the storage driver's SCSI pass-through on the CD/DVD drive
// letters. A scan finds the drives and gives each an ASPI address: its own
// SCSI address where the driver has one, else a place on one extra adapter
// after the real ones. INQUIRY is answered from the data read at scan time;
// every other command goes to the drive synchronously, so a request never
// stays pending.
//
// Threading: scanning and closing run on the main thread while no command
// runs; SptiSendASPI32Command may be called from any thread, one command at a
// time per drive (the callers ensure it).

#include <array>
#include <cstdint>

#include "engine/device/AspiTypes.h"

namespace qnzb {

// HA_ManagerId of the emulated adapters (16 characters, no terminator sent).
inline constexpr const char SptiManagerId[] = "QNZB SPTI ASPI32";
static_assert(sizeof SptiManagerId == 17);
// Lun of an entry whose drive gave no SCSI address, while the scan runs.
inline constexpr uint8_t SptiNoAddressLun = 250;
// Maximum transfer length the emulated adapters report.
inline constexpr uint32_t SptiMaxTransfer = 0x00FF0000;
// The pass-through time-out of every command, in seconds.
inline constexpr uint32_t SptiTimeoutSeconds = 120;

struct TSptiDrive {
  uint8_t HaId = 0;
  uint8_t Target = 0;
  uint8_t Lun = 0;
  uint8_t DriveIndex = 0;  // letter = 'A' + DriveIndex
  bool Present = false;
  intptr_t Handle = -1;    // open drive handle, or -1
  std::array<uint8_t, 40> InquiryCache{};
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
// Closes every open handle and clears the table (only when scanned).
void CloseSpti();

// The emulated entry points.
uint32_t SptiGetASPI32SupportInfo();
uint32_t SptiSendASPI32Command(void* request);

// The first present entry (drive numbers 2..26) with this address; nullptr
// when none.
[[nodiscard]] const TSptiDrive* SptiFindDrive(uint8_t haId, uint8_t target, uint8_t lun);

} // namespace qnzb
