#pragma once
// The options of every subcommand that talks to a drive, and the start-up
// those subcommands share: the transport as the main window starts it (the
// pass-through back end first, the virtual recorder's library as the
// fallback; with --virtual the other way round), then the chosen line of the
// device list selected.

#include <functional>
#include <optional>

namespace CLI {
class App;
}

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::cli {

class TCliContext;

struct TDeviceFlags {
  bool Virtual = false;        // --virtual: the virtual recorder even when a real drive exists
  std::optional<int> Drive;    // --drive N: line N of the device list, counted from 0
};

// Adds --virtual and --drive to a subcommand, parsed into `flags` (which must
// outlive `command`).
void AddDeviceFlags(CLI::App& command, TDeviceFlags& flags);

// Closes the transport when it goes out of scope, so that every command run
// in one process starts from a fresh scan.
class TTransportSession {
public:
  TTransportSession();
  ~TTransportSession();
  TTransportSession(const TTransportSession&) = delete;
  TTransportSession& operator=(const TTransportSession&) = delete;
};

// Starts the transport and fills the component's device list. False, after
// reporting why, when no back end could be started or no drive was found.
[[nodiscard]] bool StartDevices(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context);
// Selects line --drive (default 0). False, after reporting why, when there is
// no such line or the drive refuses to be selected.
[[nodiscard]] bool SelectChosenDevice(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context);

// The common frame of a drive subcommand: a fresh transport, a component
// logging to `context`, the chosen drive selected; then `job`, whose result
// is the exit status. ExitFailure, after reporting why, when no drive could
// be selected, and without sending anything when the component is erasing
// (one command at a time on a drive).
[[nodiscard]] int RunOnDrive(TCliContext& context, const TDeviceFlags& flags,
                             const std::function<int(TQNZBurner& burner)>& job);

// False, after reporting it, while an erase runs on the component's drive.
[[nodiscard]] bool DriveIsFree(const TQNZBurner& burner, TCliContext& context);

} // namespace qnzb::cli
