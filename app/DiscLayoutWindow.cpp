#include "app/DiscLayoutWindow.h"

#include <QAction>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/EntryTree.h"
#include "app/Prompts.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/DateTime.h"

namespace qnzb::app {

namespace {

// "07-04-2004 13:05:09": month, day, year, then the time of day.
QString DateCell(TDateTime when) {
  const TDateTimeParts parts = DecodeDateTime(when);
  return QString::asprintf("%02d-%02d-%04d %02d:%02d:%02d", parts.Month, parts.Day, parts.Year, parts.Hour,
                           parts.Minute, parts.Second);
}

QStringList LayoutCells(int, const TFEntry& entry) {
  return {QString::fromStdString(entry.LongName), SizeCell(entry),
          entry.IsDirectory() ? QString() : DateCell(entry.DateTime)};
}

// A context menu of Delete (Del, on this control) and the window's Refresh.
void AddMenu(QWidget* control, QAction* refresh, const std::function<void()>& remove) {
  auto* deleting = new QAction("Delete", control);
  deleting->setShortcut(QKeySequence::Delete);
  deleting->setShortcutContext(Qt::WidgetShortcut);
  QObject::connect(deleting, &QAction::triggered, control, remove);
  control->addAction(deleting);
  control->addAction(refresh);
  control->setContextMenuPolicy(Qt::ActionsContextMenu);
}

} // namespace

TfrmDiscLayout::TfrmDiscLayout(TQNZBurner& burner, QWidget* parent) : QDialog(parent), burner_(burner) {
  setObjectName("frmDiscLayout");
  setWindowTitle("Remove files or directories");
  setSizeGripEnabled(true);
  auto* column = new QVBoxLayout(this);
  auto* split = new QSplitter(Qt::Horizontal, this);

  tvDir = new QTreeWidget(split);
  tvDir->setObjectName("tvDir");
  tvDir->setHeaderHidden(true);
  fl = new QTableWidget(0, 3, split);
  fl->setObjectName("fl");
  fl->setHorizontalHeaderLabels({"File Name", "File Size", "    Date & Time "});
  fl->verticalHeader()->hide();
  fl->setSelectionBehavior(QAbstractItemView::SelectRows);
  fl->setSelectionMode(QAbstractItemView::SingleSelection);
  fl->setEditTriggers(QAbstractItemView::NoEditTriggers);
  fl->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  fl->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  fl->setColumnWidth(0, 254);
  fl->setColumnWidth(1, 71);
  fl->setColumnWidth(2, 141);
  split->setSizes({145, 481});
  column->addWidget(split, 1);

  auto* strip = new QHBoxLayout;
  auto* close = new QPushButton("Close", this);
  close->setObjectName("bClose");
  close->setMinimumWidth(121);
  strip->addWidget(close);
  strip->addStretch(1);
  column->addLayout(strip);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* refresh = new QAction("Refresh", this);
  refresh->setObjectName("Refresh");
  refresh->setShortcut(Qt::Key_F5);
  refresh->setShortcutContext(Qt::WindowShortcut);
  connect(refresh, &QAction::triggered, this, &TfrmDiscLayout::Refresh);
  addAction(refresh);
  AddMenu(tvDir, refresh, [this] { DeleteFolder(); });
  AddMenu(fl, refresh, [this] { DeleteFile(); });
  // A right click picks the node under the mouse before the menu shows.
  connect(tvDir, &QTreeWidget::itemPressed, this, [this](QTreeWidgetItem* node) { tvDir->setCurrentItem(node); });
  connect(tvDir, &QTreeWidget::currentItemChanged, this, [this] { ListSelectedFolder(); });

  resize(646, 369);
  Refresh();
}

void TfrmDiscLayout::ListSelectedFolder() { ListFolder(fl, FolderOfNode(tvDir->currentItem()), LayoutCells); }

void TfrmDiscLayout::Refresh() {
  FillFolderTree(tvDir, burner_.RootDir());
  ListSelectedFolder();
}

void TfrmDiscLayout::DeleteFile() {
  TFEntry* entry = EntryOfRow(fl, fl->currentRow());
  if (!entry)
    return;
  if (entry->IsDirectory()) {
    Prompts().Message(this, windowTitle(),
                      QString::fromStdString("You can not delete directory, " + entry->LongName +
                                             " is a directory, use tree view to delete directory"));
    return;
  }
  burner_.RemoveEntry(FolderOfNode(tvDir->currentItem()), entry);
  ListSelectedFolder();
}

void TfrmDiscLayout::DeleteFolder() {
  TDEntry* folder = FolderOfNode(tvDir->currentItem());
  if (folder && folder != burner_.RootDir())
    burner_.RemoveDirectory(folder);
  Refresh();
}

} // namespace qnzb::app
