// read-iso and verify-iso: the disc (or one session) saved as an image file,
// and an image file compared with the disc, each difference named by the
// file it damages.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "cli/CliContext.h"
#include "cli/Commands.h"
#include "cli/DeviceOptions.h"
#include "cli/JobProgress.h"
#include "engine/device/DiscSummary.h"
#include "engine/image/DiscReadBack.h"
#include "engine/image/qnCDBC.h"
#include "engine/recording/qnCache.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"

namespace qnzb::cli {

namespace {

namespace fs = std::filesystem;

struct TReadBackArgs {
  TDeviceFlags Device;
  std::string File;
  int Session = 0;  // 0: the whole disc
};

std::string AreaText(const TDiscArea& area, int session) {
  const std::string what = session == 0 ? std::string("the whole disc") : "session " + std::to_string(session);
  return what + Format(" (sectors %u-%u, %s)", area.Start, area.Start + area.Sectors - 1,
                       BlocksAsMegabytes(area.Sectors).c_str());
}

// The area to read or compare; false after reporting why.
bool FindArea(TQNZBurner& burner, int session, TAreaUse use, TDiscArea& area, TCliContext& context) {
  std::string why;
  if (!FindDiscArea(burner, session, use, area, why)) {
    context.Error(why);
    return false;
  }
  return true;
}

int ReadIso(TQNZBurner& burner, const TReadBackArgs& args, TCliContext& context) {
  switch (platform::PathKind(args.File)) {
    case platform::TPathKind::Folder:
      context.Error("the image file is a folder: " + args.File);
      return ExitFailure;
    case platform::TPathKind::Other:
      context.Error("the image file exists and is not a regular file (a device, pipe or socket): " + args.File +
                    "; give the path of a new or a regular file");
      return ExitFailure;
    case platform::TPathKind::Missing:
    case platform::TPathKind::File:
      break;
  }
  const bool existed = platform::PathKind(args.File) == platform::TPathKind::File;
  TDiscArea area;
  if (!FindArea(burner, args.Session, TAreaUse::Read, area, context))
    return ExitFailure;
  TSectorProgress progress(context, "reading " + AreaText(area, args.Session) + " into " + args.File,
                           area.Sectors);
  const TReadBackResult result = ReadDiscToFile(
      burner, area, args.File, [&](uint32_t done, uint32_t) { progress.Update(done); }, AbortRequested);
  if (!result.Ok) {
    progress.Finish(std::string());
    context.Error(result.Error + " (" + args.File + (existed ? " left as it was)" : " not written)"));
    return ExitFailure;
  }
  progress.Finish(Format("read %u sectors", result.Sectors));
  context.Result(args.File + ": " + std::to_string(result.Sectors) + " sectors, " +
                 std::to_string(uint64_t{result.Sectors} * 2048) + " bytes");
  context.Result("sha256 " + result.Sha256 + "  " + args.File);
  return 0;
}

int VerifyIso(TQNZBurner& burner, const TReadBackArgs& args, TCliContext& context) {
  if (platform::PathKind(args.File) != platform::TPathKind::File) {
    context.Error("not an image file: " + args.File + " (give the path of a regular file)");
    return ExitFailure;
  }
  TDiscArea area;
  if (!FindArea(burner, args.Session, TAreaUse::Verify, area, context))
    return ExitFailure;
  std::error_code ec;
  const uintmax_t bytes = fs::file_size(args.File, ec);
  const auto sectors = ec ? 0u : static_cast<uint32_t>(std::min<uintmax_t>((bytes + 2047) / 2048, UINT32_MAX));
  TSectorProgress progress(
      context, "comparing " + args.File + Format(" (%u sectors) with the disc from sector %u", sectors, area.Start),
      sectors);
  const TVerifyResult result = VerifyImageWithDisc(
      burner, args.File, area, [&](uint32_t done, uint32_t) { progress.Update(done); }, AbortRequested);
  progress.Finish(std::string());
  if (!result.Error.empty()) {
    context.Error(result.Error);
    return ExitFailure;
  }
  if (result.Aborted) {
    context.Error(msgAbortedByUser);
    return ExitFailure;
  }
  if (result.Match) {
    context.Result(Format("VERIFY OK: %u sectors from sector %u, sha256 ", result.Sectors, area.Start) +
                   result.Sha256);
    return 0;
  }
  context.Result(Format("VERIFY FAILED AT SECTOR %u", result.FirstSector) +
                 (result.FirstOwner.empty() ? std::string() : " (" + result.FirstOwner + ")") +
                 (result.Reason.empty() ? std::string() : ": " + result.Reason));
  for (const std::string& file : result.Files)
    context.Result(file);
  context.Result(std::to_string(result.Files.size()) + " FILE(S) DIFFER");
  if (!result.EndedEarly.empty() && !result.Reason.starts_with("READ ERROR"))
    context.Result("NOT COMPARED PAST " + result.EndedEarly);
  return ExitFailure;
}

constexpr const char* ReadIsoFooter =
    "An image of session 1 is a valid image on its own: it starts at sector 0. A later session's image\n"
    "is not: its descriptors and directories hold absolute disc addresses, and the files it carries over\n"
    "from earlier sessions lie in their sectors. For such a session read the whole disc and open it at the\n"
    "session's start block (`sessions`), e.g. xorriso -indev OUT -load sbsector START -ls /; verify-iso\n"
    "--session N compares a session's image with the disc. Between sessions the image holds zeros where\n"
    "the disc has nothing recorded.\n"
    "Exit status: 0 done; 1 failed (READ ERROR AT SECTOR n names the sector the drive could not read,\n"
    "even alone after retries); 128 + N stopped by signal N. OUT is replaced only by a complete image.\n";

constexpr const char* VerifyIsoFooter =
    "Image sector k is compared with disc sector k, or with --session N with the session's start + k.\n"
    "The first difference is reported as VERIFY FAILED AT SECTOR n (OWNER), n the disc's sector and OWNER\n"
    "what it belongs to in the image (FILE \\PATH, DIRECTORY \\PATH, PATH TABLE, VOLUME DESCRIPTOR,\n"
    "BOOT CATALOG, BOOT IMAGE; none for padding), then every file that differs, one a line.\n"
    "Exit status: 0 the disc holds the image (VERIFY OK); 1 they differ, the disc is shorter or can't be\n"
    "read, or the image can't be read; 128 + N stopped by signal N.\n";

void AddCommand(CLI::App& app, TCliContext& context, const char* name, const char* description, const char* file,
                const char* fileHelp, const char* footer, int (*job)(TQNZBurner&, const TReadBackArgs&, TCliContext&)) {
  auto args = std::make_shared<TReadBackArgs>();
  CLI::App* command = app.add_subcommand(name, description);
  command->footer(footer);
  AddDeviceFlags(*command, args->Device);
  command->add_option(file, args->File, fileHelp)->required();
  command
      ->add_option("--session", args->Session,
                   "The session, counted from 1 (see `sessions`); default the whole disc")
      ->option_text("N")
      ->check(CLI::Range(1, 65535));
  command->callback([args, job, &context] {
    // Ctrl-C, SIGTERM and SIGHUP stop the job between reads.
    AbortRequested = false;
    const TInterruptAsAbort interrupt;
    context.ExitCode = RunOnDrive(context, args->Device, [&](TQNZBurner& burner) {
      const int status = job(burner, *args, context);
      return TInterruptAsAbort::Interrupted() ? ExitFailure : status;
    });
  });
}

} // namespace

void AddReadBackCommands(CLI::App& app, TCliContext& context) {
  AddCommand(app, context, "read-iso",
             "Copy the whole readable disc, or one session, into the image file OUT and print its SHA-256",
             "OUT", "The image file to write (replaced only by a complete image)", ReadIsoFooter, ReadIso);
  AddCommand(app, context, "verify-iso",
             "Compare the image file FILE with the disc (from sector 0, or from a session's start)",
             "FILE", "The image file to compare", VerifyIsoFooter, VerifyIso);
}

} // namespace qnzb::cli
