// The main window on the offscreen platform: start-up, the compilation list,
// and every job through its buttons against the virtual recorder.

#include <QCheckBox>
#include <QFileSystemModel>
#include <QLabel>
#include <QListView>
#include <QProgressBar>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "WindowFixture.h"
#include "app/ShellDropTarget.h"
#include "engine/device/qnConst.h"
#include "engine/image/qnCDBC.h"
#include "vdrive/Media.h"

namespace qnzb::app {
namespace {

using MainWindow = test_support::TWindowTest;

TEST_F(MainWindow, StartsUpWithTheVirtualRecorderSelected) {
  form = std::make_unique<TForm1>();
  EXPECT_EQ(form->windowTitle(), "Quenz CD/DVD Burner 1.20.1");
  EXPECT_EQ(form->size(), QSize(738, 460));
  form->show();
  Settle();
  EXPECT_EQ(LogLines().value(0), ">>> Quenz CD/DVD Burner 1.20.1");
  EXPECT_EQ(Find<QComboBox>("cbDrives")->count(), 1);
  EXPECT_EQ(Find<QLabel>("lDrive")->text(), "Drive E:");
  EXPECT_TRUE(Find<QPushButton>("bBurn")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("bInsertMedium")->isVisible());
  EXPECT_FALSE(Find<QPushButton>("bAbort")->isVisible());
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  for (const char* button : {"bCaps", "bDisc", "bAdvance"})
    EXPECT_TRUE(Find<QPushButton>(button)->isEnabled()) << button;
}

TEST_F(MainWindow, WithoutADriveTheListStaysEmpty) {
  platform::DetachAllSimulatedDrives();
  Open();
  Settle();
  EXPECT_EQ(Find<QComboBox>("cbDrives")->count(), 0);
  EXPECT_EQ(Find<QLabel>("lDrive")->text(), " Drive :");
  EXPECT_FALSE(Find<QPushButton>("bInsertMedium")->isVisible());
}

TEST_F(MainWindow, DroppedNamesBecomeRowsThatRemoveAndClearTakeAway) {
  const std::string a = tmp.write("src/a.txt", std::string(1234, 'a'));
  const std::string empty = tmp.write("src/empty.txt", "");
  tmp.write("src/docs/b.txt", std::string(100, 'b'));
  Open();
  auto* list = Find<QTreeWidget>("clBox");
  // As the file manager drops them on the list.
  ASSERT_TRUE(DeliverFileDrop(list, {QString::fromStdString(a), QString::fromStdString(tmp.at("src/docs")),
                                     QString::fromStdString(tmp.at("src/docs//")), QString::fromStdString(empty)}));
  const struct {
    std::string path;
    Qt::CheckState box;
    QString size;
  } rows[] = {
      {a, Qt::Unchecked, "1,234"},
      {tmp.at("src/docs/"), Qt::Checked, "100"},
      {tmp.at("src/docs/"), Qt::Checked, "100"},
      {empty, Qt::Unchecked, ""},
  };
  ASSERT_EQ(list->topLevelItemCount(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(list->topLevelItem(i)->text(1).toStdString(), rows[i].path) << i;
    EXPECT_EQ(list->topLevelItem(i)->checkState(0), rows[i].box) << i;
    EXPECT_EQ(list->topLevelItem(i)->text(2), rows[i].size) << i;
  }
  // The same folder twice: both rows are taken.
  ASSERT_TRUE(form->FillCompilation());
  EXPECT_EQ(form->Rows().size(), 4U);

  list->setCurrentItem(list->topLevelItem(0));
  emit list->itemDoubleClicked(list->topLevelItem(0), 1);
  ASSERT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(list->topLevelItem(0)->text(1).toStdString(), tmp.at("src/docs/"));
  Find<QPushButton>("bClear")->click();
  EXPECT_EQ(list->topLevelItemCount(), 0);
  EXPECT_EQ(form->Burner().EntryCount(), 0);
}

TEST_F(MainWindow, SavePathBoxWritesItsStateAtOnce) {
  Open();
  const struct {
    Qt::CheckState state;
    const char* stored;
  } rows[] = {{Qt::Checked, "SavePath=Checked"}, {Qt::Unchecked, "SavePath=Unchecked"},
              {Qt::PartiallyChecked, "SavePath=Grayed"}};
  for (const auto& row : rows) {
    Find<QCheckBox>("cPathInfo")->setCheckState(row.state);
    EXPECT_NE(test::readFile(tmp.at("QNZB.ini")).find(row.stored), std::string::npos) << row.stored;
  }
}

TEST_F(MainWindow, BurnAnsweredYesPutsTheCompilationOnTheDisc) {
  const std::string a = tmp.writePattern("src/a.bin", 300000, 3);
  tmp.writePattern("src/docs/b.bin", 70000, 5);
  Open();
  form->Options.SavePath = TSavePath::Unchecked;
  form->AddDroppedNames({QString::fromStdString(a), QString::fromStdString(tmp.at("src/docs"))});
  prompts.Answers = {true};
  Find<QPushButton>("bBurn")->click();
  ASSERT_TRUE(Until([&] { return Logged(">>> WRITE/BURNCD PROCESS DONE"); })) << LogLines().join('\n').toStdString();
  const QStringList lines = LogLines();
  const qsizetype added = lines.indexOf(">>> ADD FILES/DIRS TO CD DONE.");
  qsizetype starting = -1;
  for (qsizetype i = 0; i < lines.size(); ++i)
    if (lines[i].startsWith(">>> STARTING BURNCD ON "))
      starting = i;
  EXPECT_TRUE(added >= 0 && added < starting && starting < lines.indexOf(">>> WRITE/BURNCD PROCESS DONE"));
  EXPECT_FALSE(form->WriteJobRunning());
  EXPECT_TRUE(Find<QWidget>("pTop")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("bAbort")->isVisible());
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  const auto* bar = Find<QProgressBar>("pcd");
  EXPECT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  // Read back through the engine: the files of the last session, byte for byte.
  TQNZBurner& burner = form->Burner();
  tmp.mkdir("back");
  burner.ResetLayout(600000, 20000);
  ASSERT_TRUE(burner.ImportPreviousSession(-1, nullptr));
  const struct {
    const char* dir;
    const char* name;
    const char* source;
  } files[] = {{"\\", "a.bin", "src/a.bin"}, {"\\", "b.bin", "src/docs/b.bin"}};
  for (const auto& file : files) {
    TFEntry* entry = burner.FindEntry(burner.FindDirectory(file.dir), file.name);
    ASSERT_NE(entry, nullptr) << file.name;
    ASSERT_TRUE(burner.ExtractFile(entry, tmp.at(std::string("back/") + file.name)));
    EXPECT_EQ(test::readFile(tmp.at(std::string("back/") + file.name)), test::readFile(tmp.at(file.source)));
  }
}

// A burn paced like a real drive, aborted while it writes: one end of the
// job, with the abort's message, and the controls back.
TEST_F(MainWindow, AbortDuringARealTimeBurnEndsTheJobOnce) {
  vdrive::DriveConfig config = recorder->State().Config;
  config.Time.RealTime = true;
  recorder->SetConfig(config);
  const std::string big = tmp.writePattern("src/big.bin", 8 << 20, 7);
  Open();
  form->AddDroppedNames({QString::fromStdString(big)});
  prompts.Answers = {true};
  Find<QPushButton>("bBurn")->click();
  auto* abort = Find<QPushButton>("bAbort");
  ASSERT_TRUE(Until([&] { return abort->isVisible() && Find<QProgressBar>("pcd")->value() > 0; }))
      << LogLines().join('\n').toStdString();
  abort->click();
  ASSERT_TRUE(Until([&] { return !form->WriteJobRunning(); })) << LogLines().join('\n').toStdString();
  Settle();
  const QStringList lines = LogLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const QString& line) { return line.startsWith(">>> WRITE/BURNCD PROCESS DONE"); }),
            1)
      << lines.join('\n').toStdString();
  EXPECT_TRUE(lines.join('\n').contains("OPERATION ABORTED BY USER"))
      << lines.join('\n').toStdString();
  EXPECT_FALSE(abort->isVisible());
  EXPECT_TRUE(Find<QWidget>("pTop")->isEnabled());
}

