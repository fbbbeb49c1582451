// Drive letters over the optical devices, QNZB_DRIVES, simulated letters and
// the handle registry behind drive handles.

#include "platform/Drives.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/System.h"
#include "platform/posix/DriveRegistry.h"

namespace qnzb::platform {
namespace {

using TDriveMap = std::array<std::string, 26>;
using group_t = struct group;

// open() of a device path, or the errno the test hook fails it with.
int OpenPath(const std::string& path, bool readWrite, bool exclusive) {
  const TOpenHook hook = common::CurrentOpenHook();
  if (hook) {
    if (const int error = hook(path, readWrite)) {
      errno = error;
      return -1;
    }
  }
  // Non-blocking, so a drive without a medium opens at all.
  return ::open(path.c_str(), (readWrite ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0));
}

bool InGroup(gid_t group) {
  if (::getegid() == group)
    return true;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return n > 0 && std::find(groups.begin(), groups.begin() + n, group) != groups.begin() + n;
}

std::string GroupName(gid_t group) {
  std::vector<char> buffer(4096);
  group_t entry{};
  group_t* found = nullptr;
  if (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return {};
  return found->gr_name;
}

// Why opening a device path failed, in words.
TDriveError OpenError(const std::string& path, int error) {
  TDriveError e;
  e.SystemError = error;
  e.Path = path;
  switch (error) {
    case EACCES:
    case EPERM:
      e.Fault = TDriveFault::Denied;
      e.Text = posix::DeniedText(path);
      break;
    case ENOENT:
    case ENOTDIR:
      e.Fault = TDriveFault::NoDrive;
      e.Text = path + " does not exist";
      break;
    case ENXIO:
    case ENODEV:
      e.Fault = TDriveFault::Gone;
      e.Text = "no device behind " + path;
      break;
    case EBUSY:
      e.Fault = TDriveFault::Busy;
      e.Text = path + " is in use by another program, or its disc is mounted";
      break;
    default:
      e.Fault = TDriveFault::Refused;
      e.Text = "can't open " + path + ": " + std::strerror(error);
      break;
  }
  return e;
}

// /dev/sr0, /dev/sr1, ... in number order.
std::vector<std::string> OpticalDevices() {
  std::vector<std::pair<unsigned long, std::string>> found;
  if (DIR* dir = ::opendir("/dev")) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name(entry->d_name);
      if (name.size() < 3 || !name.starts_with("sr") ||
          !std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        continue;
      found.emplace_back(std::strtoul(entry->d_name + 2, nullptr, 10), "/dev/" + std::string(name));
    }
    ::closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& [number, path] : found)
    paths.push_back(std::move(path));
  return paths;
}

// Optical letters only; C is added by the callers. Items that name no letter
// or no path are skipped with a log line.
TDriveMap OpticalMap() {
  TDriveMap map;
  if (const char* value = std::getenv("QNZB_DRIVES")) {
    std::string_view rest(value);
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      if (item.empty())
        continue;
      const int index = item.size() > 2 && item[1] == '=' ? common::LetterIndex(item[0]) : -1;
      if (index < 0) {
        PlatformLog("QNZB_DRIVES: ignored \"" + std::string(item) + "\" (expected LETTER=PATH)");
        continue;
      }
      map[static_cast<size_t>(index)] = std::string(item.substr(2));
    }
    return map;
  }
  const std::vector<std::string> devices = OpticalDevices();
  for (size_t i = 0; i < devices.size() && 3 + i < map.size(); ++i)
    map[3 + i] = devices[i];
  return map;
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

} // namespace

namespace posix {

std::string DeniedText(const std::string& path) {
  std::string text = "permission denied on " + path;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return text;
  // The usual case: the node belongs to a group (cdrom) that may read and
  // write it, and the user is not in it.
  const bool groupMay = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  const std::string group = groupMay && !InGroup(info.st_gid) ? GroupName(info.st_gid) : std::string();
  return text + (group.empty() ? ": ask for read and write access to it" : ": join group " + group);
}

} // namespace posix

std::string DriveDevicePath(char letter) {
  const int index = common::LetterIndex(letter);
  if (index < 0 || common::SimulatedDriveOf(letter))
    return {};
  const TDriveMap map = OpticalMap();
  if (!map[static_cast<size_t>(index)].empty())
    return map[static_cast<size_t>(index)];
  return index == 2 ? std::string("/") : std::string();
}

TDriveType DriveTypeOf(const std::string& rootPath) {
  if (rootPath.empty() || (rootPath.size() > 1 && rootPath[1] != ':'))
    return TDriveType::NoRootDir;
  const int index = common::LetterIndex(rootPath[0]);
  if (index < 0)
    return TDriveType::NoRootDir;
  if (common::SimulatedDriveOf(rootPath[0]))
    return TDriveType::CdRom;
  const TDriveMap map = OpticalMap();
  const std::string& path = map[static_cast<size_t>(index)];
  if (!path.empty())
    return PathExists(path) ? TDriveType::CdRom : TDriveType::NoRootDir;
  return index == 2 ? TDriveType::Fixed : TDriveType::NoRootDir;
}

TDriveHandle OpenDrive(char letter) {
  const int index = common::LetterIndex(letter);
  const auto fail = [](TDriveError error) {
    common::SetDriveError(std::move(error));
    return InvalidDriveHandle;
  };
  if (index < 0)
    return fail({TDriveFault::NoDrive, 0, 0, {}, "no drive letter"});
  const char upper = static_cast<char>('A' + index);
  if (std::optional<TSimulatedDrive> simulated = common::SimulatedDriveOf(upper)) {
    if (simulated->OpenFails)
      return fail({TDriveFault::Refused, 0, 0, {}, std::string("drive ") + upper + ": can't be opened"});
    common::ClearDriveError();
    return common::RegisterDrive({-1, simulated, upper, {}, false});
  }
  const std::string path = DriveDevicePath(upper);
  if (path.empty())
    return fail({TDriveFault::NoDrive, 0, 0, {}, std::string("no drive ") + upper + ":"});
  const bool exclusive = common::DriveExclusive(index);
  int fd = OpenPath(path, true, exclusive);
  const int readWriteError = fd < 0 ? errno : 0;
  // Busy is the answer for any access mode: no read-only fallback then.
  if (fd < 0 && readWriteError != EBUSY)
    fd = OpenPath(path, false, exclusive);
  if (fd < 0)
    return fail(OpenError(path, errno));
  common::ClearDriveError();
  return common::RegisterDrive({fd, std::nullopt, upper, path, readWriteError != 0});
}

bool CloseDrive(TDriveHandle handle) {
  const std::optional<common::TOpenDrive> drive = common::UnregisterDrive(handle);
  if (!drive)
    return false;
  return drive->System < 0 || ::close(static_cast<int>(drive->System)) == 0;
}

} // namespace qnzb::platform
