#include "cli/CompilationOptions.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <utility>

#include "cli/CliContext.h"
#include "engine/image/qnCDBC.h"
#include "platform/System.h"
#include "platform/PathText.h"

namespace qnzb::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* PostGapHelp =
    "Don't pad a session shorter than 300 sectors with zeros up to 300 (the post-gap; default: padded)";

// An identifier option: at most `limit` bytes, the size of its field in the
// primary volume descriptor (cutting it there would record something else).
void AddIdentifier(CLI::App& command, const char* name, std::optional<std::string>& field, size_t limit,
                   const char* what, const char* type = "TEXT") {
  const std::string help = std::string(what) + ", at most " + std::to_string(limit) + " characters";
  command.add_option_function<std::string>(name, [&field](const std::string& v) { field = v; }, help)
      ->type_name(type)
      ->check(CLI::Validator(
          [limit](const std::string& v) {
            return v.size() <= limit ? std::string()
                                     : std::to_string(v.size()) + " characters, more than the " +
                                           std::to_string(limit) + " the volume descriptor holds";
          },
          ""));
}

} // namespace

void AddPostGapFlag(CLI::App& command, TCompilationFlags& flags) {
  command.add_flag("--no-post-gap", flags.NoPostGap, PostGapHelp);
}

void AddCompilationFlags(CLI::App& command, TCompilationFlags& flags) {
  command
      .add_option_function<std::string>(
          "--volume", [&flags](const std::string& v) { flags.Volume = v; }, "Volume label (default: VolumeLable)")
      ->type_name("TEXT");
  command.add_flag("--no-joliet", flags.NoJoliet, "Leave out the Joliet names (default: JolietFS)");
  command
      .add_option_function<std::string>(
          "--boot", [&flags](const std::string& v) { flags.Boot = v; },
          "Make the image bootable with this floppy or hard-disk image (default: Bootable, BootImage)")
      ->type_name("IMAGE")
      // Named here, the image must exist; only the settings file's BootImage
      // falls back to a build without a boot record.
      ->check(CLI::ExistingFile);
  command
      .add_option_function<std::string>(
          "--save-path", [&flags](const std::string& v) { flags.SavePath = SavePathFromText(v); },
          "Where entries land: unchecked = in the root, checked = under their whole source path, "
          "grayed = under their last folder (default: SavePath)")
      ->type_name("checked|grayed|unchecked")
      ->transform(CLI::IsMember({"checked", "grayed", "unchecked"}, CLI::ignore_case).description(""));
  command.add_flag("--no-recursive", flags.NoRecursive, "Take only the files directly in each folder PATH");
  command.add_flag("--archive-only", flags.ArchiveOnly,
                   "Take only files with the archive attribute from folders (default: ArchiveFiles)");
  command.add_flag("--quick", flags.Quick, "Build the image in the quick mode (default: QuickSaveISO)");
  command
      .add_option_function<int64_t>(
          "--cache-size", [&flags](const int64_t& v) { flags.CacheSize = v; },
          "Read-ahead cache in bytes, with K, M or G for binary units; at least 2M is used, at most 2G-1 "
          "accepted (default: CacheSize)")
      ->type_name("BYTES")
      ->transform(CLI::AsSizeValue(false).description(""))
      ->check(CLI::Range(int64_t{1}, int64_t{INT32_MAX}).description(""));
  AddPostGapFlag(command, flags);
  AddIdentifier(command, "--system-id", flags.SystemId, 32, "System identifier");
  AddIdentifier(command, "--volume-set", flags.VolumeSet, 128, "Volume set identifier");
  AddIdentifier(command, "--publisher", flags.Publisher, 128, "Publisher identifier");
  AddIdentifier(command, "--preparer", flags.Preparer, 128, "Data preparer identifier");
  AddIdentifier(command, "--application-id", flags.ApplicationId, 128, "Application identifier");
  AddIdentifier(command, "--copyright-file", flags.CopyrightFile, 37,
                "Name of the copyright file (in the root of the volume)", "NAME");
  AddIdentifier(command, "--abstract-file", flags.AbstractFile, 37,
                "Name of the abstract file (in the root of the volume)", "NAME");
  AddIdentifier(command, "--bibliographic-file", flags.BibliographicFile, 37,
                "Name of the bibliographic file (in the root of the volume)", "NAME");
}

void ApplySettings(TQNZBurner& burner, TAppOptions& options, const TCompilationFlags& flags,
                   const std::string& iniPath, TCliContext* context) {
  const auto warn = [context](const std::string& text) {
    if (context != nullptr)
      context->Warning(text);
    else
      platform::PlatformLog(std::string(ProgramName) + ": warning: " + text);
  };
  ApplyDesignValues(burner);
  std::error_code ec;
  const fs::file_type type = iniPath.empty() ? fs::file_type::not_found : fs::status(iniPath, ec).type();
  if (type != fs::file_type::not_found && type != fs::file_type::regular && !ec)
    warn("the settings file is not a regular file, so it was not read: " + iniPath);
  LoadSettings(burner, options, iniPath);
  if (flags.Volume)
    burner.IdVolume = *flags.Volume;
  if (flags.NoJoliet)
    burner.JolietFileSystem = false;
  if (flags.Boot) {
    burner.Bootable = true;
    burner.BootImage = *flags.Boot;
  }
  if (flags.SavePath)
    options.SavePath = *flags.SavePath;
  if (flags.ArchiveOnly)
    options.ArchiveOnly = true;
  if (flags.Quick)
    options.QuickSaveISO = true;
  if (flags.CacheSize)
    burner.SetCacheSize(static_cast<int32_t>(*flags.CacheSize));
  if (flags.NoPostGap)
    burner.WritePostGap = false;
  const std::pair<const std::optional<std::string>&, std::string&> identifiers[] = {
      {flags.SystemId, burner.IdSystem},           {flags.VolumeSet, burner.IdVolumeSet},
      {flags.Publisher, burner.IdPublisher},       {flags.Preparer, burner.IdPreparer},
      {flags.ApplicationId, burner.IdApplication}, {flags.CopyrightFile, burner.FileCopyright},
      {flags.AbstractFile, burner.FileAbstract},   {flags.BibliographicFile, burner.FileBibliographic},
  };
  for (const auto& [given, property] : identifiers)
    if (given)
      property = *given;
  if (const std::string warning = StampVolumeDates(burner); !warning.empty())
    warn(warning);
}

std::string AbsolutePath(const std::string& path) {
  // "/" throughout, as the user's own paths and the program's messages have it.
  return platform::PathText(fs::absolute(platform::PathOf(path)).lexically_normal());
}

std::optional<TCompilation> RowsFromPaths(const std::vector<std::string>& paths, bool recursive,
                                          TCliContext& context) {
  TCompilation rows;
  for (const std::string& given : paths) {
    if (given.empty()) {
      context.Error("an empty PATH names nothing");
      return std::nullopt;
    }
    const std::string path = AbsolutePath(given);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::directory) {
      rows.push_back(FolderRow(path, recursive));
    } else if (status.type() == fs::file_type::regular) {
      rows.push_back(FileRow(path));
    } else if (status.type() == fs::file_type::not_found) {
      context.Error("no such file or folder: " + given);
      return std::nullopt;
    } else if (ec) {
      context.Error("cannot use " + given + ": " + ec.message());
      return std::nullopt;
    } else {
      context.Error("not a regular file or folder: " + given);
      return std::nullopt;
    }
  }
  return rows;
}

} // namespace qnzb::cli
