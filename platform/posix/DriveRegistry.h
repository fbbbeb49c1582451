#pragma once
// Internal to the POSIX platform layer: the drive registry, whose handles
// hold a device's descriptor, and what a refused open of a device says.

#include <string>

#include "platform/common/DriveRegistry.h"

namespace qnzb::platform::posix {

// "permission denied on PATH" and what to do about it: the group to join
// when the device's group may read and write it.
[[nodiscard]] std::string DeniedText(const std::string& path);

} // namespace qnzb::platform::posix
