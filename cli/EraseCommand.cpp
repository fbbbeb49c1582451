// erase --quick|--complete: blanks or formats the rewritable medium in the
// chosen drive, with the main window's checks first, and waits for the end,
// showing the percentage while the drive works.

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Thread.h"
#include "platform/System.h"

namespace qnzb::cli {

namespace {

struct TEraseOptions {
  TDeviceFlags Device;
  bool Quick = false;
  bool Complete = false;
  std::string Speed;  // a speed choice's text: "Max", "16X", "8.0X"
};

int Erase(TQNZBurner& burner, const TEraseOptions& options, TCliContext& context) {
  std::string why;
  if (!burner.DriveWritable(why)) {
    context.Error("this drive can't erase: " + why);
    return ExitFailure;
  }
  const uint8_t kind = burner.MediaKind();
  // A quick erase of DVD-RAM only rewrites its start, whatever the drive
  // says about erasing.
  if (!burner.IsErasable() && !(options.Quick && kind == MediaDvdRam)) {
    context.Error("Disc is not Erasable");
    return ExitFailure;
  }
  ApplyWriteSpeed(burner, options.Speed, context);

  std::optional<bool> withError;
  burner.OnEraseDone = [&](TObject*, bool error) { withError = error; };
  const bool started = burner.StartErase(options.Quick ? 1 : 0);
  if (!started && !withError) {
    context.Error("the drive did not become ready: " + burner.LastErrorText);
    return ExitFailure;
  }

  const bool showProgress = !context.Quiet && platform::StandardErrorIsTerminal();
  int32_t shown = -1;
  while (!withError) {
    TThread::CheckSynchronize(200);
    const int32_t percent = burner.EraseProgress();
    if (showProgress && percent != shown) {
      context.Err << "\rErasing: " << percent << "%   " << std::flush;
      shown = percent;
    }
  }
  if (showProgress)
    context.Err << "\r" << std::string(20, ' ') << "\r" << std::flush;
  burner.OnEraseDone = nullptr;

  if (*withError) {
    context.Log(">>> ERASE PROCESS DONE WITH ERROR", 0);
    context.Error((started ? "the erase failed: " : "the drive refused to erase: ") + burner.LastErrorText);
    return ExitFailure;
  }
  context.Result(">>> ERASE PROCESS DONE");
  return 0;
}

} // namespace

void AddEraseCommand(CLI::App& app, TCliContext& context) {
  auto options = std::make_shared<TEraseOptions>();
  CLI::App* command = app.add_subcommand(
      "erase", "Erase a rewritable medium (CD-RW, DVD-RW, DVD+RW, DVD-RAM): --quick or --complete");
  AddDeviceFlags(*command, options->Device);
  auto* quick = command->add_flag("--quick", options->Quick, "Quick erase: the table of contents only");
  auto* complete =
      command->add_flag("--complete", options->Complete, "Complete erase of the whole medium (may take 10-70 mins)");
  quick->excludes(complete);
  AddSpeedOption(*command, "--speed", options->Speed,
                 "Write speed, as `caps` lists it (\"16X\", \"8.0X\", \"Max\"); default Max");
  command->callback([options, &context] {
    if (!options->Quick && !options->Complete) {
      context.Error("erase needs --quick or --complete");
      context.ExitCode = ExitUsage;
      return;
    }
    context.ExitCode =
        RunOnDrive(context, options->Device, [&](TQNZBurner& burner) { return Erase(burner, *options, context); });
  });
}

} // namespace qnzb::cli
