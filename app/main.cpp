// The desktop program's entry: the application, its title, the main window
// and the event loop until the window closes.

#include <QApplication>

#include "app/MainWindow.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName("Quenz CD/DVD Burner");
  QApplication::setApplicationDisplayName("Quenz CD/DVD Burner");
  qnzb::app::TForm1 form;
  form.show();
  return QApplication::exec();
}
