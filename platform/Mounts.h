#pragma once
// The system's mount table: where the file systems of a device are mounted,
// so that a disc the system is using is not pulled from under it. The table
// is read afresh on every call: /proc/self/mounts, or the file QNZB_MOUNTS
// names (in the same format; tests point it at a table of their own).
//
// Threading: safe from any thread.

#include <string>
#include <vector>

namespace qnzb::platform {

// The mount points of the table's entries whose source is the device node
// `devicePath`, in table order. A link to the node (such as /dev/cdrom) is
// the node, on either side; so is another node of the same device. Empty
// when nothing is mounted from it, when `devicePath` is empty, or when the
// table can't be read.
[[nodiscard]] std::vector<std::string> MountPointsOf(const std::string& devicePath);

} // namespace qnzb::platform
