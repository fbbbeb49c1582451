#pragma once
// What kind of drive the virtual recorder presents: its identity (INQUIRY
// texts), what it reads and writes (capabilities page 2Ah and the GET
// CONFIGURATION features), its speed tables, buffer and quirks; and how long
// its slow operations take. Tests set these to present any drive the engine
// treats specially; a state directory keeps them as key=value lines.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qnzb::vdrive {

struct Identity {
  // The defaults below: a DVD±RW/DVD-RAM recorder that writes everything.
  Identity();

  std::string Vendor = "QNZB";            // INQUIRY bytes 8-15
  std::string Product = "VIRTUAL RECORDER";  // bytes 16-31
  std::string Revision = "1.00";          // bytes 32-35
  // The drive letter an ASPI manager reports for SC_GET_DISK_INFO.
  char Letter = 'V';

  // Media the drive reads and writes.
  bool ReadCdR = true;
  bool ReadCdRw = true;
  bool ReadDvdRom = true;
  bool ReadDvdMinus = true;  // DVD-R and DVD-RW
  bool ReadDvdRam = true;
  bool ReadDvdPlus = true;   // DVD+R and DVD+RW
  bool WriteCdR = true;
  bool WriteCdRw = true;
  bool WriteDvdMinusR = true;
  bool WriteDvdMinusRw = true;
  bool WriteDvdRam = true;
  bool WriteDvdPlusR = true;
  bool WriteDvdPlusRw = true;
  bool TestWrite = true;
  // Buffer underrun protection: BUF in page 2Ah and the BUFE bit of page 05h.
  bool UnderrunProtection = true;

  // Quirks.
  bool Page30 = false;            // has the vendor mode page 30h
  bool GetConfiguration = true;   // answers GET CONFIGURATION at all
  bool BlockDescriptor = false;   // MODE SENSE returns a block descriptor unless DBD
  bool UnitAttention = false;     // reports power-on and medium changes as UNIT ATTENTION
  // Commands read-only drives need not have (QEMU's CD/DVD drives lack READ
  // TRACK INFORMATION); off: refused as an unknown opcode.
  bool ReadTrackInformation = true;
  bool ReadDiscInformation = true;
  // MODE SENSE of the default values (page control 10b); off: refused with
  // INVALID FIELD IN CDB, as some ATAPI drives do.
  bool DefaultPages = true;
  // A DVD-ROM drive: writes nothing whatever the write flags say (page 2Ah
  // and the features announce no writing, no write speeds), names every disc
  // by its read-only profile (CD-ROM, DVD-ROM) as a pressed one, reads no
  // ATIP and refuses the recording commands.
  bool ReadOnly = false;

  // Whether the drive writes any medium at all.
  [[nodiscard]] bool Writes() const;

  // Speeds in KB/s (1000 bytes), fastest first. SET CD SPEED snaps to these.
  // CD: 40x 32x 24x 16x 8x 4x writing; DVD: 16x 12x 8x 6x 4x 2x 1x.
  std::vector<uint16_t> CdWriteSpeeds;
  std::vector<uint16_t> DvdWriteSpeeds;
  std::vector<uint16_t> CdReadSpeeds;
  std::vector<uint16_t> DvdReadSpeeds;
  uint32_t BufferKb = 2048;
};

// Durations of the slow operations, used in the real-time mode only.
struct Timing {
  // Off: every command completes at once. On: WRITE fills a buffer that
  // drains at the write speed, and BLANK, FORMAT UNIT, CLOSE TRACK/SESSION
  // and SYNCHRONIZE CACHE with the Immed bit keep the drive busy (NOT READY,
  // in progress) for their duration.
  bool RealTime = false;
  uint32_t CdQuickBlankMs = 40'000;
  uint32_t CdFullBlankMs = 480'000;
  uint32_t DvdQuickBlankMs = 60'000;
  uint32_t DvdFullBlankMs = 900'000;
  uint32_t FormatMs = 30'000;        // DVD+RW, quick DVD-RW formats
  uint32_t FullFormatMs = 900'000;   // DVD-RAM, full DVD-RW formats
  uint32_t CloseMs = 10'000;         // closing a session
};

struct DriveConfig {
  Identity Drive;
  Timing Time;
};

// The config as key=value lines (every key, for discoverability).
[[nodiscard]] std::vector<std::string> FormatConfig(const DriveConfig& config);
// Sets one key. Returns false with `error` set for an unknown key or a bad
// value; `config` is then unchanged.
[[nodiscard]] bool SetConfigValue(DriveConfig& config, std::string_view key, std::string_view value, std::string& error);
// Whether `key` is a config key.
[[nodiscard]] bool IsConfigKey(std::string_view key);

} // namespace qnzb::vdrive
