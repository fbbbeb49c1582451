#include "app/MainWindow.h"

namespace qnzb::app {

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
  setObjectName("Form1");
  setWindowTitle("Quenz CD/DVD Burner 1.20.1");
  resize(738, 460);
}

} // namespace qnzb::app