TEST_F(MainWindow, BurnAnsweredNoOrWithAnEmptyListStartsNothing) {
  const std::string a = tmp.write("src/a.txt", "a");
  Open();
  form->AddDroppedNames({QString::fromStdString(a)});
  prompts.Answers = {false};
  Find<QPushButton>("bBurn")->click();
  Settle();
  EXPECT_FALSE(LoggedStart(">>> STARTING BURNCD ON "));
  EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  EXPECT_TRUE(Find<QWidget>("pTop")->isEnabled());

  Find<QPushButton>("bClear")->click();
  Find<QPushButton>("bBurn")->click();
  Settle();
  EXPECT_EQ(prompts.Messages, QStringList{"Atleast one file/directory should be selected"});
  const QStringList lines = LogLines();
  EXPECT_EQ(lines.indexOf(">>> NOTHING TO BURN, ABORTING ..."), lines.lastIndexOf(">>> ADD FILES/DIRS TO CD DONE.") + 1);
}

TEST_F(MainWindow, BuildIsoWritesTheImageInBothModes) {
  const std::string a = tmp.writePattern("src/a.bin", 50000);
  Open();
  form->AddDroppedNames({QString::fromStdString(a)});
  for (const bool quick : {true, false}) {
    const std::string out = tmp.at(quick ? "quick.iso" : "cached.iso");
    form->Options.QuickSaveISO = quick;
    Find<QPlainTextEdit>("Memo1")->clear();
    prompts.Texts = {QString::fromStdString(out)};
    Find<QPushButton>("bSaveISO")->click();
    ASSERT_TRUE(Until([&] { return Logged(">>> WRITE/BURNCD PROCESS DONE"); })) << quick;
    EXPECT_TRUE(Logged(">>> START BUILDING .ISO FILE"));
    EXPECT_GE(test::readFile(out).size(), 50000U + 16 * 2048) << quick;
    EXPECT_TRUE(Find<QPushButton>("bSaveISO")->isEnabled());
  }
}

