// Transport start-up and drive choice for the subcommands that use a drive.

#include "cli/DeviceOptions.h"

#include <CLI/CLI.hpp>

#include <string>

#include "cli/CliContext.h"
#include "engine/device/Transport.h"
#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::cli {

void AddDeviceFlags(CLI::App& command, TDeviceFlags& flags) {
  command.add_flag("--virtual", flags.Virtual, "Use the virtual recorder even when a real drive exists");
  command.add_option("--drive", flags.Drive, "The drive: line N of `qnzb-cli drives`, counted from 0 (default 0)")
      ->check(CLI::NonNegativeNumber);
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
  if (!burner.InitializeTransport(!flags.Virtual, "")) {
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

bool SelectChosenDevice(TQNZBurner& burner, const TDeviceFlags& flags, TCliContext& context) {
  const int line = flags.Drive.value_or(0);
  if (line < 0 || static_cast<size_t>(line) >= burner.DeviceList.size()) {
    context.Error("no drive " + std::to_string(line) + ": the device list has " +
                  std::to_string(burner.DeviceList.size()) + " line(s), counted from 0");
    return false;
  }
  burner.SelectDevice(burner.DeviceList[static_cast<size_t>(line)]);
  if (burner.SelectedId.empty()) {
    context.Error("drive " + std::to_string(line) + " can't be used: " + burner.DeviceList[static_cast<size_t>(line)]);
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
  return job(burner);
}

} // namespace qnzb::cli
