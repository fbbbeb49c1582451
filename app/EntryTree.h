#pragma once
// What the disc layout window and the session viewer share: a folder tree
// of the component's layout under a root node "CDROOT", and a grid listing
// one folder's entries. Tree nodes carry their TDEntry, grid rows their
// TFEntry (on the size cell, column 1), so the windows act on the nodes
// themselves.

#include <QStringList>

#include <functional>

class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace qnzb {
struct TDEntry;
struct TFEntry;
} // namespace qnzb

namespace qnzb::app {

// Empties `tree`, inserts "CDROOT" carrying `root` and below it, depth first
// in entry-list order, one node per sub-folder captioned with its long name;
// selects the root. Nothing below the root when `root` is null.
void FillFolderTree(QTreeWidget* tree, TDEntry* root);

// The folder a tree node shows (null for none).
[[nodiscard]] TDEntry* FolderOfNode(const QTreeWidgetItem* node);

// The cells of one grid row for `entry`, numbered from 1.
using TRowCells = std::function<QStringList(int number, const TFEntry& entry)>;

// Lists `folder`'s entries into `grid`, one row each from `cells`. An empty
// (or null) folder gets one blank row that carries no entry.
void ListFolder(QTableWidget* grid, const TDEntry* folder, const TRowCells& cells);

// The entry grid row `row` carries (null for a blank row or none).
[[nodiscard]] TFEntry* EntryOfRow(const QTableWidget* grid, int row);

// A file's size, padded on the left with blanks to 9 characters (longer
// numbers are not cut); " < DIR > " for a folder.
[[nodiscard]] QString SizeCell(const TFEntry& entry);

} // namespace qnzb::app
