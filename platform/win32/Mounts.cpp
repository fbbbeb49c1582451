// Windows keeps no mount table: a drive letter is its volume's only mount
// point, and the write path opens the device without sharing instead, which
// fails while the volume is in use. Only the table QNZB_MOUNTS names (the
// POSIX format, "source mount-point ...", for tests) is read.

#include "platform/Mounts.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qnzb::platform {
namespace {

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c == '/' ? '\\' : c; };
    if (fold(a[i]) != fold(b[i]))
      return false;
  }
  return true;
}

} // namespace

std::vector<std::string> MountPointsOf(const std::string& devicePath) {
  std::vector<std::string> points;
  const char* table = std::getenv("QNZB_MOUNTS");
  if (devicePath.empty() || !table || !*table)
    return points;
  std::ifstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string source, point;
    if ((fields >> source >> point) && SameText(source, devicePath))
      points.push_back(point);
  }
  return points;
}

} // namespace qnzb::platform
