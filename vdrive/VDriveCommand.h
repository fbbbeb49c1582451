#pragma once
// The `vdrive` command: manages the virtual recorder's state directory from
// the command line (`qnzb-cli vdrive ...`, `qnzb-vdrive ...`).
//
//   insert KIND [--capacity BLOCKS]  load a new blank disc (the old one is gone)
//   status                           show the drive, the disc and its tracks
//   eject                            take the disc out
//   reset                            forget everything: default drive, blank CD-R
//   fault list | fault clear | fault add RULE
//                                    the scripted fault plan (see FaultPlan.h)
//   set KEY=VALUE...                 change the drive's configuration
//   config                           list the configuration
//
// Options anywhere: --dir DIR (default: $QNZB_VDRIVE, else
// ~/.local/share/qnzb/vdrive), --help. KIND is one of MediumNames().

#include <iosfwd>
#include <string>
#include <vector>

namespace qnzb::vdrive {

// `args` are the words after "vdrive". Writes results to `out` and errors
// (prefixed "vdrive: ") to `err`. Returns 0 on success, 1 when the state
// can't be read or written, 2 for a usage error. A state that can't be read
// is replaced by `insert` and `reset` (with a warning) and refused by the
// other subcommands. The subcommands that change the disc or the drive
// (insert, eject, reset, fault add and clear, set) fail with 1 while a
// program keeps the recorder's tray locked (see FolderLock.h).
[[nodiscard]] int RunVDriveCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace qnzb::vdrive
