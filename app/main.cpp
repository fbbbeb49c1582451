// The desktop program's entry: the application, its title, the main window
// and the event loop until the window closes. Files and folders named on the
// command line (a file manager's "Open with") land in the compilation list as
// if they had been dropped on it.

#include <QApplication>
#include <QIcon>
#include <QStringList>
#include <QTimer>

#include "app/MainWindow.h"
#include "app/ShellDropTarget.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Quenz CD/DVD Burner");
  QApplication::setApplicationDisplayName("Quenz CD/DVD Burner");
  QApplication::setDesktopFileName("qnzb");
  QApplication::setWindowIcon(QIcon::fromTheme("qnzb"));
  qnzb::app::TForm1 form;
  form.show();
  const QStringList names = QApplication::arguments().mid(1);
  if (!names.isEmpty()) {
    // After the first showing, which starts the drives and reads the settings.
    QTimer::singleShot(0, &form, [&form, names] {
      qnzb::app::DeliverFileDrop(form.findChild<QWidget*>("clBox"), names);
    });
  }
  return QApplication::exec();
}
