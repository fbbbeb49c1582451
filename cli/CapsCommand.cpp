// caps: what the chosen drive reads and writes, its maximum speeds and the
// write speeds it accepts, as the capability window and the speed choice of
// the main window show them.

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::cli {

namespace {

int ShowCaps(TQNZBurner& burner, TCliContext& context) {
  // The selection read the capabilities; read them again so that a failure
  // is seen here rather than shown as a drive without abilities.
  if (!burner.ReadCapabilities())
    context.Warning("the drive's capabilities page could not be read: " + burner.LastErrorText);

  context.Result(burner.SelectedId);
  std::string names;
  for (const TCapabilityName& cap : CapabilityNames())
    if (burner.Capabilities & cap.Bit)
      names += (names.empty() ? "" : " ") + std::string(cap.Name);
  context.Result("Capabilities: " + (names.empty() ? std::string("none") : names));
  // A drive that writes no medium has no write speeds to offer.
  const bool writes = (burner.Capabilities & CapWriteMedia) != 0;
  context.Result("Max Write Speed : " +
                 (writes ? std::to_string(burner.DeviceMaxWriteSpeed) + " KB/s" : std::string("none")));
  context.Result("Max Read Speed  : " + std::to_string(burner.DeviceMaxReadSpeed) + " KB/s");
  if (!writes) {
    context.Result("Write Speeds: none (the drive writes no medium)");
    return 0;
  }
  // No medium, or one the drive can't tell, counts as CD: the speed list
  // then uses CD multiples.
  std::string speeds;
  for (const auto& entry : burner.WriteSpeedList(IsDvdKind(burner.MediaKind())))
    speeds += (speeds.empty() ? "" : ", ") + entry.Text;
  context.Result("Write Speeds: " + speeds);
  return 0;
}

} // namespace

void AddCapsCommand(CLI::App& app, TCliContext& context) {
  auto flags = std::make_shared<TDeviceFlags>();
  CLI::App* command =
      app.add_subcommand("caps", "Show what the drive reads and writes, its maximum and its accepted write speeds");
  AddDeviceFlags(*command, *flags);
  command->callback([flags, &context] {
    context.ExitCode = RunOnDrive(context, *flags, [&](TQNZBurner& burner) { return ShowCaps(burner, context); });
  });
}

} // namespace qnzb::cli
