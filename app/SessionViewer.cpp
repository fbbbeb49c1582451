#include "app/SessionViewer.h"

#include <QDir>
#include <QFontDatabase>
#include <QHeaderView>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/EntryTree.h"
#include "app/Prompts.h"
#include "engine/image/qnCDBC.h"
#include "engine/image/qnCDBCWriter.h"
#include "engine/image/qnISOLib.h"

namespace qnzb::app {

namespace {

QString NameOf(const TFEntry& entry) { return QString::fromStdString(entry.LongName); }
// The name a copy gets on the local disk.
QString LocalNameOf(const TFEntry& entry) { return QString::fromStdString(LocalName(entry)); }

} // namespace

TfrmTree::TfrmTree(TQNZBurner& burner, QWidget* parent) : QDialog(parent), burner_(burner) {
  setObjectName("frmTree");
  setWindowTitle("File and Directories Viewer and Extractor (Double Click on a file name to extract)");
  setModal(true);
  setSizeGripEnabled(true);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setObjectName("Splitter1");
  tvDir = new QTreeWidget(splitter);
  tvDir->setObjectName("tvDir");
  tvDir->setHeaderHidden(true);
  fl = new QTableWidget(0, 2, splitter);
  fl->setObjectName("fl");
  fl->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  fl->setHorizontalHeaderLabels({"File Name", "File Size"});
  fl->setSelectionBehavior(QAbstractItemView::SelectRows);
  fl->setSelectionMode(QAbstractItemView::SingleSelection);
  fl->setEditTriggers(QAbstractItemView::NoEditTriggers);
  fl->verticalHeader()->hide();
  fl->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  fl->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  fl->setToolTip("Double click on a file name to extract");
  splitter->addWidget(tvDir);
  splitter->addWidget(fl);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({121, 504});

  // The status line doubles as the "extract all" button.
  Msg = new QPushButton(this);
  Msg->setObjectName("Msg");
  Msg->setFlat(true);
  Msg->setAutoDefault(false);
  Msg->setToolTip("Click to extract every file of this folder");
  Msg->setStyleSheet("QPushButton#Msg { text-align: left; border: 1px inset palette(mid); padding: 1px 4px; }");

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(splitter, 1);
  layout->addWidget(Msg);

  FillFolderTree(tvDir, burner_.RootDir());
  ListSelected();
  connect(tvDir, &QTreeWidget::currentItemChanged, this, &TfrmTree::ListSelected);
  connect(fl, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { ExtractRow(row); });
  connect(Msg, &QPushButton::clicked, this, &TfrmTree::ExtractAll);

  resize(625, 369);
}

void TfrmTree::ListSelected() {
  ListFolder(fl, FolderOfNode(tvDir->currentItem()), [](int number, const TFEntry& entry) {
    return QStringList{QString::number(number).rightJustified(2, ' ') + ' ' + NameOf(entry), SizeCell(entry)};
  });
}

bool TfrmTree::Extract(TFEntry& entry, const QString& target) {
  // A stop asked for an earlier job must not end this copy.
  AbortRequested = false;
  return burner_.ExtractFile(&entry, QDir::toNativeSeparators(target).toStdString());
}

void TfrmTree::ExtractRow(int row) {
  TFEntry* entry = EntryOfRow(fl, row);
  if (entry == nullptr)
    return;
  if (entry->IsDirectory()) {
    Prompts().Message(this, windowTitle(), "You can not extract directory, " + NameOf(*entry) + " is a directory");
    return;
  }
  const std::optional<QString> typed =
      Prompts().InputText(this, "Extract File", "Enter Filename and Path", LocalNameOf(*entry));
  if (!typed || typed->trimmed().isEmpty())
    return;
  // The program's current folder is wherever it was started from: a plain
  // name goes to the home folder instead, where the user will look for it.
  QString path = *typed;
  if (path == "~" || path.startsWith("~/"))
    path = QDir::homePath() + path.mid(1);
  path = QDir::home().absoluteFilePath(path);
  if (!Extract(*entry, path))
    Prompts().Message(this, windowTitle(),
                      "Could not extract " + NameOf(*entry) + " to " + QDir::toNativeSeparators(path) +
                          " (the log says why).");
}

void TfrmTree::ExtractAll() {
  QList<TFEntry*> files;
  for (int row = 0; row < fl->rowCount(); ++row) {
    TFEntry* entry = EntryOfRow(fl, row);
    if (entry != nullptr && !entry->IsDirectory())
      files << entry;
  }
  if (files.isEmpty())
    return;
  const std::optional<QString> folder =
      Prompts().ChooseFolder(this, "Extract the files of this folder to", QDir::homePath());
  if (!folder || folder->isEmpty())
    return;
  const QDir target(*folder);
  QStringList failed;
  for (TFEntry* entry : files) {
    Msg->setText("Extracting " + NameOf(*entry));
    Msg->repaint();
    if (!Extract(*entry, target.absoluteFilePath(LocalNameOf(*entry))))
      failed << NameOf(*entry);
  }
  if (!failed.isEmpty())
    Prompts().Message(this, windowTitle(),
                      "Could not extract " + failed.join(", ") + " to " +
                          QDir::toNativeSeparators(target.absolutePath()) + " (the log says why).");
}

} // namespace qnzb::app
