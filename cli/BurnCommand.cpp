// burn PATH... and burn-iso FILE: the main window's "Burn" and "Burn .ISO"
// on the chosen drive, waiting for the job with a progress line and Ctrl-C
// as its abort.

#include <CLI/CLI.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/CompilationOptions.h"
#include "cli/DeviceOptions.h"
#include "cli/JobProgress.h"
#include "engine/device/qnConst.h"
#include "engine/image/Compilation.h"
#include "engine/image/Settings.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"
#include "platform/Profile.h"

namespace qnzb::cli {

namespace {

// The recorder's settings of a burn; unset ones keep the settings file's values.
struct TBurnFlags {
  TDeviceFlags Device;
  std::string Speed;  // "Max", "16X", "8.0X"
  bool TestWrite = false;
  bool CloseDisc = false;
  bool NoOpc = false;
  std::optional<int> ImportSession;  // 0 none, -1 the last
  bool Replace = false;              // a file whose name the carried-over session holds replaces it
};

struct TBurnArgs {
  std::vector<std::string> Paths;
  TCompilationFlags Compilation;
  TBurnFlags Burn;
};

void AddBurnFlags(CLI::App& command, TBurnFlags& flags) {
  AddDeviceFlags(command, flags.Device);
  command.add_option("--speed", flags.Speed, "Write speed, as `caps` lists it (\"16X\", \"8.0X\"); default Max");
  command.add_flag("--test-write", flags.TestWrite, "Simulate the write: the laser stays off, nothing is recorded");
  command.add_flag("--close-disc", flags.CloseDisc, "Close the disc after this session: no further session");
  command.add_flag("--no-opc", flags.NoOpc, "Skip the drive's laser power calibration");
}

void ApplyBurnFlags(TQNZBurner& burner, const TBurnFlags& flags) {
  if (flags.TestWrite)
    burner.TestWrite = true;
  if (flags.CloseDisc)
    burner.FinalizeDisc = true;
  if (flags.NoOpc)
    burner.PerformOPC = false;
  burner.SetWriteSpeed(SpeedFromText(flags.Speed, IsDvdKind(burner.MediaKind())));
}

// Runs a started burn to its end; the exit status.
int FinishBurn(TQNZBurner& burner, bool started, const bool& finished, const std::string& error,
               TCliContext& context) {
  if (started)
    WaitForJob(burner, finished, burner.TrackLength() * 2048, context);
  if (!error.empty()) {
    context.Log(">>> WRITE/BURNCD PROCESS DONE WITH ERROR", mtPlain);
    context.Error(error);
    return ExitFailure;
  }
  if (!started)
    return ExitFailure;  // refused without a report: the log says why
  std::string lowest;
  if (burner.LowestBufferFill >= 0)
    lowest = ", drive buffer at least " + std::to_string(burner.LowestBufferFill.load()) + "% full";
  context.Result(">>> WRITE/BURNCD PROCESS DONE (" + std::to_string(burner.TrackLength()) + " sectors" + lowest +
                 ")");
  return 0;
}

int Burn(TQNZBurner& burner, const TBurnArgs& args, TCliContext& context) {
  const std::optional<TCompilation> rows = RowsFromPaths(args.Paths, !args.Compilation.NoRecursive, context);
  if (!rows)
    return ExitFailure;
  TAppOptions options;
  ApplySettings(burner, options, args.Compilation, platform::SettingsFilePath());
  context.Attach(burner);
  ApplyBurnFlags(burner, args.Burn);
  if (args.Burn.ImportSession)
    options.SessionToImport = static_cast<int8_t>(*args.Burn.ImportSession);
  if (args.Burn.Replace)
    burner.ReplaceFile = true;
  if (burner.Bootable && !platform::FileExists(burner.BootImage))
    context.Warning("boot image not found, burning without a boot record: " + burner.BootImage);

  TInterruptAsAbort interrupt;
  burner.ResetLayout(600000, 20000);
  FillCompilation(burner, *rows, options.SavePath, options.ArchiveOnly, options.SessionToImport,
                  [](TQNZBurner& b, int16_t session) { b.ImportPreviousSession(static_cast<int8_t>(session), nullptr); });
  burner.SendDebugMessage(std::string(StatusPrefix) + "ADD FILES/DIRS TO CD DONE.", mtPlain);
  if (burner.DirectoryCount() == 0 && burner.EntryCount() == 0) {
    burner.SendDebugMessage(std::string(StatusPrefix) + "NOTHING TO BURN, ABORTING ...", mtPlain);
    context.Error("nothing to burn: no files in the given paths" +
                  (burner.LeftOut.empty() ? "" : " that could be added (" + burner.LeftOutSummary() + ")"));
    return ExitFailure;
  }
  if (TInterruptAsAbort::Interrupted()) {
    context.Error(msgAbortedByUser);
    return ExitFailure;
  }
  burner.SendDebugMessage(std::string(StatusPrefix) + "STARTING BURNCD ON " + burner.SelectedId, mtPlain);

  std::string error;
  bool finished = false;
  burner.OnWriteDone = [&](TObject*, const std::string& text) {
    error = text;
    finished = true;
  };
  const bool started = burner.StartBurn();
  const int status = FinishBurn(burner, started, finished, error, context);
  if (status != 0)
    return status;
  if (options.ArchiveOnly)
    burner.ClearArchiveBits();
  return LeftOutStatus(burner, context);
}

int BurnIso(TQNZBurner& burner, const std::string& file, const TBurnFlags& flags, TCliContext& context) {
  TQNZBurner& b = burner;
  TAppOptions options;
  ApplySettings(b, options, TCompilationFlags{}, platform::SettingsFilePath());
  context.Attach(b);
  ApplyBurnFlags(b, flags);
  if (platform::DirectoryExists(file)) {
    context.Error("the image file is a folder: " + file);
    return ExitFailure;
  }
  b.SendDebugMessage(std::string(StatusPrefix) + "STARTING BURN .ISO IMAGE ON " + b.SelectedId, mtPlain);
  std::string error;
  bool finished = false;
  b.OnWriteDone = [&](TObject*, const std::string& text) {
    error = text;
    finished = true;
  };
  TInterruptAsAbort interrupt;
  const bool started = b.BurnImageFile(file);
  return FinishBurn(b, started, finished, error, context);
}

} // namespace

void AddBurnCommands(CLI::App& app, TCliContext& context) {
  auto args = std::make_shared<TBurnArgs>();
  CLI::App* burn =
      app.add_subcommand("burn", "Burn the files and folders PATH... to the disc in the drive as a new session");
  burn->add_option("PATH", args->Paths, "Files and folders to burn; a folder's contents go in with its sub-folders")
      ->required();
  AddCompilationFlags(*burn, args->Compilation);
  AddBurnFlags(*burn, args->Burn);
  burn->add_option("--import-session", args->Burn.ImportSession,
                   "Carry the files of session N of the disc over into the new session (-1: the last)")
      ->check(CLI::Range(-1, 99));
  burn->add_flag("--replace", args->Burn.Replace,
                 "A file whose name is already in the carried-over session replaces it (default: the earlier one "
                 "stays)");
  burn->callback([args, &context] {
    context.ExitCode = RunOnDrive(context, args->Burn.Device, [&](TQNZBurner& burner) {
      try {
        return Burn(burner, *args, context);
      } catch (const std::exception& e) {
        context.Error(e.what());
        return ExitFailure;
      }
    });
  });

  auto file = std::make_shared<std::string>();
  auto flags = std::make_shared<TBurnFlags>();
  CLI::App* burnIso = app.add_subcommand("burn-iso", "Burn the image file FILE to the disc, from its first sector");
  burnIso->add_option("FILE", *file, "The image file (.iso) to burn")->required();
  AddBurnFlags(*burnIso, *flags);
  burnIso->callback([file, flags, &context] {
    context.ExitCode = RunOnDrive(context, flags->Device, [&](TQNZBurner& burner) {
      try {
        return BurnIso(burner, *file, *flags, context);
      } catch (const std::exception& e) {
        context.Error(e.what());
        return ExitFailure;
      }
    });
  });
}

} // namespace qnzb::cli
