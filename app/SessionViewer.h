#pragma once
// The session viewer: the folders of the session imported into the
// component's layout as a tree, the entries of the chosen folder in a grid,
// and the extraction of files from the disc to local paths. It reads the
// layout as it finds it and changes nothing in it; the tree and the grid
// point at its nodes, so the layout must stay as it is while the viewer is
// open (the viewer is modal).

#include <QDialog>

class QPushButton;
class QTableWidget;
class QTreeWidget;

namespace qnzb {
class TQNZBurner;
struct TFEntry;
} // namespace qnzb

namespace qnzb::app {

class TfrmTree : public QDialog {
  Q_OBJECT
public:
  // Shows the component's layout from its root, the root listed.
  explicit TfrmTree(TQNZBurner& burner, QWidget* parent = nullptr);

  // Lists the folder of the selected tree node in the grid.
  void ListSelected();
  // A double click on grid row `row`: asks where to put the row's file and
  // extracts it there (a relative path lies in the home folder); a message
  // for a folder or a failed extraction; nothing for a blank row.
  void ExtractRow(int row);
  // A click on the status panel: asks once for a folder (preset the home
  // folder) and extracts every file of the grid into it, replacing files of
  // the same names; folders are left out. A message names the files that
  // could not be extracted.
  void ExtractAll();

private:
  // Copies a file of the grid to `target`; false after the log said why.
  bool Extract(TFEntry& entry, const QString& target);

  TQNZBurner& burner_;

  QTreeWidget* tvDir = nullptr;
  QTableWidget* fl = nullptr;
  QPushButton* Msg = nullptr;
};

} // namespace qnzb::app
