#pragma once
// What the disc information window shows about the loaded medium: its kind,
// size, used and free space with the disc's status, and one line per
// session. Both front ends read it through here, so they show the same
// texts.

#include <cstdint>
#include <string>
#include <vector>

namespace qnzb {

class TSCSIDevice;

struct TDiscSummary {
  // False when the drive did not become ready or gave no disc information:
  // Sessions then holds the one line "     Error getting session information".
  bool Valid = false;
  std::string Medium;     // "CD-R", "DVD+RW", ...
  std::string DiscSize;   // "702.87 MB"
  std::string UsedSpace;  // "23.10 MB,  Sessions : 2"
  std::string FreeSpace;  // "679.77 MB, Disc is Open"
  std::vector<std::string> Sessions;  // SessionLine of each session
  uint16_t SessionCount = 0;  // complete sessions
  int16_t Status = -1;  // DiscStatus
};

// Reads the summary from the selected drive; afterwards the pass-through
// handle is closed after each command (the medium may be changed next).
[[nodiscard]] TDiscSummary ReadDiscSummary(TSCSIDevice& device);

// After the line of a session a burn left unfinished.
inline constexpr const char* UnfinishedMark = " (incomplete)";

// The session lines of the disc in the drive, one per complete session, then
// one for a last session left unfinished, marked UnfinishedMark.
[[nodiscard]] std::vector<std::string> SessionLines(TSCSIDevice& device);

// "  001        0     2 MB": the session number (3 digits, zero-padded), its
// start block (8 wide) and its size in MB (sectors / 512, halves to even,
// 4 wide). Wider numbers are not cut.
[[nodiscard]] std::string SessionLine(uint32_t number, uint32_t start, uint32_t sectors);
// Blocks of 2048 bytes as "#,##0.00 MB".
[[nodiscard]] std::string BlocksAsMegabytes(uint32_t blocks);
// The header above the session lines.
inline constexpr const char* SessionHeader = " Number     Start     Size";

} // namespace qnzb
