// The disc layout window shown before a burn: deleting files and folders from
// the component's layout, and the burn that follows holding what was left.

#include <QDateTime>
#include <QFile>
#include <QMessageBox>
#include <QTableWidget>
#include <QTreeWidget>

#include "WindowFixture.h"
#include "app/DiscLayoutWindow.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::app {
namespace {

using DiscLayoutWindow = test_support::TWindowTest;

QTreeWidgetItem* Node(QTreeWidget* tree, const QString& caption) {
  const QList<QTreeWidgetItem*> found = tree->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
  return found.isEmpty() ? nullptr : found.first();
}

// Each row's cells joined by "|", sorted: the listing follows the entry
// lists, whose order is the adding order.
QStringList Rows(const QTableWidget* grid) {
  QStringList rows;
  for (int row = 0; row < grid->rowCount(); ++row) {
    QStringList cells;
    for (int column = 0; column < grid->columnCount(); ++column)
      cells << (grid->item(row, column) ? grid->item(row, column)->text() : QString());
    rows << cells.join('|');
  }
  rows.sort();
  return rows;
}

TEST_F(DiscLayoutWindow, BurnTakesWhatIsLeftAfterTheDeletes) {
  const std::string dated = tmp.write("src/e.txt", "eee");
  {
    QFile file(QString::fromStdString(dated));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime(QDate(2004, 7, 4), QTime(13, 5, 9)), QFileDevice::FileModificationTime));
  }
  tmp.write("src/docs/a.txt", "a");
  tmp.write("src/gone/deep/d.txt", "d");
  tmp.write("src/keep/c.txt", "c");
  Open();
  form->Options.ShowFiles = true;
  form->AddDroppedNames({QString::fromStdString(tmp.at("src"))});
  prompts.Answers = {true};
  WhenModal([&](QWidget* dialog) {
    auto* tree = dialog->findChild<QTreeWidget*>("tvDir");
    auto* grid = dialog->findChild<QTableWidget*>("fl");
    auto* window = static_cast<TfrmDiscLayout*>(dialog);
    EXPECT_EQ(dialog->windowTitle(), "Remove files or directories");
    EXPECT_EQ(tree->currentItem()->text(0), "CDROOT");
    EXPECT_EQ(Rows(grid), (QStringList{"docs| < DIR > |", "e.txt|        3|07-04-2004 13:05:09", "gone| < DIR > |",
                                       "keep| < DIR > |"}));
    // A folder can't be deleted from the grid.
    grid->setCurrentCell(grid->findItems("docs", Qt::MatchExactly).first()->row(), 0);
    window->DeleteFile();
    EXPECT_EQ(prompts.Messages.value(0),
              "You can not delete directory, docs is a directory, use tree view to delete directory");
    // The last file of a folder: the folder stays, listed with one blank row.
    tree->setCurrentItem(Node(tree, "docs"));
    EXPECT_TRUE(Rows(grid).value(0).startsWith("a.txt|"));
    window->DeleteFile();
    EXPECT_EQ(grid->rowCount(), 1);
    EXPECT_EQ(Rows(grid), QStringList{"||"});
    window->DeleteFile();  // the blank row: nothing happens
    // A folder in the tree goes with everything below it; the tree starts over.
    tree->setCurrentItem(Node(tree, "gone"));
    window->DeleteFolder();
    EXPECT_EQ(tree->currentItem()->text(0), "CDROOT");
    EXPECT_EQ(Node(tree, "gone"), nullptr);
    EXPECT_EQ(Node(tree, "deep"), nullptr);
    EXPECT_EQ(Rows(grid).size(), 3);
    EXPECT_FALSE(Rows(grid).join(' ').contains("gone"));
    // The root stays whatever the tree's Delete says.
    window->DeleteFolder();
    EXPECT_EQ(Rows(grid).size(), 3);
    EXPECT_FALSE(Rows(grid).join(' ').contains("gone"));
    dialog->close();
  });
  Find<QPushButton>("bBurn")->click();
  ASSERT_TRUE(Until([&] { return Logged(">>> WRITE/BURNCD PROCESS DONE"); })) << LogLines().join('\n').toStdString();

  TQNZBurner& burner = form->Burner();
  burner.ResetLayout(600000, 20000);
  ASSERT_TRUE(burner.ImportPreviousSession(-1, nullptr));
  const struct {
    const char* dir;
    const char* name;
    bool present;
  } entries[] = {{"\\", "docs", true},     {"\\DOCS", "a.txt", false}, {"\\", "e.txt", true},
                 {"\\", "gone", false},    {"\\", "keep", true},       {"\\KEEP", "c.txt", true}};
  for (const auto& entry : entries) {
    TDEntry* dir = burner.FindDirectory(entry.dir);
    EXPECT_EQ(dir && burner.FindEntry(dir, entry.name), entry.present) << entry.dir << " " << entry.name;
  }
}

} // namespace
} // namespace qnzb::app
