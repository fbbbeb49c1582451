// The mount table from /proc/self/mounts (or QNZB_MOUNTS): one entry a line,
// "source mount-point type options dump pass", blanks in names written as
// octal escapes (\040).

#include "platform/Mounts.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qnzb::platform {
namespace {

// A field with its \ooo escapes decoded.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&](size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// What a path names once its links are followed: the canonical path, and
// the kind and number of a device node (0 for anything else).
struct TNode {
  std::string Path;
  mode_t Kind = 0;
  dev_t Device = 0;
  [[nodiscard]] bool SameDevice(const TNode& other) const {
    return Kind != 0 && Kind == other.Kind && Device == other.Device;
  }
};

TNode NodeOf(const std::string& path) {
  TNode node;
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::canonical(path, ec);
  if (ec)
    return node;
  node.Path = canonical.string();
  struct stat info {};
  if (::stat(node.Path.c_str(), &info) == 0 && (S_ISBLK(info.st_mode) || S_ISCHR(info.st_mode))) {
    node.Kind = info.st_mode & S_IFMT;
    node.Device = info.st_rdev;
  }
  return node;
}

} // namespace

std::vector<std::string> MountPointsOf(const std::string& devicePath) {
  std::vector<std::string> points;
  if (devicePath.empty())
    return points;
  const TNode drive = NodeOf(devicePath);
  if (drive.Path.empty())
    return points;
  const char* table = std::getenv("QNZB_MOUNTS");
  std::ifstream in(table && *table ? table : "/proc/self/mounts");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string source, point;
    // Sources that name no file ("proc", "tmpfs", "overlay") match nothing.
    if (!(fields >> source >> point) || source.empty() || source[0] != '/')
      continue;
    const TNode mounted = NodeOf(Unescape(source));
    if (mounted.Path.empty())
      continue;
    if (mounted.Path == drive.Path || mounted.SameDevice(drive))
      points.push_back(Unescape(point));
  }
  return points;
}

} // namespace qnzb::platform