TEST_F(MainWindow, BurnIsoPutsTheImageOnTheDiscFromSectorZero) {
  Open();
  form->AddDroppedNames({QString::fromStdString(tmp.writePattern("src/a.bin", 40000))});
  form->Options.QuickSaveISO = true;
  const std::string image = tmp.at("a.iso");
  prompts.Texts = {QString::fromStdString(image)};
  Find<QPushButton>("bSaveISO")->click();
  ASSERT_TRUE(Until([&] { return Logged(">>> WRITE/BURNCD PROCESS DONE"); }));
  Find<QPlainTextEdit>("Memo1")->clear();
  prompts.Texts = {QString::fromStdString(image)};
  Find<QPushButton>("bBurnISO")->click();
  ASSERT_TRUE(Until([&] { return Logged(">>> WRITE/BURNCD PROCESS DONE"); })) << LogLines().join('\n').toStdString();
  EXPECT_TRUE(LoggedStart(">>> STARTING BURN .ISO IMAGE ON "));
  const std::string bytes = test::readFile(image);
  std::vector<uint8_t> disc(bytes.size());
  ASSERT_TRUE(recorder->ReadBlocks(0, disc));
  EXPECT_TRUE(std::equal(disc.begin(), disc.end(), bytes.begin(), [](uint8_t d, char b) {
    return d == static_cast<uint8_t>(b);
  }));
}

TEST_F(MainWindow, EraseOnlyWhatCanBeErased) {
  Open();
  const struct {
    const char* button;
    const char* kind;
    bool erased;
  } rows[] = {{"bQErase", "cd-rw", true}, {"bQErase", "dvd-ram", true}, {"bQErase", "cd-r", false},
              {"bCErase", "cd-rw", true}, {"bCErase", "dvd-r", false}};
  for (const auto& row : rows) {
    const bool quick = std::string(row.button) == "bQErase";
    Insert(row.kind);
    Find<QPlainTextEdit>("Memo1")->clear();
    prompts.Messages.clear();
    prompts.Questions.clear();
    prompts.Answers = {true};
    Find<QPushButton>(row.button)->click();
    if (row.erased) {
      EXPECT_EQ(prompts.Questions.value(0), quick ? "Want to Quick Erase the Disc ?"
                                                  : "Want to Complete Erase the Disc ? (may take 10-70 mins)");
      EXPECT_TRUE(Until([&] { return Logged(">>> ERASE PROCESS DONE"); })) << row.button << " " << row.kind;
      EXPECT_TRUE(Find<QPushButton>("bBurn")->isEnabled());
    } else {
      EXPECT_EQ(prompts.Messages, QStringList{"Disc is not Erasable"}) << row.kind;
    }
    EXPECT_FALSE(Find<QTimer>("Timer1")->isActive());
  }
}

