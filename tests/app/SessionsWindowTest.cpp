// The disc information window and the session viewer over discs burned on
// the virtual recorder: the session list, the import of the chosen session,
// and files copied out of it compared with their sources.

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>

#include "WindowFixture.h"
#include "app/SessionViewer.h"
#include "app/SessionsWindow.h"
#include "engine/image/qnCDBC.h"
#include "engine/image/qnISOLib.h"
#include "engine/runtime/Clock.h"
#include "vdrive/FaultPlan.h"

namespace qnzb::app {
namespace {

void SendMouse(QWidget* target, QEvent::Type type, QPoint at) {
  QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton,
                    type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

// A click (or a double click) on a cell as the window system delivers it.
void Click(QAbstractItemView* view, const QModelIndex& index, bool twice = false) {
  const QPoint at = view->visualRect(index).center();
  SendMouse(view->viewport(), QEvent::MouseButtonPress, at);
  SendMouse(view->viewport(), QEvent::MouseButtonRelease, at);
  if (twice) {
    SendMouse(view->viewport(), QEvent::MouseButtonDblClick, at);
    SendMouse(view->viewport(), QEvent::MouseButtonRelease, at);
  }
}

QStringList Lines(const QListWidget* list) {
  QStringList lines;
  for (int i = 0; i < list->count(); ++i)
    lines << list->item(i)->text();
  return lines;
}

// The names of the grid's rows, sorted ("" for a blank row).
QStringList Names(const QTableWidget* grid) {
  QStringList names;
  for (int row = 0; row < grid->rowCount(); ++row)
    names << (grid->item(row, 0) ? grid->item(row, 0)->text().mid(3) : QString());
  names.sort();
  return names;
}

int RowOf(const QTableWidget* grid, const QString& name) {
  for (int row = 0; row < grid->rowCount(); ++row)
    if (grid->item(row, 0) && grid->item(row, 0)->text().mid(3) == name)
      return row;
  return -1;
}

QStringList FilesIn(const std::string& folder) {
  return QDir(QString::fromStdString(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
}

class SessionsWindow : public test_support::TWindowTest {
protected:
  void SetUp() override {
    TWindowTest::SetUp();
    Open();
    form->Options.SavePath = TSavePath::Unchecked;
  }

  // Adds `names` to the compilation list and burns it; true when the burn
  // ended without an error.
  bool Burn(const QStringList& names) {
    form->AddDroppedNames(names);
    const qsizetype before = LogLines().count(">>> WRITE/BURNCD PROCESS DONE");
    prompts.Answers = {true};
    Find<QPushButton>("bBurn")->click();
    EXPECT_TRUE(Until([&] { return !form->WriteJobRunning(); }));
    Settle();
    return LogLines().count(">>> WRITE/BURNCD PROCESS DONE") > before;
  }
  QString Source(const char* name) const { return QString::fromStdString(tmp.at(name)); }

  std::unique_ptr<TfrmSessions> OpenSessions() {
    auto sessions = std::make_unique<TfrmSessions>(form->Burner(), form.get());
    sessions->show();
    return sessions;
  }
  static QListWidget* ListOf(const QWidget& window) { return window.findChild<QListWidget*>("lb"); }
  static QTableWidget* GridOf(const QWidget& window) { return window.findChild<QTableWidget*>("fl"); }

  // Clicks line `line` of the list; the viewer it opens goes to `look`, then
  // closes. False when no viewer opened.
  static bool ViewSession(TfrmSessions& sessions, int line, const std::function<void(TfrmTree&)>& look) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
      if (auto* viewer = qobject_cast<TfrmTree*>(QApplication::activeModalWidget())) {
        seen = true;
        look(*viewer);
        viewer->close();
      }
    });
    QListWidget* list = ListOf(sessions);
    Click(list, list->model()->index(line, 0));
    Settle();
    return seen;
  }

  const test::TScopedEnv home{"HOME", tmp.mkdir("home")};
  // The engine's pauses while a burn closes its session cost no time.
  const TScopedVirtualClock clock;
};

TEST_F(SessionsWindow, WithoutASessionThereIsNothingToShow) {
  const struct {
    const char* medium;  // nullptr: the tray stays empty
    QStringList lines;
    QString used;
  } cases[] = {
      {nullptr, {"     Error getting session information"}, ""},
      {"cd-r", {}, "0.00 MB,  Sessions : 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.medium ? c.medium : "no medium");
    if (c.medium)
      Insert(c.medium);
    else
      Find<QPushButton>("bRemoveMedium")->click();
    prompts.Messages.clear();
    const auto sessions = OpenSessions();
    EXPECT_EQ(Lines(ListOf(*sessions)), c.lines);
    EXPECT_EQ(sessions->findChild<QLabel*>("lUsedSpace")->text(), c.used);
    EXPECT_EQ(sessions->findChild<QLabel*>("lMedium")->text().isEmpty(), c.medium == nullptr);
    sessions->findChild<QPushButton*>("bShowFiles")->click();
    EXPECT_EQ(prompts.Messages, QStringList{"Select session from list"});
    // The error line is no session: choosing it opens nothing.
    if (!c.lines.isEmpty()) {
      EXPECT_FALSE(ViewSession(*sessions, 0, [](TfrmTree&) {}));
    }
    EXPECT_EQ(prompts.Messages.size(), 1);
  }
}

// Three sessions, each viewed by a click on its line; viewing one between
// two burns leaves the compilation list to the next burn.
TEST_F(SessionsWindow, EachLineShowsItsSessionAndTheNextBurnStillBurnsTheList) {
  tmp.write("a.txt", "first");
  tmp.write("b.txt", "second");
  tmp.write("c.txt", "third");
  Insert("cd-r");
  form->Options.SessionToImport = -1;
  ASSERT_TRUE(Burn({Source("a.txt")}));
  Find<QPushButton>("bClear")->click();
  ASSERT_TRUE(Burn({Source("b.txt")}));
  {
    const auto sessions = OpenSessions();
    EXPECT_TRUE(ViewSession(*sessions, 0, [](TfrmTree& viewer) {
      EXPECT_EQ(Names(GridOf(viewer)), QStringList{"a.txt"});
    }));
  }
  // No import this time: the session holds what the list names, b.txt kept from before.
  form->Options.SessionToImport = 0;
  ASSERT_TRUE(Burn({Source("c.txt")}));

  const auto sessions = OpenSessions();
  const QStringList lines = Lines(ListOf(*sessions));
  ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
  const QStringList expected[] = {{"a.txt"}, {"a.txt", "b.txt"}, {"b.txt", "c.txt"}};
  for (int line = 0; line < 3; ++line) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(lines[line].startsWith(QString("  00%1    ").arg(line + 1))) << lines[line].toStdString();
    EXPECT_TRUE(ViewSession(*sessions, line, [&](TfrmTree& viewer) {
      EXPECT_EQ(viewer.findChild<QTreeWidget*>("tvDir")->topLevelItem(0)->text(0), "CDROOT");
      EXPECT_EQ(Names(GridOf(viewer)), expected[line]);
    }));
  }
  EXPECT_TRUE(sessions->isVisible());
  EXPECT_TRUE(sessions->findChild<QLabel*>("lUsedSpace")->text().endsWith(",  Sessions : 3"));
}

TEST_F(SessionsWindow, ASessionABurnLeftUnfinishedIsListedAndNotImported) {
  tmp.writePattern("a.bin", 300000, 1);
  tmp.writePattern("b.bin", 300000, 2);
  Insert("cd-r");
  ASSERT_TRUE(Burn({Source("a.bin")}));
  vdrive::FaultRule failWrites;
  failWrites.Opcode = 0x2A;
  failWrites.Kind = vdrive::FaultKind::WriteError;
  failWrites.After = 2;
  failWrites.Times = 0;
  vdrive::FaultPlan faults;
  faults.Add(failWrites);
  recorder->SetFaultPlan(faults);
  Find<QPushButton>("bClear")->click();
  ASSERT_FALSE(Burn({Source("b.bin")}));
  recorder->SetFaultPlan({});

  const auto sessions = OpenSessions();
  const QStringList lines = Lines(ListOf(*sessions));
  ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
  EXPECT_TRUE(lines[1].startsWith("  002") && lines[1].endsWith(UnfinishedMark)) << lines[1].toStdString();
  EXPECT_FALSE(ViewSession(*sessions, 1, [](TfrmTree&) {}));
  ASSERT_EQ(prompts.Messages.size(), 1);
  EXPECT_TRUE(prompts.Messages[0].startsWith("Session 002 was left unfinished")) << prompts.Messages[0].toStdString();
  EXPECT_TRUE(ViewSession(*sessions, 0, [](TfrmTree& viewer) {
    EXPECT_EQ(Names(GridOf(viewer)), QStringList{"a.bin"});
  }));
}

// One session of two files and a sub-folder with a file, viewed directly
// (the viewer's own modality left aside). A burn leaves empty folders out:
// the empty folder below the sub-folder is added to the imported tree.
class SessionViewer : public SessionsWindow {
protected:
  void SetUp() override {
    SessionsWindow::SetUp();
    tmp.writePattern("src/data/a.bin", 70000, 3);
    tmp.writePattern("src/data/b.bin", 5000, 5);
    tmp.writePattern("src/data/sub/c.bin", 100, 7);
    Insert("cd-r");
    ASSERT_TRUE(Burn({Source("src/data")}));
    form->Burner().ResetLayout(65535, 8191);
    ASSERT_TRUE(form->Burner().ImportPreviousSession(1, form->Burner().RootDir()));
    TFEntry* sub = form->Burner().FindEntry(form->Burner().RootDir(), "sub");
    ASSERT_TRUE(sub && sub->Dir);
    ASSERT_NE(form->Burner().AddDirByName(sub->Dir, "empty", 0x10), nullptr);
    viewer = std::make_unique<TfrmTree>(form->Burner(), form.get());
    viewer->show();
    grid = GridOf(*viewer);
    ASSERT_EQ(Names(grid), QStringList({"a.bin", "b.bin", "sub"}));
  }
  void TearDown() override {
    viewer.reset();
    SessionsWindow::TearDown();
  }
  void DoubleClick(int row) { Click(grid, grid->model()->index(row, 0), true); }

