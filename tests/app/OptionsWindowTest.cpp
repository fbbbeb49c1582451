// The options window on the offscreen platform: what it shows, what OK
// applies and writes to the settings file (and a new main window reads
// back), what stops OK, and that Cancel applies nothing.

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>

#include <cstdio>
#include <filesystem>

#include "WindowFixture.h"
#include "app/OptionsWindow.h"
#include "engine/device/qnDrvLib.h"
#include "engine/image/qnCDBC.h"
#include "vdrive/FaultPlan.h"

namespace qnzb::app {
namespace {

class OptionsWindow : public test_support::TWindowTest {
protected:
  // A shown options window over the main window's component and options.
  TfrmSettings& Dialog(std::function<bool()> busy = {}) {
    dialog = new TfrmSettings(form->Burner(), form->Options, TSavePath::Grayed, std::move(busy), form.get());
    dialog->show();
    return *dialog;
  }
  template <typename T> T* In(const char* name) const { return dialog->findChild<T*>(name); }
  QCheckBox* Box(const char* name) const { return In<QCheckBox>(name); }
  std::string IniText() const { return test::readFile(tmp.at("QNZB.ini")); }
  bool IniExists() const { return std::filesystem::exists(tmp.at("QNZB.ini")); }
  // The keys of the file, in file order.
  QStringList IniKeys() const {
    QStringList keys;
    for (const QString& line : QString::fromStdString(IniText()).split('\n', Qt::SkipEmptyParts))
      if (line.contains('='))
        keys << line.section('=', 0, 0);
    return keys;
  }
  bool IniHas(const QString& line) const { return QString::fromStdString(IniText()).split('\n').contains(line); }