TEST_F(MainWindow, DragsFromTheBrowserAddTheFolderOrTheChosenFiles) {
  tmp.write("src/x.txt", "x");
  tmp.write("src/y.txt", "yy");
  tmp.write("src/sub/z.txt", "z");
  Open();
  auto* tree = Find<QTreeView>("lbDir");
  auto* files = Find<QListView>("lbFiles");
  auto* list = Find<QTreeWidget>("clBox");
  tree->setCurrentIndex(static_cast<QFileSystemModel*>(tree->model())->index(QString::fromStdString(tmp.at("src"))));
  ASSERT_TRUE(Until([&] { return files->model()->rowCount(files->rootIndex()) == 2; }));
  files->selectAll();
  ASSERT_TRUE(form->DropFromBrowser(files));
  ASSERT_TRUE(form->DropFromBrowser(tree));
  EXPECT_FALSE(form->DropFromBrowser(list));
  ASSERT_EQ(list->topLevelItemCount(), 3);
  QStringList named = {list->topLevelItem(0)->text(1), list->topLevelItem(1)->text(1)};
  named.sort();
  EXPECT_EQ(named, (QStringList{QString::fromStdString(tmp.at("src/x.txt")), QString::fromStdString(tmp.at("src/y.txt"))}));
  EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Unchecked);
  EXPECT_EQ(list->topLevelItem(2)->text(1).toStdString(), tmp.at("src/"));
  EXPECT_EQ(list->topLevelItem(2)->checkState(0), Qt::Checked);
}

TEST_F(MainWindow, LogLinesFromWorkerThreadsArriveInTheOrderRaised) {
  Open();
  auto* log = Find<QPlainTextEdit>("Memo1");
  log->clear();
  std::mutex order;
  int next = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        const std::lock_guard lock(order);
        form->Burner().SendDebugMessage(std::to_string(next++), qnzb::mtPlain);
      }
    });
  for (std::thread& worker : workers)
    worker.join();
  ASSERT_TRUE(Until([&] { return log->blockCount() >= 400; }));
  const QStringList lines = log->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 400);
  for (int i = 0; i < 400; ++i)
    ASSERT_EQ(lines[i], QString::number(i));
}

TEST_F(MainWindow, TrayButtonsLogTheirOutcome) {
  Open();
  const struct {
    const char* button;
    const char* line;
  } rows[] = {{"bReady", ">>> DRIVE IS READY"},
              {"bEject", ">>> EJECT MEDIUM COMMAND DONE."},
              {"bLoad", ">>> LOAD MEDIUM COMMAND DONE."}};
  for (const auto& row : rows) {
    Find<QPushButton>(row.button)->click();
    EXPECT_TRUE(Until([&] { return Logged(row.line); })) << row.button;
  }
}

TEST_F(MainWindow, SpeedListAndParseFollowTheMedium) {
  Open();
  const struct {
    const char* kind;
    QString sample;
    uint16_t kbps;
    bool decimal;
  } rows[] = {{"cd-r", "4X (708 KB/s)", 708, false}, {"dvd+r", "8.0X (11,080 KB/s)", 11080, true}};
  auto* speeds = Find<QComboBox>("cbSpeed");
  for (const auto& row : rows) {
    Insert(row.kind);
    form->FillSpeedList();
    ASSERT_GT(speeds->count(), 1) << row.kind;
    EXPECT_EQ(speeds->itemText(0), "Max");
    EXPECT_EQ(speeds->currentIndex(), 0);
    const QString fastest = speeds->itemText(1);
    EXPECT_TRUE(fastest.endsWith(" KB/s)")) << fastest.toStdString();
    EXPECT_EQ(fastest.section('X', 0, 0).contains('.'), row.decimal) << fastest.toStdString();
    EXPECT_EQ(form->ParseSpeed(row.sample), row.kbps);
    EXPECT_EQ(form->ParseSpeed("Max"), 0);
    // The remembered index past the new list's end selects Max.
    speeds->addItem("extra");
    speeds->setCurrentIndex(speeds->count() - 1);
    form->FillSpeedList();
    EXPECT_EQ(speeds->currentIndex(), 0);
  }
}

} // namespace
} // namespace qnzb::app
