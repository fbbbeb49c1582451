#pragma once
// The disc information window: what the medium in the selected recorder is,
// its size, used and free space, and one line per session. Choosing a
// session reads its file system into the component's layout (the
// compilation there is dropped; the main window's list stays and is laid
// out again by the next build or burn) and opens the viewer over it.
//
// Created anew for each use and shown modally; it sends drive commands
// while it is built and while a session is imported, so its owner opens it
// only when no write or erase runs.

#include <QDialog>

#include "engine/device/DiscSummary.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace qnzb {
class TQNZBurner;
}

namespace qnzb::app {

class TfrmSessions : public QDialog {
  Q_OBJECT
public:
  // Reads the disc in `burner`'s drive (ReadDiscSummary) and shows it.
  explicit TfrmSessions(TQNZBurner& burner, QWidget* parent = nullptr);

  // "Show Files" and a click on a line: the selected session imported and
  // shown in the viewer (modal). "Select session from list" without a
  // selection; a message instead of an import for a session a burn left
  // unfinished; nothing for the error line.
  void ShowFiles();

protected:
  // Enter on any control closes the window.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  TQNZBurner& burner_;
  TDiscSummary summary_;

  QLabel* lMedium = nullptr;
  QLabel* lDiscSize = nullptr;
  QLabel* lUsedSpace = nullptr;
  QLabel* lFreeSpace = nullptr;
  QPushButton* bShowFiles = nullptr;
  QListWidget* lb = nullptr;
};

} // namespace qnzb::app
