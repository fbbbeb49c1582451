// info, load, eject, ready: what the disc information window and the tray
// buttons of the main window do, on the chosen drive.

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "engine/device/DiscSummary.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::cli {

namespace {

int ShowInfo(TQNZBurner& burner, TCliContext& context) {
  const TDiscSummary summary = ReadDiscSummary(burner);
  if (!summary.Valid) {
    context.Error("no disc information: " +
                  (burner.LastErrorText.empty() ? std::string("the drive is not ready") : burner.LastErrorText));
    return ExitFailure;
  }
  context.Result("Medium      : " + summary.Medium);
  context.Result("Disc Size   : " + summary.DiscSize);
  context.Result("Used Space  : " + summary.UsedSpace);
  context.Result("Free Space  : " + summary.FreeSpace);
  context.Result(SessionHeader);
  for (const std::string& line : summary.Sessions)
    context.Result(line);
  return 0;
}

// A tray button: the engine logs the outcome line; the exit status follows it.
using TTrayOperation = bool (TSCSIDevice::*)();

void AddTrayCommand(CLI::App& app, TCliContext& context, const char* name, const char* help,
                    TTrayOperation operation) {
  auto flags = std::make_shared<TDeviceFlags>();
  CLI::App* command = app.add_subcommand(name, help);
  AddDeviceFlags(*command, *flags);
  command->callback([flags, &context, operation] {
    context.ExitCode = RunOnDrive(context, *flags, [&](TQNZBurner& burner) {
      if ((burner.*operation)())
        return 0;
      // The engine's line says that it failed; this says why.
      if (!burner.LastErrorText.empty())
        context.Error(burner.LastErrorText);
      return ExitFailure;
    });
  });
}

} // namespace

void AddDiscCommands(CLI::App& app, TCliContext& context) {
  auto flags = std::make_shared<TDeviceFlags>();
  CLI::App* info = app.add_subcommand(
      "info", "Show the loaded medium: its kind, size, used and free space, status, and its sessions");
  AddDeviceFlags(*info, *flags);
  info->callback([flags, &context] {
    context.ExitCode = RunOnDrive(context, *flags, [&](TQNZBurner& burner) { return ShowInfo(burner, context); });
  });
  AddTrayCommand(app, context, "load", "Close the tray and load the medium", &TSCSIDevice::LoadMedium);
  AddTrayCommand(app, context, "eject", "Flush the drive's cache, unlock the tray and eject the medium",
                 &TSCSIDevice::EjectMedium);
  auto readyFlags = std::make_shared<TDeviceFlags>();
  CLI::App* ready = app.add_subcommand("ready", "Tell whether the drive is ready: \"ready\" (status 0) or "
                                                "\"not ready\" and why (status 1)");
  AddDeviceFlags(*ready, *readyFlags);
  ready->callback([readyFlags, &context] {
    context.ExitCode = RunOnDrive(context, *readyFlags, [&](TQNZBurner& burner) {
      // The answer is the result, shown also when quiet.
      if (burner.CheckReady()) {
        context.Result("ready");
        return 0;
      }
      context.Result("not ready" + (burner.LastErrorText.empty() ? std::string() : ": " + burner.LastErrorText));
      return ExitFailure;
    });
  });
}

} // namespace qnzb::cli