  TfrmSettings* dialog = nullptr;  // a child of the main window
};

TEST_F(OptionsWindow, FirstStartWithoutASettingsFileShowsTheDesignValues) {
  Open();
  EXPECT_EQ(Find<QCheckBox>("cPathInfo")->checkState(), Qt::Unchecked);
  Dialog();
  EXPECT_EQ(dialog->windowTitle(), "Advanced options");
  EXPECT_EQ(In<QSlider>("sCacheSize")->value(), 8);
  EXPECT_EQ(In<QLabel>("lCacheSize")->text(), " 8 MB");
  for (const auto& [name, ticked] : {std::pair{"cJoliet", true}, {"cCloseDisc", false}, {"cOPC", true},
                                     {"cUnderrunProtection", true}, {"cImportSession", false}, {"cBootable", false}})
    EXPECT_EQ(Box(name)->isChecked(), ticked) << name;
  EXPECT_EQ(In<QLineEdit>("eSession")->text(), "0");
  EXPECT_FALSE(In<QLineEdit>("eSession")->isEnabled());
  EXPECT_EQ(Box("cUnderrunProtection")->isEnabled(),
            (form->Burner().Capabilities & CapUnderrunProtection) != 0);
  // The label follows the slider; the box enables the session field.
  In<QSlider>("sCacheSize")->setValue(64);
  EXPECT_EQ(In<QLabel>("lCacheSize")->text(), "64 MB");
  Box("cImportSession")->click();
  EXPECT_TRUE(In<QLineEdit>("eSession")->isEnabled());
  EXPECT_FALSE(IniExists());
}

TEST_F(OptionsWindow, OkWritesEveryKeyInOrderAndTheNextStartReadsThemBack) {
  Open();
  Find<QCheckBox>("cPathInfo")->setCheckState(Qt::PartiallyChecked);
  // The box wrote its key at once; start from no file to see OK's order.
  ASSERT_EQ(std::remove(tmp.at("QNZB.ini").c_str()), 0);
  const std::string image = tmp.write("boot.img", std::string(2048, 'b'));
  prompts.Texts.push_back(QString::fromStdString(image));
  Dialog();
  In<QLineEdit>("eVolLabel")->setText("BACKUP_2024");
  for (const char* name : {"cJoliet", "cCloseDisc", "cImportSession", "cTestWrite", "cEject", "cOPC",
                           "cQuickSaveISO", "cBootable", "cShowFiles", "cArchiveOnly"})
    Box(name)->click();
  In<QLineEdit>("eSession")->setText("-1");
  In<QSlider>("sCacheSize")->setValue(64);
  In<QPushButton>("Button1")->click();
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_TRUE(prompts.Messages.isEmpty()) << prompts.Messages.join('|').toStdString();
  EXPECT_EQ(IniKeys(), QStringList({"ArchiveFiles", "ImportSession", "SavePath", "CloseDisc", "EjectDisc", "JolietFS",
                                    "Bootable", "TestWrite", "QuickSaveISO", "ShowFiles", "PerformOPC", "SessionNo",
                                    "BootImage", "VolumeLable", "CacheSize", "Verify"}));
  for (const QString& line : QStringList{"SavePath=Grayed", "SessionNo=-1", "CacheSize=67108864", "JolietFS=0",
                                         "Bootable=1", "BootImage=" + QString::fromStdString(image)})
    EXPECT_TRUE(IniHas(line)) << line.toStdString() << "\n" << IniText();

  form.reset();
  Open();
  const TQNZBurner& burner = form->Burner();
  EXPECT_EQ(Find<QCheckBox>("cPathInfo")->checkState(), Qt::PartiallyChecked);
  EXPECT_EQ(burner.IdVolume, "BACKUP_2024");
  EXPECT_EQ(burner.CacheSize(), 67108864);
  EXPECT_FALSE(burner.JolietFileSystem);
  EXPECT_TRUE(burner.FinalizeDisc && burner.TestWrite && burner.Bootable);
  EXPECT_FALSE(burner.PerformOPC);
  EXPECT_EQ(burner.BootImage, image);
  const TAppOptions& options = form->Options;
  EXPECT_TRUE(options.ImportSession && options.EjectDisc && options.ShowFiles && options.ArchiveOnly &&
              options.QuickSaveISO);
  EXPECT_EQ(options.SessionToImport, -1);
  // Showing the window again fills it without asking for the boot image.
  Dialog();
  EXPECT_TRUE(Box("cBootable")->isChecked());
  EXPECT_EQ(In<QLabel>("lBootImage")->text().toStdString(), image);
  EXPECT_EQ(In<QLineEdit>("eSession")->text(), "-1");
  EXPECT_EQ(In<QLabel>("lCacheSize")->text(), "64 MB");
}

TEST_F(OptionsWindow, AStoredSessionIsIgnoredWhileImportIsOff) {
  tmp.write("QNZB.ini", "[Options]\nImportSession=0\nSessionNo=3\n");
  Open();
  EXPECT_EQ(form->Options.SessionToImport, 0);
  Dialog();
  EXPECT_EQ(In<QLineEdit>("eSession")->text(), "0");
  EXPECT_FALSE(Box("cImportSession")->isChecked());
}

TEST_F(OptionsWindow, TheSessionFieldDecidesWhetherOkGoesOn) {
  const struct {
    bool import;
    QString text;
    bool accepted;
    QString message;  // the start of the one message shown, or empty
    int8_t session;   // the session to import afterwards
  } rows[] = {
      {true, "abc", false, "'abc' is not a valid integer value", 0},
      {true, "200", false, "200 is out of range", 0},
      {true, "", false, "'' is not a valid integer value", 0},
      {true, "0", true, "Session to import; Zero means not to import any session", 0},
      {true, " 7 ", true, "", 7},
      {false, "abc", true, "", 0},
  };
  Open();
  for (const auto& row : rows) {
    const std::string before = IniText();
    const bool existed = IniExists();
    prompts.Messages.clear();
    form->Options.SessionToImport = 5;
    form->Burner().JolietFileSystem = true;
    Dialog();
    Box("cJoliet")->setChecked(false);
    Box("cImportSession")->setChecked(row.import);
    In<QLineEdit>("eSession")->setText(row.text);
    In<QPushButton>("Button1")->click();
    const std::string context = row.text.toStdString();
    EXPECT_EQ(dialog->isVisible(), !row.accepted) << context;
    ASSERT_EQ(prompts.Messages.size(), row.message.isEmpty() ? 0 : 1) << context;
    if (!row.message.isEmpty()) {
      EXPECT_TRUE(prompts.Messages[0].startsWith(row.message)) << prompts.Messages[0].toStdString();
    }
    // The steps before the session stay applied either way.
    EXPECT_FALSE(form->Burner().JolietFileSystem) << context;
    EXPECT_EQ(form->Options.ImportSession, row.import) << context;
    if (row.accepted) {
      EXPECT_EQ(form->Options.SessionToImport, row.session) << context;
      EXPECT_TRUE(IniHas("SessionNo=" + row.text) || IniHas("SessionNo=\"" + row.text + "\"")) << IniText();
    } else {
      EXPECT_EQ(form->Options.SessionToImport, 5) << context;
      EXPECT_EQ(IniExists(), existed) << context;
      EXPECT_EQ(IniText(), before) << context;
    }
    delete dialog;
  }
}

TEST_F(OptionsWindow, CancelEscAndTheCloseBoxApplyNothing) {
  const struct {
    const char* how;
    std::function<void(TfrmSettings&)> close;
  } rows[] = {
      {"Cancel", [](TfrmSettings& d) { d.findChild<QPushButton*>("Button2")->click(); }},
      {"Esc",
       [](TfrmSettings& d) {
         QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
         QCoreApplication::sendEvent(&d, &esc);
       }},
      {"close box", [](TfrmSettings& d) { d.close(); }},
  };
  Open();
  for (const auto& row : rows) {
    Dialog();
    for (const char* name : {"cJoliet", "cCloseDisc", "cImportSession", "cEject", "cArchiveOnly"})
      Box(name)->click();
    In<QLineEdit>("eVolLabel")->setText("X");
    In<QLineEdit>("eSession")->setText("3");
    In<QSlider>("sCacheSize")->setValue(30);
    row.close(*dialog);
    EXPECT_FALSE(dialog->isVisible()) << row.how;
    const TQNZBurner& burner = form->Burner();
    EXPECT_TRUE(burner.JolietFileSystem) << row.how;
    EXPECT_FALSE(burner.FinalizeDisc) << row.how;
    EXPECT_EQ(burner.IdVolume, "") << row.how;
    EXPECT_EQ(burner.CacheSize(), 8392704) << row.how;
    EXPECT_FALSE(form->Options.ImportSession || form->Options.EjectDisc || form->Options.ArchiveOnly) << row.how;
    EXPECT_FALSE(IniExists()) << row.how;
    delete dialog;
  }
}

TEST_F(OptionsWindow, ACancelledBootImageChoiceUnticksTheBox) {
  Open();
  form->Burner().BootImage = "/images/old.img";
  Dialog();
  Box("cBootable")->click();  // the scripted dialog is cancelled
  EXPECT_FALSE(Box("cBootable")->isChecked());
  EXPECT_EQ(In<QLabel>("lBootImage")->text(), "/images/old.img");
  In<QPushButton>("Button1")->click();
  EXPECT_FALSE(form->Burner().Bootable);
  EXPECT_TRUE(IniHas("BootImage=/images/old.img")) << IniText();
}

TEST_F(OptionsWindow, AFailedWriteIsReportedWithTheFile) {
  tmp.write("file", "not a folder");
  const test::TScopedEnv unwritable{"QNZB_INI", tmp.at("file/QNZB.ini")};
  Open();
  Dialog();
  In<QSlider>("sCacheSize")->setValue(16);
  In<QPushButton>("Button1")->click();
  ASSERT_EQ(prompts.Messages.size(), 1);
  EXPECT_TRUE(prompts.Messages[0].contains(QString::fromStdString(tmp.at("file/QNZB.ini"))))
      << prompts.Messages[0].toStdString();
  EXPECT_EQ(form->Burner().CacheSize(), 16 * 1048576);
}

TEST_F(OptionsWindow, CloseTrackGoesOutAtOnceButNeverWhileTheDriveIsBusy) {
  Open();
  vdrive::FaultPlan plan;
  vdrive::FaultRule everyClose;
  everyClose.Opcode = 0x5B;
  everyClose.Kind = vdrive::FaultKind::MediumError;
  everyClose.Times = 0;
  plan.Add(everyClose);
  recorder->SetFaultPlan(plan);
  const auto closes = [&] { return recorder->State().Faults.Rules().at(0).Seen; };
  bool busy = true;
  Dialog([&] { return busy; });
  auto* button = In<QPushButton>("Button3");
  EXPECT_FALSE(button->isEnabled());
  button->click();
  EXPECT_EQ(closes(), 0u);
  busy = false;
  ASSERT_TRUE(Until([&] { return button->isEnabled(); }));
  button->click();
  EXPECT_EQ(closes(), 1u);
  EXPECT_TRUE(dialog->isVisible());
}

TEST_F(OptionsWindow, AdvanceOpensAModalWindowSetFromTheOptions) {
  Open();
  form->Options.EjectDisc = true;
  form->Options.ShowFiles = true;
  form->Options.ImportSession = true;
  form->Options.SessionToImport = 2;
  bool modal = false, eject = false, showFiles = false, import = false, sessionEnabled = false;
  QTimer::singleShot(0, form.get(), [&] {
    if (auto* shown = form->findChild<TfrmSettings*>()) {
      modal = QApplication::activeModalWidget() == shown && shown->parentWidget() == form.get();
      eject = shown->findChild<QCheckBox*>("cEject")->isChecked();
      showFiles = shown->findChild<QCheckBox*>("cShowFiles")->isChecked();
      import = shown->findChild<QCheckBox*>("cImportSession")->isChecked();
      sessionEnabled = shown->findChild<QLineEdit*>("eSession")->isEnabled() &&
                       shown->findChild<QLineEdit*>("eSession")->text() == "2";
      shown->reject();
    }
  });
  auto* advance = Find<QPushButton>("bAdvance");
  ASSERT_TRUE(advance->isEnabled());
  advance->click();
  EXPECT_TRUE(modal);
  EXPECT_TRUE(eject && showFiles && import && sessionEnabled);
  // Closed is destroyed: the next "Advance" makes a new one.
  EXPECT_EQ(form->findChild<TfrmSettings*>(), nullptr);
}

} // namespace
} // namespace qnzb::app
