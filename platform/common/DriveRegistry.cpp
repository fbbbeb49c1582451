#include "platform/common/DriveRegistry.h"

#include <array>
#include <cctype>
#include <map>
#include <mutex>

namespace qnzb::platform {
namespace {

struct TRegistry {
  std::mutex mutex;
  std::array<std::optional<TSimulatedDrive>, 26> simulated;
  std::array<bool, 26> exclusive{};
  std::map<TDriveHandle, common::TOpenDrive> open;
  TDriveHandle next = 1;
  TOpenHook openHook;
  TSgIoHook sgIoHook;
  TAddressHook addressHook;
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

thread_local TDriveError lastError;

} // namespace

namespace common {

int LetterIndex(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  return upper >= 'A' && upper <= 'Z' ? upper - 'A' : -1;
}

std::optional<TSimulatedDrive> SimulatedDriveOf(char letter) {
  const int index = LetterIndex(letter);
  if (index < 0)
    return std::nullopt;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.simulated[static_cast<size_t>(index)];
}

bool DriveExclusive(int index) {
  if (index < 0 || index >= 26)
    return false;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.exclusive[static_cast<size_t>(index)];
}

TDriveHandle RegisterDrive(TOpenDrive drive) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const TDriveHandle handle = registry.next++;
  registry.open.emplace(handle, std::move(drive));
  return handle;
}

std::optional<TOpenDrive> LookUpDrive(TDriveHandle handle) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const auto it = registry.open.find(handle);
  if (it == registry.open.end())
    return std::nullopt;
  return it->second;
}

std::optional<TOpenDrive> UnregisterDrive(TDriveHandle handle) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  const auto it = registry.open.find(handle);
  if (it == registry.open.end())
    return std::nullopt;
  TOpenDrive drive = std::move(it->second);
  registry.open.erase(it);
  return drive;
}

TOpenHook CurrentOpenHook() {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.openHook;
}

TSgIoHook CurrentSgIoHook() {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.sgIoHook;
}

TAddressHook CurrentAddressHook() {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.addressHook;
}

void SetDriveError(TDriveError error) { lastError = std::move(error); }

void ClearDriveError() { lastError = TDriveError{}; }

} // namespace common

TDriveError LastDriveError() { return lastError; }

void SetOpenHook(TOpenHook hook) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.openHook = std::move(hook);
}

void SetSgIoHook(TSgIoHook hook) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.sgIoHook = std::move(hook);
}

void SetAddressHook(TAddressHook hook) {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.addressHook = std::move(hook);
}

void SetDriveExclusive(char letter, bool exclusive) {
  const int index = common::LetterIndex(letter);
  if (index < 0)
    return;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.exclusive[static_cast<size_t>(index)] = exclusive;
}

bool DriveOpenedReadOnly(TDriveHandle handle) {
  const std::optional<common::TOpenDrive> drive = common::LookUpDrive(handle);
  return drive && drive->ReadOnly;
}

size_t OpenDriveHandleCount() {
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  return registry.open.size();
}

bool AttachSimulatedDrive(char letter, const TSimulatedDrive& drive) {
  const int index = common::LetterIndex(letter);
  if (index < 0 || !drive.Device)
    return false;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.simulated[static_cast<size_t>(index)] = drive;
  return true;
}

void DetachSimulatedDrive(char letter) {
  const int index = common::LetterIndex(letter);
  if (index < 0)
    return;
  TRegistry& registry = Registry();
  const std::lock_guard lock(registry.mutex);
  registry.simulated[static_cast<size_t>(index)].reset();
  for (auto& [handle, open] : registry.open)
    if (open.Simulated && open.Letter == 'A' + index)
      open.Simulated->Device = nullptr;
}

void DetachAllSimulatedDrives() {
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    DetachSimulatedDrive(letter);
}

} // namespace qnzb::platform
