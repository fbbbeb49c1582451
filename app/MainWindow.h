#pragma once
// The main window: drives, write speed, the compilation list, the source
// browser, the log and the progress of a running job.

#include <QMainWindow>

namespace qnzb::app {

class TForm1 : public QMainWindow {
  Q_OBJECT
public:
  explicit TForm1(QWidget* parent = nullptr);
};

} // namespace qnzb::app
