// Renders the main window offscreen holding a compilation and saves it as a
// PNG, for the README: qnzb-screenshot OUT.png PATH...
// The window runs on a blank CD-R in a virtual recorder and settings of its
// own in a temporary folder, so the user's drive state and settings stay
// untouched; the paths are dropped on the compilation list as the file
// manager drops them.

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "app/MainWindow.h"
#include "app/ShellDropTarget.h"
#include "vdrive/VDriveCommand.h"

namespace {

// Lets the window's start-up, timers and queued calls run for a while.
void Settle(int milliseconds) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < milliseconds)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qnzb-screenshot OUT.png [PATH...]\n");
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
  qnzb::app::TForm1 form;
  form.show();
  Settle(500);
  QStringList names;
  for (int i = 2; i < argc; ++i)
    names.append(QString::fromLocal8Bit(argv[i]));
  if (!names.isEmpty() && !qnzb::app::DeliverFileDrop(form.findChild<QWidget*>("clBox"), names))
    std::fprintf(stderr, "qnzb-screenshot: the window took no drop; the picture shows it without a compilation\n");
  Settle(1000);
  const QString target = QString::fromLocal8Bit(argv[1]);
  if (!form.grab().save(target, "PNG")) {
    std::fprintf(stderr, "qnzb-screenshot: can't write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
