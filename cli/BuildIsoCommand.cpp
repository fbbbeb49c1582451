// build-iso OUT PATH...: builds the compilation of PATHs into an image file,
// as the main window's "Build .ISO" does.

#include <CLI/CLI.hpp>

#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/CompilationOptions.h"
#include "cli/JobProgress.h"
#include "engine/device/qnConst.h"
#include "engine/image/Compilation.h"
#include "engine/image/Settings.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "platform/FileIO.h"
#include "platform/Profile.h"
#include "platform/PathText.h"

namespace qnzb::cli {

namespace {

namespace fs = std::filesystem;

struct TBuildIsoArgs {
  std::string Out;
  std::vector<std::string> Paths;
  TCompilationFlags Flags;
};

// False, after reporting why, when OUT can't take the image.
bool TargetUsable(const std::string& out, const TCompilation& rows, TCliContext& context) {
  switch (platform::PathKind(out)) {
    case platform::TPathKind::Folder:
      context.Error("the image file is a folder: " + out);
      return false;
    case platform::TPathKind::Other:
      // A device or a pipe would be replaced by a regular file of that name.
      context.Error("the image file exists and is not a regular file (a device, pipe or socket): " + out +
                    "; give the path of a new or a regular file");
      return false;
    case platform::TPathKind::Missing:
    case platform::TPathKind::File:
      break;
  }
  // The image replaces OUT only when complete; a source file of that name
  // would be read while being replaced and then be gone.
  for (const TCompilationRow& row : rows) {
    std::error_code ec;
    if (!row.Path.ends_with('/') && fs::equivalent(out, row.Path, ec)) {
      context.Error("the image would replace its own source file: " + row.Path);
      return false;
    }
  }
  return true;
}

int RunBuildIso(TCliContext& context, const TBuildIsoArgs& args) {
  // Ctrl-C, SIGTERM and SIGHUP stop the job and leave no half-written image behind.
  TInterruptAsAbort interrupt;
  try {
    const std::optional<TCompilation> rows = RowsFromPaths(args.Paths, !args.Flags.NoRecursive, context);
    if (!rows)
      return ExitFailure;
    const std::string out = AbsolutePath(args.Out);
    if (!TargetUsable(out, *rows, context))
      return ExitFailure;

    TQNZBurner burner(nullptr);
    TAppOptions options;
    ApplySettings(burner, options, args.Flags, platform::SettingsFilePath(), &context);
    context.Attach(burner);

    // The image planning quietly drops a boot image that isn't there.
    if (burner.Bootable && !platform::FileExists(burner.BootImage))
      context.Warning("boot image not found, building without a boot record: " +
                      (burner.BootImage.empty() ? std::string("(none given)") : burner.BootImage));

    // An earlier image of the same name inside a source folder would be
    // replaced while it is read: found here, refused below.
    const std::string outName = platform::PathText(platform::PathOf(out).filename());
    std::string replacedSource;
    burner.OnAddFile = [&](TObject*, const std::string& fullPath, std::string&, std::string&, TDateTime&, int32_t,
                           int64_t, bool& skip) {
      std::error_code ec;
      if (replacedSource.empty() && !fullPath.empty() && platform::PathText(platform::PathOf(fullPath).filename()) == outName &&
          (fullPath == out || fs::equivalent(fullPath, out, ec))) {
        replacedSource = fullPath;
        skip = true;
      }
    };

    burner.ResetLayout(600000, 20000);
    FillCompilation(burner, *rows, options.SavePath, options.ArchiveOnly, options.SessionToImport);
    if (!replacedSource.empty()) {
      context.Error("the image would replace its own source file: " + replacedSource +
                    " (in a folder to be put on the image); write the image somewhere else");
      return ExitFailure;
    }
    if (burner.DirectoryCount() == 0 && burner.EntryCount() == 0) {
      context.Error("nothing to build: no files in the given paths" +
                    std::string(options.ArchiveOnly ? " with the archive attribute" : "") +
                    (burner.LeftOut.empty() ? "" : " that could be added (" + burner.LeftOutSummary() + ")"));
      return ExitFailure;
    }
    if (TInterruptAsAbort::Interrupted()) {
      context.Error(msgAbortedByUser);
      return ExitFailure;
    }
    burner.SendDebugMessage(std::string(StatusPrefix) + "ADD FILES/DIRS TO .ISO DONE.", mtPlain);
    burner.SendDebugMessage(std::string(StatusPrefix) + "START BUILDING .ISO FILE", mtPlain);

    std::string doneError;
    bool finished = false;
    burner.OnWriteDone = [&](TObject*, const std::string& error) {
      doneError = error;
      finished = true;
    };
    burner.BuildImageFile(out, options.QuickSaveISO);
    if (!options.QuickSaveISO)
      WaitForJob(burner, finished, burner.TrackLength() * 2048, context);
    if (!doneError.empty()) {
      context.Error(doneError);
      return ExitFailure;
    }
    std::error_code ec;
    const uintmax_t bytes = fs::file_size(out, ec);
    // The file's own size: a cached build pads short images to 300 sectors.
    context.Result(args.Out + ": " + (ec ? std::string("?") : std::to_string(bytes / 2048)) + " sectors, " +
                   (ec ? std::string("?") : std::to_string(bytes)) + " bytes");
    return LeftOutStatus(burner, context);
  } catch (const std::exception& e) {
    // EFOpenError (the target can't be created), EImageError (the build
    // failed) and anything else the job throws.
    context.Error(e.what());
    return ExitFailure;
  }
}

} // namespace

void AddBuildIsoCommand(CLI::App& app, TCliContext& context) {
  auto args = std::make_shared<TBuildIsoArgs>();
  CLI::App* command = app.add_subcommand(
      "build-iso", "Build the files and folders PATH... into the ISO 9660 image file OUT");
  command->add_option("OUT", args->Out, "The image file to write (replaced only by a complete image)")
      ->required();
  command
      ->add_option("PATH", args->Paths,
                   "Files and folders to put on the image; a folder's contents go in with its sub-folders")
      ->required();
  AddCompilationFlags(*command, args->Flags);
  command->callback([args, &context] { context.ExitCode = RunBuildIso(context, *args); });
}

} // namespace qnzb::cli
