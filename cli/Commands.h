#pragma once
// The subcommands of qnzb-cli and the entry that parses a command line and
// runs one of them. Each subcommand lives in its own file and registers
// itself through its Add function; RunCli calls every Add function listed in
// RunCli.cpp.

#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace qnzb::cli {

class TCliContext;

// Adds the subcommand to `app`. Its options are parsed into state the
// subcommand owns; when it is chosen it runs after parsing and sets
// context.ExitCode. `context` outlives `app`.
using TAddCommand = void (*)(CLI::App& app, TCliContext& context);

void AddBuildIsoCommand(CLI::App& app, TCliContext& context);
void AddDrivesCommand(CLI::App& app, TCliContext& context);
void AddCapsCommand(CLI::App& app, TCliContext& context);
void AddVDriveCommand(CLI::App& app, TCliContext& context);
void AddDiscCommands(CLI::App& app, TCliContext& context);
void AddEraseCommand(CLI::App& app, TCliContext& context);
void AddBurnCommands(CLI::App& app, TCliContext& context);
void AddSessionCommands(CLI::App& app, TCliContext& context);
void AddReadBackCommands(CLI::App& app, TCliContext& context);

// Parses `args` (without the program name) and runs the chosen subcommand.
// The exit status: 0 success (also for --help and --version), 1 when the job
// failed, 2 when the command line is wrong; the reason is on `err` either way.
// Not reentrant: the engine's layout is program-wide.
[[nodiscard]] int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace qnzb::cli
