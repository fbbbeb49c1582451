// Transport start-up and drive choice for the subcommands that use a drive.

#include "cli/DeviceOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include "cli/CliContext.h"
#include "engine/device/Transport.h"
#include "engine/device/qnDrvLib.h"
#include "engine/device/qnSPTI.h"
#include "engine/image/qnCDBC.h"
#include "platform/Drives.h"

namespace qnzb::cli {

namespace {

// The letter of a device list line ("H:T:U,X: ..."); '\0' when it has none.
char LetterOfLine(const std::string& line) {
  const size_t comma = line.find(',');
  return comma != std::string::npos && comma + 2 < line.size() && line[comma + 2] == ':' ? line[comma + 1] : '\0';
}

bool SameNode(const std::string& a, const std::string& b) {
  std::error_code ec;
  return a == b || std::filesystem::equivalent(a, b, ec);
}

} // namespace

void AddDeviceFlags(CLI::App& command, TDeviceFlags& flags) {
  command.add_flag("--virtual", flags.Virtual, "Use the virtual recorder even when a real drive exists");
  command
      .add_option("--drive", flags.Drive,
                  "The drive: line N of `qnzb-cli drives`, counted from 0 (default 0), or its device node (/dev/sr1)")
      ->type_name("N|NODE")
      ->check(CLI::Validator(
          [](const std::string& v) {
            const auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
            const bool number = !v.empty() && v.size() < 10 && std::all_of(v.begin(), v.end(), digit);
            if (number || v.starts_with("/"))
              return std::string();
            return "not a drive: \"" + v + "\" (give a line number of `qnzb-cli drives` or a device node)";
          },
          ""));
}

void AddSpeedOption(CLI::App& command, const char* name, std::string& text, const std::string& help) {
  command.add_option(name, text, help)
      ->type_name("SPEED")
      ->check(CLI::Validator(
          [](const std::string& v) {
            const std::optional<double> multiple = SpeedMultipleFromText(v);
            // Below 1 KB/s even on DVD: it would go out as 0, the maximum.
            if (multiple && (*multiple == 0 || SpeedFromMultiple(*multiple, false) > 0))
              return std::string();
            return "not a speed: \"" + v + "\" (give a multiple of 1X such as 16X, 16, 8.0X, or Max)";
          },
          ""));
}

uint16_t SpeedOfText(const std::string& text, bool dvd) {
  return SpeedFromMultiple(SpeedMultipleFromText(text).value_or(0), dvd);
}

void ApplyWriteSpeed(TSCSIDevice& device, const std::string& text, TCliContext& context) {
  const bool dvd = IsDvdKind(device.MediaKind());
  const double asked = SpeedMultipleFromText(text).value_or(0);
  device.SetWriteSpeed(SpeedFromMultiple(asked, dvd));
  // The drive decides: it takes the speed it can write that is nearest.
  const uint16_t accepted = device.CurrentWriteSpeed();
  const uint16_t fastest = device.MaxWriteSpeed();
  const double unit = dvd ? 1385.0 : 176.4;
  const std::string askedText = SpeedMultipleText(asked, dvd);
  if (asked > 0 && fastest > 0 && askedText != SpeedMultipleText(fastest / unit, dvd) &&
      asked > fastest / unit)
    context.Warning(askedText + " is faster than this drive writes; its fastest is " + SpeedText(fastest, dvd));
  if (accepted == 0) {
    context.Notice("write speed: " + (asked > 0 ? askedText : std::string("Max")) +
                   " asked for; the drive did not say which speed it took");
    return;
  }
  std::string line = "write speed: " + SpeedText(accepted, dvd);
  if (asked == 0)
    line += ", the drive's fastest";
  else if (askedText != SpeedMultipleText(accepted / unit, dvd))
    line += ", the drive's nearest to " + askedText;
  context.Notice(line);
}

TTransportSession::TTransportSession() {
  CloseTransport();
}

TTransportSession::~TTransportSession() {
  CloseTransport();
}

bool StartDevices(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context) {
  // The virtual recorder is the manager library: preferring it means trying
  // the library before the pass-through back end.
  const bool started = burner.InitializeTransport(!flags.Virtual, "");
  // A real drive the scan could not use must not pass unnoticed, least of
  // all when the virtual recorder answers in its place.
  for (const TSptiSkipped& skipped : SptiSkippedDrives())
    context.Warning(std::string("drive ") + skipped.Letter + ":" +
                    (skipped.Node.empty() ? "" : " (" + skipped.Node + ")") + " skipped: " + skipped.Reason);
  if (!started) {
    context.Error("no drive access: no CD/DVD drive found and the virtual recorder's library "
                  "(WNASPI32.DLL next to the program) could not be loaded");
    return false;
  }
  if (burner.DeviceList.empty()) {
    context.Error("no CD/DVD drive found");
    return false;
  }
  return true;
}

std::string ShownDeviceLine(const std::string& line) {
  const char letter = LetterOfLine(line);
  const TSptiDrive* drive = Transport().Name == SptiTransportName ? SptiDriveOfLetter(letter) : nullptr;
  const std::string node = letter != '\0' ? platform::DriveDevicePath(letter) : std::string();
  if (!drive || node.empty())
    return line;
  std::string shown = line + "  " + node;
  std::string notes;
  if (drive->Addressed)
    notes = "host " + std::to_string(drive->Host);
  if (drive->ReadOnly)
    notes += (notes.empty() ? "" : ", ") + std::string("read-only");
  return notes.empty() ? shown : shown + " (" + notes + ")";
}

bool SelectChosenDevice(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context) {
  const std::string chosen = flags.Drive.value_or("0");
  size_t line = burner.DeviceList.size();
  if (chosen.starts_with("/")) {
    for (size_t i = 0; i < burner.DeviceList.size() && line == burner.DeviceList.size(); ++i) {
      const char letter = LetterOfLine(burner.DeviceList[i]);
      if (letter != '\0' && SameNode(platform::DriveDevicePath(letter), chosen))
        line = i;
    }
    if (line == burner.DeviceList.size()) {
      std::string why = "it is not in the device list (`qnzb-cli drives`)";
      for (const TSptiSkipped& skipped : SptiSkippedDrives())
        if (SameNode(skipped.Node, chosen))
          why = "it was skipped: " + skipped.Reason;
      context.Error("no drive on " + chosen + ": " + why);
      return false;
    }
  } else {
    line = static_cast<size_t>(std::stoul(chosen));
    if (line >= burner.DeviceList.size()) {
      context.Error("no drive " + chosen + ": the device list has " + std::to_string(burner.DeviceList.size()) +
                    " line(s), counted from 0");
      return false;
    }
  }
  burner.SelectDevice(burner.DeviceList[line]);
  if (burner.SelectedId.empty()) {
    context.Error("drive " + std::to_string(line) + " can't be used: " + burner.DeviceList[line]);
    return false;
  }
  return true;
}

bool DriveIsFree(const TQNZBurner& burner, TCliContext& context) {
  if (!burner.Erasing)
    return true;
  context.Error("the drive is erasing: wait until the erase has ended, then try again");
  return false;
}

int RunOnDrive(TCliContext& context, const TDeviceFlags& flags, const std::function<int(TQNZBurner& burner)>& job) {
  const TTransportSession session;
  TQNZBurner burner(nullptr);
  context.Attach(burner);
  if (!StartDevices(burner, flags, context) || !SelectChosenDevice(burner, flags, context))
    return ExitFailure;
  if (!DriveIsFree(burner, context))
    return ExitFailure;
  // Shared for the command; a burn or an erase makes it exclusive for its job.
  std::string why;
  if (!burner.HoldDrive(false, why)) {
    context.Error(why);
    return ExitFailure;
  }
  return job(burner);
}

} // namespace qnzb::cli
