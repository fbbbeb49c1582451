#pragma once
// The options of every subcommand that talks to a drive, and the start-up
// those subcommands share: the transport as the main window starts it (the
// pass-through back end first, the virtual recorder's library as the
// fallback; with --virtual the other way round), then the chosen line of the
// device list selected.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace qnzb {
class TQNZBurner;
class TSCSIDevice;
}

namespace qnzb::cli {

class TCliContext;

struct TDeviceFlags {
  bool Virtual = false;  // --virtual: the virtual recorder even when a real drive exists
  // --drive N: line N of the device list, counted from 0; or --drive NODE:
  // the line of the drive on that device node ("/dev/sr1").
  std::optional<std::string> Drive;
};

// Adds --virtual and --drive to a subcommand, parsed into `flags` (which must
// outlive `command`).
void AddDeviceFlags(CLI::App& command, TDeviceFlags& flags);

// Adds a speed option (--speed, --read-speed) parsed into `text` (which must
// outlive `command`): "Max" in any case, or a multiple of 1X above 0 with an
// optional "X" ("16", "16x", "8.0X"); anything else is a wrong command line.
void AddSpeedOption(CLI::App& command, const char* name, std::string& text, const std::string& help);

// The speed a checked speed text names for the loaded medium, in KB/s; 0 for
// "Max" or an empty text.
[[nodiscard]] uint16_t SpeedOfText(const std::string& text, bool dvd);

// Sets the drive's write speed from a checked speed text (empty: Max) and
// tells, as a notice, which speed the drive took ("write speed: 4X (708
// KB/s), the drive's nearest to 3X"), with a warning when the text asks for
// more than the drive's fastest. The read speed sent along is the device's
// ReadSpeed.
void ApplyWriteSpeed(TSCSIDevice& device, const std::string& text, TCliContext& context);

// Closes the transport when it goes out of scope, so that every command run
// in one process starts from a fresh scan.
class TTransportSession {
public:
  TTransportSession();
  ~TTransportSession();
  TTransportSession(const TTransportSession&) = delete;
  TTransportSession& operator=(const TTransportSession&) = delete;
};

// Starts the transport and fills the component's device list. Each CD/DVD
// drive the scan had to skip is named as a warning with the reason ("drive
// D: (/dev/sr0) skipped: permission denied on /dev/sr0: join group cdrom").
// False, after reporting why, when no back end could be started or no drive
// was found.
[[nodiscard]] bool StartDevices(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context);
// Selects the --drive line (default 0). False, after reporting why, when
// there is no such line or the drive refuses to be selected.
[[nodiscard]] bool SelectChosenDevice(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context);
// A device list line as `drives` shows it: the line, then for a drive on a
// device node the node and the system's SCSI host ("  /dev/sr0 (host 10)",
// ", read-only" when it could be opened only so).
[[nodiscard]] std::string ShownDeviceLine(const std::string& line);

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
