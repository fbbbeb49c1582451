#pragma once
// The disc layout window: the compilation as the burner component built it,
// folder by folder, just before a burn. Deleting here removes nodes from the
// component's layout at once; the burn that follows builds what is left.

#include <QDialog>

class QTableWidget;
class QTreeWidget;

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::app {

class TfrmDiscLayout : public QDialog {
  Q_OBJECT
public:
  TfrmDiscLayout(TQNZBurner& burner, QWidget* parent);

  // The menus' commands.
  void DeleteFile();    // the grid's current file
  void DeleteFolder();  // the tree's current folder with everything below it
  void Refresh();       // the tree rebuilt, the root selected and listed

private:
  void ListSelectedFolder();

  TQNZBurner& burner_;
  QTreeWidget* tvDir = nullptr;
  QTableWidget* fl = nullptr;
};

} // namespace qnzb::app
