#pragma once
// The options shared by every subcommand that turns files into a disc or an
// image: they mirror the keys of the settings file, whose values are the
// defaults; an option given on the command line overrides its key for this
// run only (the file is never written).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/image/Compilation.h"
#include "engine/image/Settings.h"

namespace CLI {
class App;
}

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::cli {

class TCliContext;

// What the command line said; an empty optional or a false flag leaves the
// setting as the file has it.
struct TCompilationFlags {
  std::optional<std::string> Volume;  // --volume TEXT            "VolumeLable"
  bool NoJoliet = false;              // --no-joliet              "JolietFS" = 0
  std::optional<std::string> Boot;    // --boot IMAGE             "Bootable" = 1, "BootImage"
  std::optional<TSavePath> SavePath;  // --save-path STATE        "SavePath"
  bool NoRecursive = false;           // --no-recursive           folder rows without sub-folders
  bool ArchiveOnly = false;           // --archive-only           "ArchiveFiles" = 1
  bool Quick = false;                 // --quick                  "QuickSaveISO" = 1
  std::optional<int64_t> CacheSize;   // --cache-size BYTES[K|M]  "CacheSize"
  bool NoPostGap = false;             // --no-post-gap            WritePostGap = 0
  // The descriptors' other identifiers; no key of the settings file holds them.
  std::optional<std::string> SystemId;           // --system-id          IdSystem
  std::optional<std::string> VolumeSet;          // --volume-set         IdVolumeSet
  std::optional<std::string> Publisher;          // --publisher          IdPublisher
  std::optional<std::string> Preparer;           // --preparer           IdPreparer
  std::optional<std::string> ApplicationId;      // --application-id     IdApplication
  std::optional<std::string> CopyrightFile;      // --copyright-file     FileCopyright
  std::optional<std::string> AbstractFile;       // --abstract-file      FileAbstract
  std::optional<std::string> BibliographicFile;  // --bibliographic-file FileBibliographic
};

// Adds the options above to a subcommand, parsed into `flags` (which must
// outlive `command`). --save-path takes checked, grayed or unchecked in any
// case; --cache-size takes 1 .. 2^31-1 bytes, with an optional K, M or G
// (binary) unit; --boot an existing file; an identifier at most the bytes
// its field of the primary volume descriptor holds (32 for --system-id, 37
// for the three file names, 128 for the others).
void AddCompilationFlags(CLI::App& command, TCompilationFlags& flags);

// Adds --no-post-gap alone, for the subcommands without a compilation.
void AddPostGapFlag(CLI::App& command, TCompilationFlags& flags);

// The component and the application options as a job starts them: the
// design values, then section "Options" of `iniPath`, then `flags`; and the
// volume dated with the job's time (StampVolumeDates). A settings path that
// exists but is not a regular file is not read. Warnings (such a settings
// path, an unusable SOURCE_DATE_EPOCH) go to `context` when given, else to
// the platform log.
void ApplySettings(TQNZBurner& burner, TAppOptions& options, const TCompilationFlags& flags,
                   const std::string& iniPath, TCliContext* context = nullptr);

// The compilation rows of PATH arguments, in order: a path naming a folder
// becomes a folder row (with sub-folders when `recursive`), a regular file a
// file row; every path made absolute and normalised ("a/./b/../c" gives
// "<cwd>/a/c"), so that a saved path never depends on the working folder.
// nullopt after reporting (context.Error) the first path that does not exist
// or is neither a regular file nor a folder.
[[nodiscard]] std::optional<TCompilation> RowsFromPaths(const std::vector<std::string>& paths, bool recursive,
                                                        TCliContext& context);

// `path` made absolute and lexically normalised; a trailing "/" is kept.
[[nodiscard]] std::string AbsolutePath(const std::string& path);

} // namespace qnzb::cli
