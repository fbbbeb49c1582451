// The command line's top level: global switches, the subcommands, and how
// parsing errors become an exit status.

#include <CLI/CLI.hpp>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/JobProgress.h"
#include "platform/System.h"

namespace qnzb::cli {

namespace {

// Every subcommand; a new one adds its Add function here.
constexpr TAddCommand Commands[] = {AddBuildIsoCommand, AddBurnCommands,     AddDrivesCommand,
                                    AddCapsCommand,     AddDiscCommands,     AddSessionCommands,
                                    AddReadBackCommands, AddEraseCommand,    AddVDriveCommand};

// Platform notices (skipped links and loops) join the log while a command runs.
class TPlatformLogRoute {
public:
  explicit TPlatformLogRoute(TCliContext& context) {
    platform::SetPlatformLog([&context](const std::string& line) { context.Log(line, 0); });
  }
  ~TPlatformLogRoute() { platform::SetPlatformLog(nullptr); }
  TPlatformLogRoute(const TPlatformLogRoute&) = delete;
  TPlatformLogRoute& operator=(const TPlatformLogRoute&) = delete;
};

} // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TCliContext context(out, err);
  TInterruptAsAbort::Forget();
  const TPlatformLogRoute route(context);

  CLI::App app("Quenz CD/DVD Burner: builds ISO 9660 images with Joliet names from files and folders.",
               ProgramName);
  // Subcommands inherit these, so global switches may follow the subcommand,
  // and a path such as "/tmp/x.iso" is a path on Windows too, not a "/option".
  app.fallthrough();
  app.allow_windows_style_options(false);
  // At most one; none is reported below, after CLI11 has named any unknown word.
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", QNZB_VERSION);
  CLI::Option* verbose = app.add_flag("-v,--verbose", context.Verbose, "Show the debug log on standard error");
  app.add_flag("-q,--quiet", context.Quiet, "Hide progress and notices; results, warnings and errors stay")
      ->excludes(verbose);
  for (const TAddCommand add : Commands)
    add(app, context);

  // CLI11 reads the arguments last to first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e, out, err);
    return status == static_cast<int>(CLI::ExitCodes::Success) ? 0 : ExitUsage;
  }
  if (app.get_subcommands().empty()) {
    context.Error("a command is required; run with --help for the list");
    return ExitUsage;
  }
  // A job that a signal stopped says so in its status; one that completed
  // before the signal took effect keeps its own.
  return context.ExitCode == 0 ? 0 : TInterruptAsAbort::InterruptedStatus(context.ExitCode);
}

} // namespace qnzb::cli
