// vdrive insert KIND|status|eject|reset|...: manages the virtual recorder's
// disc and settings; the words after "vdrive" go to the recorder's own command.

#include <CLI/CLI.hpp>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "vdrive/VDriveCommand.h"

namespace qnzb::cli {

void AddVDriveCommand(CLI::App& app, TCliContext& context) {
  CLI::App* command = app.add_subcommand(
      "vdrive", "Manage the virtual recorder: insert KIND, status, eject, reset, fault, set, config (see vdrive --help)");
  // Everything after "vdrive" belongs to the recorder's command, --help included.
  command->fallthrough(false);
  command->prefix_command();
  command->set_help_flag();
  command->callback([command, &context] {
    context.ExitCode = vdrive::RunVDriveCommand(command->remaining(), context.Out, context.Err);
  });
}

} // namespace qnzb::cli
