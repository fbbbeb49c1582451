#include "app/EntryTree.h"

#include <QTableWidget>
#include <QTreeWidget>

#include "engine/image/qnISOLib.h"

namespace qnzb::app {

namespace {

constexpr int EntryRole = Qt::UserRole;

void AddFolders(QTreeWidgetItem* parent, const TDEntry* folder) {
  for (const TFEntry* entry = folder->FirstEntry; entry; entry = entry->Next) {
    if (!entry->IsDirectory() || !entry->Dir)
      continue;
    auto* node = new QTreeWidgetItem(parent, {QString::fromStdString(entry->LongName)});
    node->setData(0, EntryRole, QVariant::fromValue(static_cast<void*>(entry->Dir)));
    AddFolders(node, entry->Dir);
  }
}

} // namespace

void FillFolderTree(QTreeWidget* tree, TDEntry* root) {
  tree->clear();
  auto* top = new QTreeWidgetItem(tree, {"CDROOT"});
  top->setData(0, EntryRole, QVariant::fromValue(static_cast<void*>(root)));
  if (root)
    AddFolders(top, root);
  top->setExpanded(true);
  tree->setCurrentItem(top);
}

TDEntry* FolderOfNode(const QTreeWidgetItem* node) {
  return node ? static_cast<TDEntry*>(node->data(0, EntryRole).value<void*>()) : nullptr;
}

void ListFolder(QTableWidget* grid, const TDEntry* folder, const TRowCells& cells) {
  grid->clearContents();
  grid->setRowCount(0);
  int number = 0;
  for (const TFEntry* entry = folder ? folder->FirstEntry : nullptr; entry; entry = entry->Next) {
    const QStringList texts = cells(++number, *entry);
    grid->insertRow(number - 1);
    for (int column = 0; column < grid->columnCount(); ++column) {
      auto* cell = new QTableWidgetItem(texts.value(column));
      cell->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
      if (column == 1)
        cell->setData(EntryRole, QVariant::fromValue(static_cast<void*>(const_cast<TFEntry*>(entry))));
      grid->setItem(number - 1, column, cell);
    }
  }
  if (number == 0)
    grid->setRowCount(1);
  grid->setCurrentCell(0, 0);
}

TFEntry* EntryOfRow(const QTableWidget* grid, int row) {
  const QTableWidgetItem* cell = grid->item(row, 1);
  return cell ? static_cast<TFEntry*>(cell->data(EntryRole).value<void*>()) : nullptr;
}

QString SizeCell(const TFEntry& entry) {
  return entry.IsDirectory() ? QStringLiteral(" < DIR > ") : QString::number(entry.IsoSize).rightJustified(9, ' ');
}

} // namespace qnzb::app
