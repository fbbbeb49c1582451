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
};

// Adds the options above to a subcommand, parsed into `flags` (which must
// outlive `command`). --save-path takes checked, grayed or unchecked in any
// case; --cache-size takes 1 .. 2^31-1 bytes, with an optional K, M or G
// (binary) unit.
void AddCompilationFlags(CLI::App& command, TCompilationFlags& flags);

// The component and the application options as a job starts them: the
// design values, then section "Options" of `iniPath`, then `flags`.
void ApplySettings(TQNZBurner& burner, TAppOptions& options, const TCompilationFlags& flags,
                   const std::string& iniPath);

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
