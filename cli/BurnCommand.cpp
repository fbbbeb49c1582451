// burn PATH... and burn-iso FILE: the main window's "Burn" and "Burn .ISO"
// on the chosen drive, waiting for the job with a progress line and Ctrl-C
// as its abort.

#include <CLI/CLI.hpp>

#include <exception>
#include <filesystem>
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

namespace fs = std::filesystem;

// The recorder's settings of a burn; unset ones keep the settings file's values.
struct TBurnFlags {
  TDeviceFlags Device;
  std::string Speed;      // "Max", "16X", "8.0X"; checked by AddSpeedOption
  std::string ReadSpeed;  // the same forms; empty: the design value (the maximum)
  bool TestWrite = false;
  bool NoTestWrite = false;
  bool CloseDisc = false;
  bool NoCloseDisc = false;
  bool NoOpc = false;
  bool Verify = false;
  bool NoVerify = false;
  bool NoUnderrunProtection = false;
  bool NoCloseTrack = false;
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
  AddSpeedOption(command, "--speed", flags.Speed,
                 "Write speed: a multiple of 1X (\"16X\", \"16\", \"8.0X\") or Max (default); the drive takes "
                 "its nearest, which is shown");
  AddSpeedOption(command, "--read-speed", flags.ReadSpeed,
                 "Read speed sent along with the write speed, in the same forms (default Max)");
  CLI::Option* test = command.add_flag("--test-write", flags.TestWrite,
                                       "Simulate the write: the laser stays off, nothing is recorded (default: "
                                       "TestWrite)");
  command.add_flag("--no-test-write", flags.NoTestWrite, "Record for real, whatever TestWrite says")->excludes(test);
  CLI::Option* close = command.add_flag("--close-disc", flags.CloseDisc,
                                        "Close the disc after this session: no further session (default: "
                                        "CloseDisc)");
  command.add_flag("--no-close-disc", flags.NoCloseDisc, "Leave the disc open for another session, whatever "
                                                         "CloseDisc says")
      ->excludes(close);
  command.add_flag("--no-opc", flags.NoOpc, "Skip the drive's laser power calibration (default: PerformOPC)");
  CLI::Option* verify = command.add_flag("--verify", flags.Verify,
                                         "Read the session back after the burn and compare it with what was sent "
                                         "(default: Verify, on unless the settings say 0)");
  command.add_flag("--no-verify", flags.NoVerify, "Don't read the session back after the burn")->excludes(verify);
  command.add_flag("--no-underrun-protection", flags.NoUnderrunProtection,
                   "Turn the drive's buffer-underrun protection off");
  command.add_flag("--no-close-track", flags.NoCloseTrack,
                   "Send no close after writing: the track and its session stay open until something closes "
                   "them");
}

// False, after reporting why, when the session to import is not on the disc
// in the drive; -1 on a blank disc becomes 0 (nothing to import).
bool ImportableSession(TQNZBurner& burner, int8_t& session, bool fromCommandLine, TCliContext& context) {
  if (session == 0)
    return true;
  const int sessions = burner.SessionCount();
  if (session == -1) {
    if (sessions == 0) {
      context.Notice("the disc holds no session: nothing to import");
      session = 0;
    }
    return true;
  }
  const std::string source = fromCommandLine ? "--import-session" : "SessionNo of the settings file";
  if (session < -1 || session > sessions) {
    context.Error("no session " + std::to_string(session) + " to import (" + source + "): the disc " +
                  (sessions == 0 ? std::string("is blank") : "holds " + std::to_string(sessions)) +
                  "; -1 takes the last, 0 imports nothing");
    return false;
  }
  return true;
}

