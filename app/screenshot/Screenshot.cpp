// Renders the desktop program's windows offscreen and saves them as PNGs for
// the README: qnzb-screenshot DIR FIRST... [-- SECOND...]
//   DIR/main-window.png      the main window holding FIRST and SECOND
//   DIR/options-window.png   the options window
//   DIR/sessions-window.png  the disc information over a two-session disc:
//                            FIRST burnt, then SECOND appended with session 1
//                            imported (without SECOND: one session)
// The windows run on a blank CD-R in a virtual recorder and settings of their
// own in a temporary folder, so the user's drive state and settings stay
// untouched; the paths are dropped on the compilation list as the file
// manager drops them, and the burn's question is answered Yes.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "app/MainWindow.h"
#include "app/OptionsWindow.h"
#include "app/Prompts.h"
#include "app/SessionsWindow.h"
#include "app/ShellDropTarget.h"
#include "engine/image/qnCDBC.h"
#include "engine/runtime/Clock.h"
#include "vdrive/VDriveCommand.h"

namespace {

// Lets the window's start-up, timers and queued calls run for a while.
void Settle(int milliseconds) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < milliseconds)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// Answers the burn's question Yes; anything else is reported and refused.
class TUnattended final : public qnzb::app::TPrompts {
public:
  bool Confirm(QWidget*, const QString&, const QString&) override { return true; }
  std::optional<QString> InputText(QWidget*, const QString&, const QString&, const QString&) override {
    return std::nullopt;
  }
  std::optional<QString> OpenFile(QWidget*, const QString&, const QString&) override { return std::nullopt; }
  std::optional<QString> ChooseFolder(QWidget*, const QString&, const QString&) override { return std::nullopt; }
  void Message(QWidget*, const QString& title, const QString& text) override {
    std::fprintf(stderr, "qnzb-screenshot: %s: %s\n", qPrintable(title), qPrintable(text));
  }
};

bool Save(QWidget& window, const QString& folder, const char* name) {
  window.show();
  Settle(300);
  const QString target = QDir(folder).filePath(name);
  if (window.grab().save(target, "PNG"))
    return true;
  std::fprintf(stderr, "qnzb-screenshot: can't write %s\n", qPrintable(target));
  return false;
}

// Burns what the compilation list holds; false when the burn failed.
bool Burn(qnzb::app::TForm1& form) {
  form.findChild<QPushButton*>("bBurn")->click();
  QElapsedTimer clock;
  clock.start();
  while (form.WriteJobRunning() && clock.elapsed() < 120000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  return !form.WriteJobRunning();
}

bool Drop(qnzb::app::TForm1& form, const QStringList& names) {
  if (names.isEmpty() || qnzb::app::DeliverFileDrop(form.findChild<QWidget*>("clBox"), names))
    return true;
  std::fprintf(stderr, "qnzb-screenshot: the window took no drop\n");
  return false;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qnzb-screenshot DIR FIRST... [-- SECOND...]\n");
    return 2;
  }
  if (!std::getenv("QT_QPA_PLATFORM"))
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QTemporaryDir scratch;
  if (!scratch.isValid()) {
    std::fprintf(stderr, "qnzb-screenshot: no temporary folder: %s\n", qPrintable(scratch.errorString()));
    return 1;
  }
  const QByteArray vdrive = QDir(scratch.path()).filePath("vdrive").toLocal8Bit();
  const QByteArray ini = QDir(scratch.path()).filePath("QNZB.ini").toLocal8Bit();
  ::setenv("QNZB_VDRIVE", vdrive.constData(), 1);
  ::setenv("QNZB_INI", ini.constData(), 1);
  ::setenv("QNZB_DRIVES", "", 1);
  std::ostringstream out;
  if (qnzb::vdrive::RunVDriveCommand({"insert", "cd-r"}, out, std::cerr) != 0)
    return 1;

  QApplication application(argc, argv);
  QApplication::setApplicationName("Quenz CD/DVD Burner");
  TUnattended prompts;
  qnzb::app::SetPrompts(&prompts);
  // The pauses while a burn closes its session cost no time here.
  const qnzb::TScopedVirtualClock clock;
  const QString folder = QString::fromLocal8Bit(argv[1]);
  QStringList first, second;
  bool later = false;
  for (int i = 2; i < argc; ++i) {
    if (QString(argv[i]) == "--")
      later = true;
    else
      (later ? second : first).append(QString::fromLocal8Bit(argv[i]));
  }

  qnzb::app::TForm1 form;
  form.show();
  Settle(500);
  if (!Drop(form, first + second))
    return 1;
  Settle(1000);
  if (!Save(form, folder, "main-window.png"))
    return 1;
  {
    qnzb::app::TfrmSettings options(form.Burner(), form.Options, form.Options.SavePath, {}, &form);
    if (!Save(options, folder, "options-window.png"))
      return 1;
  }

  form.findChild<QPushButton*>("bClear")->click();
  if (!Drop(form, first) || !Burn(form))
    return 1;
  if (!second.isEmpty()) {
    form.findChild<QPushButton*>("bClear")->click();
    form.Options.SessionToImport = -1;
    if (!Drop(form, second) || !Burn(form))
      return 1;
  }
  qnzb::app::TfrmSessions sessions(form.Burner(), &form);
  const bool saved = Save(sessions, folder, "sessions-window.png");
  qnzb::app::SetPrompts(nullptr);
  return saved ? 0 : 1;
}