  std::unique_ptr<TfrmTree> viewer;
  QTableWidget* grid = nullptr;
};

TEST_F(SessionViewer, ADoubleClickExtractsTheFileWhereTheUserSays) {
  tmp.mkdir("out");
  const QString homeDir = QDir::homePath();
  const struct {
    const char* row;
    std::optional<QString> typed;
    QString target;   // empty: nothing written
    QString message;  // empty: none
  } cases[] = {
      {"a.bin", "a.bin", homeDir + "/a.bin", ""},
      {"b.bin", Source("out/b copy.bin"), Source("out/b copy.bin"), ""},
      {"a.bin", "missing/a.bin", "", "Could not extract a.bin to " + homeDir + "/missing/a.bin (the log says why)."},
      {"a.bin", std::nullopt, "", ""},
      {"sub", std::nullopt, "", "You can not extract directory, sub is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed.value_or("(cancelled)").toStdString());
    prompts.Messages.clear();
    prompts.Presets.clear();
    prompts.Texts = {c.typed};
    DoubleClick(RowOf(grid, c.row));
    const bool folder = QString(c.row) == "sub";
    EXPECT_EQ(prompts.Presets, folder ? QStringList() : QStringList{c.row});
    EXPECT_EQ(prompts.Messages, c.message.isEmpty() ? QStringList() : QStringList{c.message});
    if (!c.target.isEmpty()) {
      EXPECT_EQ(test::readFile(c.target.toStdString()), test::readFile(tmp.at(std::string("src/data/") + c.row)));
    }
  }
  EXPECT_FALSE(QDir(homeDir + "/missing").exists());
}

TEST_F(SessionViewer, TheStatusPanelExtractsTheFolderFilesIntoOneChosenFolder) {
  const std::string all = tmp.mkdir("all");
  tmp.write("all/a.bin", "an older copy, to be replaced");
  const struct {
    std::string folder;
    QStringList files;
    QString message;
  } cases[] = {
      {all, {"a.bin", "b.bin"}, ""},
      {tmp.at("gone"), {}, "Could not extract a.bin, b.bin to " + Source("gone") + " (the log says why)."},
  };
  auto* panel = viewer->findChild<QPushButton*>("Msg");
  EXPECT_TRUE(panel->text().isEmpty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    prompts.Messages.clear();
    prompts.Presets.clear();
    prompts.Texts = {QString::fromStdString(c.folder)};
    panel->click();
    EXPECT_EQ(prompts.Presets, QStringList{QDir::homePath()});
    EXPECT_EQ(prompts.Messages, c.message.isEmpty() ? QStringList() : QStringList{c.message});
    EXPECT_EQ(FilesIn(c.folder), c.files);
    for (const QString& file : c.files)
      EXPECT_EQ(test::readFile(c.folder + "/" + file.toStdString()),
                test::readFile(tmp.at("src/data/" + file.toStdString())));
    EXPECT_EQ(panel->text(), "Extracting " + grid->item(RowOf(grid, "b.bin"), 0)->text().mid(3));
  }
}

TEST_F(SessionViewer, AnEmptyFolderShowsOneBlankRowThatDoesNothing) {
  auto* tree = viewer->findChild<QTreeWidget*>("tvDir");
  const QList<QTreeWidgetItem*> empty = tree->findItems("empty", Qt::MatchExactly | Qt::MatchRecursive);
  ASSERT_EQ(empty.size(), 1);
  tree->setCurrentItem(empty[0]);
  ASSERT_EQ(grid->rowCount(), 1);
  EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "File Name");
  EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "File Size");
  DoubleClick(0);
  viewer->findChild<QPushButton*>("Msg")->click();
  EXPECT_TRUE(prompts.Presets.isEmpty());
  EXPECT_TRUE(prompts.Messages.isEmpty());
  tree->setCurrentItem(tree->topLevelItem(0));
  EXPECT_EQ(grid->rowCount(), 3);
}

// The size column over a layout built from the list (no 1.2 GB burn).
TEST_F(SessionsWindow, SizeCellsKeepEveryDigit) {
  std::filesystem::resize_file(tmp.write("big.bin", ""), 1234567890);
  tmp.write("small.bin", "12345");
  tmp.write("folder/inner/x.txt", "x");
  form->AddDroppedNames({Source("big.bin"), Source("small.bin"), Source("folder")});
  ASSERT_TRUE(form->FillCompilation());
  const TfrmTree viewer(form->Burner(), form.get());
  const QTableWidget* grid = GridOf(viewer);
  const struct {
    const char* name;
    const char* size;
  } cases[] = {{"big.bin", "1234567890"}, {"small.bin", "        5"}, {"inner", " < DIR > "}};
  for (const auto& c : cases) {
    const int row = RowOf(grid, c.name);
    ASSERT_GE(row, 0) << c.name << ": " << Names(grid).join(',').toStdString();
    EXPECT_EQ(grid->item(row, 1)->text(), c.size) << c.name;
  }
}

// Enter and Esc close it from its list, as from any of its controls.
TEST_F(SessionsWindow, DiscInfoOpensANewModalSessionsWindowEachTime) {
  Insert("cd-r");
  for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
    SCOPED_TRACE(key);
    TfrmSessions* shown = nullptr;
    QTimer::singleShot(0, [&] {
      shown = qobject_cast<TfrmSessions*>(QApplication::activeModalWidget());
      if (shown) {
        EXPECT_EQ(shown->parentWidget(), form.get());
        EXPECT_EQ(shown->windowTitle(), "Disc & Sessions Information");
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(ListOf(*shown), &press);
        if (shown->isVisible())
          ADD_FAILURE() << "still open";
        shown->close();
      }
    });
    Find<QPushButton>("bDisc")->click();
    EXPECT_NE(shown, nullptr);
    EXPECT_TRUE(form->findChildren<TfrmSessions*>().isEmpty());
  }
}

} // namespace
} // namespace qnzb::app
