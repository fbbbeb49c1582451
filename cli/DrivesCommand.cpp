// drives: the device list, one line per CD/DVD drive as the main window's
// drive list shows it ("H:T:U,X: " + vendor, product and revision), with the
// device node and SCSI host of a real drive; the drives the scan skipped are
// named with the reason on the error stream.

#include <CLI/CLI.hpp>

#include <memory>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::cli {

namespace {

int RunDrives(TCliContext& context, const TDeviceFlags& flags) {
  const TTransportSession session;
  TQNZBurner burner(nullptr);
  context.Attach(burner);
  if (!StartDevices(burner, flags, context))
    return ExitFailure;
  // With --drive only the chosen line, once the drive took the selection.
  if (flags.Drive) {
    if (!SelectChosenDevice(burner, flags, context))
      return ExitFailure;
    context.Result(ShownDeviceLine(burner.SelectedId));
    return 0;
  }
  for (const std::string& line : burner.DeviceList)
    context.Result(ShownDeviceLine(line));
  return 0;
}

} // namespace

void AddDrivesCommand(CLI::App& app, TCliContext& context) {
  auto flags = std::make_shared<TDeviceFlags>();
  CLI::App* command =
      app.add_subcommand("drives", "List the CD/DVD drives (with --drive N or NODE: check and show that one)");
  AddDeviceFlags(*command, *flags);
  command->callback([flags, &context] { context.ExitCode = RunDrives(context, *flags); });
}

} // namespace qnzb::cli
