#pragma once
// The compilation list the front ends collect (rows of a source path and a
// recursive flag) and how it is transferred into the burner component's
// layout tree before a build or a burn. Shared by the desktop program and the
// command line so that both place files identically.
//
// Threading: FillCompilation runs on the thread that owns the component, with
// no job running (it changes the program-wide layout).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qnzb {

class TQNZBurner;

// The three states of the "Save path" box: where entries land on the disc.
//   Unchecked  a folder's contents go into the root; a file goes into the root
//   Checked    the whole source path is kept ("/Docs/Work/" lands at \Docs\Work\)
//   Grayed     only the last folder of the source path is kept (\Work\)
enum class TSavePath { Unchecked, Checked, Grayed };

// "Checked", "Grayed" or "Unchecked": the settings file's words.
[[nodiscard]] const char* SavePathText(TSavePath state);
// Upper-cased "GRAYED" gives Grayed, "CHECKED" Checked, anything else
// (also an empty text) Unchecked.
[[nodiscard]] TSavePath SavePathFromText(std::string_view text);

// One row of the list. The path is the row's identity; whether it is a file
// or a folder is decided again when the compilation is filled, by whether it
// names an existing directory. A folder row's path ends with exactly one "/".
// Recursive: take the folder's sub-folders too (no effect on file rows).
struct TCompilationRow {
  std::string Path;
  bool Recursive = false;
};
using TCompilation = std::vector<TCompilationRow>;

// A folder row: `path` with its trailing "/" characters replaced by exactly
// one ("/" stays "/").
[[nodiscard]] TCompilationRow FolderRow(std::string_view path, bool recursive = true);
// A file row (not recursive).
[[nodiscard]] TCompilationRow FileRow(std::string_view path);
// The row a dropped name becomes: a folder row (recursive) when it names an
// existing directory, a file row otherwise.
[[nodiscard]] TCompilationRow RowForPath(std::string_view path);

// Imports a session of the disc in the drive into the layout root (-1 = the
// last session). Provided by the recording side; may throw like any job step.
using TImportSessionFunc = std::function<void(TQNZBurner& burner, int16_t session)>;

// The message logged (type 0) when the list is empty.
inline constexpr const char* msgSelectSomething = "Atleast one file/directory should be selected";

// Transfers `rows`, in order, into the component's layout, which the caller
// has just reset:
//  1. when sessionToImport is not 0 (-1: the last session) and importSession
//     is given: sets the component's SessionToImport to 0 (so the image
//     planning doesn't import again) and calls importSession; without it no
//     session is imported;
//  2. with an empty list: logs msgSelectSomething (type 0) and returns false;
//  3. adds each row placed as savePath says, setting the component's
//     LastFolderOnly for Grayed and clearing it otherwise: a row naming an
//     existing directory adds that folder's files ("*.*", every attribute;
//     only those with the archive attribute when archiveOnly), with its
//     sub-folders when Recursive; any other row adds the file of its path
//     (archiveOnly does not filter file rows; a source that is gone adds
//     nothing);
//  4. removes the folders left empty and returns true.
// Errors of the component arrive as its log lines; what importSession throws
// passes through.
bool FillCompilation(TQNZBurner& burner, const TCompilation& rows, TSavePath savePath, bool archiveOnly,
                     int16_t sessionToImport = 0, const TImportSessionFunc& importSession = {});

} // namespace qnzb
