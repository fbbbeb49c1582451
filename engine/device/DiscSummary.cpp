#include "engine/device/DiscSummary.h"

#include <cmath>

#include "engine/device/qnConst.h"
#include "engine/device/qnDrvLib.h"
#include "engine/runtime/Strings.h"

namespace qnzb {

namespace {

std::string PadLeft(std::string text, size_t width, char fill) {
  if (text.size() < width)
    text.insert(0, width - text.size(), fill);
  return text;
}

std::string StatusText(int16_t status, uint8_t kind) {
  if (status == -1)
    return "Disc Status unknown";
  // Overwritable media report themselves complete, yet every burn writes a
  // new file system over them: they are never closed.
  const bool overwritable = kind == MediaDvdRam || kind == MediaDvdPlusRw || kind == MediaDvdRwRestricted;
  return status == 2 && !overwritable ? "Disc Closed/Finalized" : "Disc is Open";
}

} // namespace

std::string SessionLine(uint32_t number, uint32_t start, uint32_t sectors) {
  // nearbyint rounds halves to the even neighbour in the default mode.
  const auto megabytes = static_cast<uint64_t>(std::nearbyint(sectors / 512.0));
  return "  " + PadLeft(std::to_string(number), 3, '0') + "    " + PadLeft(std::to_string(start), 8, ' ') + "   " +
         PadLeft(std::to_string(megabytes), 4, ' ') + " MB";
}

std::string BlocksAsMegabytes(uint32_t blocks) {
  return FormatFixed(blocks * 2048.0 / 1048576.0, 2, true) + " MB";
}

std::vector<std::string> SessionLines(TSCSIDevice& device) {
  std::vector<std::string> lines;
  const uint16_t sessions = device.SessionCount();
  for (uint32_t session = 1; session <= sessions; ++session) {
    uint32_t start = 0, size = 0;
    device.TrackExtent(session, start, size);
    lines.push_back(SessionLine(session, start, size));
  }
  // What a burn that never ended left: shown for what it holds, not for the
  // room its open track reaches over.
  TSCSIDevice::TUnfinishedSession open;
  if (device.UnfinishedSession(open))
    lines.push_back(SessionLine(open.Session, open.Start, open.Written) + UnfinishedMark);
  return lines;
}

TDiscSummary ReadDiscSummary(TSCSIDevice& device) {
  TDiscSummary summary;
  TSCSIDevice::TDisc disc;
  device.GetDiscInfo(disc);
  if (!disc.MediumPresent || !device.TestUnitReady(5000)) {
    summary.Sessions.push_back("     Error getting session information");
    device.SetCloseAfterCommand(true);
    return summary;
  }
  summary.Valid = true;
  const uint8_t kind = device.MediaKind();
  summary.Sessions = SessionLines(device);
  summary.SessionCount = device.SessionCount();
  const uint32_t free = device.FreeSpace();
  summary.Status = device.DiscStatus();
  summary.FreeSpace = BlocksAsMegabytes(free) + ", " + StatusText(summary.Status, kind);
  device.GetDiscInfo(disc);
  summary.Medium = MediaKindNames()[kind < MediaKindNames().size() ? kind : 0];
  const uint32_t used = device.UsedSpace();
  const uint32_t size = device.DiscSize();
  summary.DiscSize = BlocksAsMegabytes(size);
  summary.UsedSpace = BlocksAsMegabytes(used) + ",  Sessions : " + std::to_string(summary.SessionCount);
  device.SetCloseAfterCommand(true);
  return summary;
}

} // namespace qnzb
