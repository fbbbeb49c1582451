#pragma once
// The drive capabilities window: what the selected recorder reads and
// writes, its underrun protection and its top speeds, as the burner
// component holds them. It sends no command.

#include <QDialog>

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::app {

class TForm2 : public QDialog {
  Q_OBJECT
public:
  TForm2(const TQNZBurner& burner, QWidget* parent);
};

} // namespace qnzb::app
