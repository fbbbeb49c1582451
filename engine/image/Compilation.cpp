#include "engine/image/Compilation.h"

#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Strings.h"
#include "platform/FileIO.h"

namespace qnzb {

const char* SavePathText(TSavePath state) {
  switch (state) {
    case TSavePath::Checked:
      return "Checked";
    case TSavePath::Grayed:
      return "Grayed";
    case TSavePath::Unchecked:
      break;
  }
  return "Unchecked";
}

TSavePath SavePathFromText(std::string_view text) {
  const std::string upper = UpperCase(text);
  if (upper == "GRAYED")
    return TSavePath::Grayed;
  if (upper == "CHECKED")
    return TSavePath::Checked;
  return TSavePath::Unchecked;
}

TCompilationRow FolderRow(std::string_view path, bool recursive) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  std::string folder(path);
  if (folder != "/")
    folder += '/';
  return {folder, recursive};
}

TCompilationRow FileRow(std::string_view path) { return {std::string(path), false}; }

TCompilationRow RowForPath(std::string_view path) {
  return platform::DirectoryExists(std::string(path)) ? FolderRow(path, true) : FileRow(path);
}

bool FillCompilation(TQNZBurner& burner, const TCompilation& rows, TSavePath savePath, bool archiveOnly,
                     int16_t sessionToImport, const TImportSessionFunc& importSession) {
  if (sessionToImport != 0 && importSession) {
    burner.SessionToImport = 0;
    importSession(burner, sessionToImport);
  }
  if (rows.empty()) {
    burner.SendDebugMessage(msgSelectSomething, mtPlain);
    return false;
  }

  const bool grayed = savePath == TSavePath::Grayed;
  const bool placeByPath = grayed || savePath == TSavePath::Checked;
  for (const TCompilationRow& row : rows) {
    burner.LastFolderOnly = grayed;
    if (platform::DirectoryExists(row.Path)) {
      // The row's own path is the folder, even if a caller left off the "/".
      const std::string folder = FolderRow(row.Path).Path;
      burner.AddFolder(burner.RootDir(), folder, "*.*", platform::faAnyFile, row.Recursive, placeByPath,
                       archiveOnly);
    } else {
      // D + N of the row is its path as it stands.
      burner.AddFile("\\", row.Path, placeByPath);
    }
  }
  burner.RemoveEmptyDirectories();
  return true;
}

} // namespace qnzb