// Applies the flags to the component and, for a burn of files, the session
// to import to `options`; false, after reporting why, when the burn can't go
// on. Sets the speeds last, saying which write speed the drive took.
bool ApplyBurnFlags(TQNZBurner& burner, const TBurnFlags& flags, TCliContext& context, TAppOptions* options) {
  // A drive opened read-only refuses every write: no use preparing a burn.
  std::string why;
  if (!burner.DriveWritable(why)) {
    context.Error("this drive can't be written: " + why);
    return false;
  }
  if (flags.TestWrite || flags.NoTestWrite)
    burner.TestWrite = flags.TestWrite;
  if (flags.CloseDisc || flags.NoCloseDisc)
    burner.FinalizeDisc = flags.CloseDisc;
  if (flags.Verify || flags.NoVerify)
    burner.Verify = flags.Verify;
  if (flags.NoOpc)
    burner.PerformOPC = false;
  if (flags.NoUnderrunProtection)
    burner.UnderrunProtection = false;
  if (flags.NoCloseTrack)
    burner.FinalizeTrack = false;
  // The write parameters ask for a test write only of a drive that has one:
  // elsewhere the "test" would record for real.
  if (burner.TestWrite && (burner.Capabilities & CapWriteTest) == 0) {
    context.Error("this drive can't do a test write, it would record for real: burn without a test write "
                  "(--no-test-write overrides TestWrite=1)");
    return false;
  }
  if (options != nullptr) {
    // Told before the compilation is gathered, in the words the burn would use.
    if (const std::string problem = burner.CheckDiscMedium(false); !problem.empty()) {
      context.Error(problem);
      return false;
    }
    if (flags.ImportSession)
      options->SessionToImport = static_cast<int8_t>(*flags.ImportSession);
    if (!ImportableSession(burner, options->SessionToImport, flags.ImportSession.has_value(), context))
      return false;
  }
  if (!flags.ReadSpeed.empty())
    burner.ReadSpeed = SpeedOfText(flags.ReadSpeed, IsDvdKind(burner.MediaKind()));
  ApplyWriteSpeed(burner, flags.Speed, context);
  return true;
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
  // What was written: the image itself, then the zeros a short track is padded with.
  const int64_t padding = burner.TrackLength() - burner.ImageLength;
  std::string line = ">>> WRITE/BURNCD PROCESS DONE (";
  if (burner.TestWrite)
    line += "TEST WRITE: NOTHING WAS RECORDED; ";
  line += std::to_string(burner.ImageLength) + " sectors of image";
  if (padding > 0)
    line += " + " + std::to_string(padding) + " sectors of padding";
  if (burner.LowestBufferFill >= 0)
    line += ", drive buffer at least " + std::to_string(burner.LowestBufferFill.load()) + "% full";
  context.Result(line + ")");
  return 0;
}

int Burn(TQNZBurner& burner, const TBurnArgs& args, TCliContext& context) {
  const std::optional<TCompilation> rows = RowsFromPaths(args.Paths, !args.Compilation.NoRecursive, context);
  if (!rows)
    return ExitFailure;
  TAppOptions options;
  ApplySettings(burner, options, args.Compilation, platform::SettingsFilePath(), &context);
  context.Attach(burner);
  if (!ApplyBurnFlags(burner, args.Burn, context, &options))
    return ExitFailure;
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
  // A test write recorded nothing: the files still need their backup.
  if (options.ArchiveOnly && !burner.TestWrite)
    burner.ClearArchiveBits();
  return LeftOutStatus(burner, context);
}

// False, after reporting why, when FILE can't be an image to burn. A missing
// file is left to the burn, which reports it in the engine's words.
bool ImageFileUsable(const std::string& file, TCliContext& context) {
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (status.type() == fs::file_type::not_found)
    return true;
  if (status.type() == fs::file_type::directory) {
    context.Error("the image file is a folder: " + file);
    return false;
  }
  if (status.type() != fs::file_type::regular) {
    context.Error("the image file is not a regular file: " + file);
    return false;
  }
  if (fs::file_size(file, ec) == 0 && !ec) {
    context.Error("the image file is empty, nothing to burn: " + file);
    return false;
  }
  return true;
}

int BurnIso(TQNZBurner& burner, const std::string& file, const TBurnFlags& flags,
            const TCompilationFlags& compilation, TCliContext& context) {
  TQNZBurner& b = burner;
  TAppOptions options;
  ApplySettings(b, options, compilation, platform::SettingsFilePath(), &context);
  context.Attach(b);
  if (!ApplyBurnFlags(b, flags, context, nullptr))
    return ExitFailure;
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
  auto compilation = std::make_shared<TCompilationFlags>();
  CLI::App* burnIso = app.add_subcommand("burn-iso", "Burn the image file FILE to the disc, from its first sector");
  burnIso->add_option("FILE", *file, "The image file (.iso) to burn")->required();
  AddBurnFlags(*burnIso, *flags);
  AddPostGapFlag(*burnIso, *compilation);
  burnIso->callback([file, flags, compilation, &context] {
    // Refused before the drive is even opened.
    if (!ImageFileUsable(*file, context)) {
      context.ExitCode = ExitFailure;
      return;
    }
    context.ExitCode = RunOnDrive(context, flags->Device, [&](TQNZBurner& burner) {
      try {
        return BurnIso(burner, *file, *flags, *compilation, context);
      } catch (const std::exception& e) {
        context.Error(e.what());
        return ExitFailure;
      }
    });
  });
}

} // namespace qnzb::cli
