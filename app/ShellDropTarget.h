#pragma once
// Files and folders dropped from the desktop's file manager onto a control:
// an event filter on the control (and on its viewport, where a scroll area
// receives drops) takes the local file names of text/uri-list drops, keeps
// the names of the last drop and reports how many there were.
//
// Threading: the window thread only; OnDropped is raised from inside the drop.

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <functional>

class QWidget;

namespace qnzb::app {

class TExDragDrop : public QObject {
  Q_OBJECT
public:
  using TDroppedEvent = std::function<void(TExDragDrop* Sender, int32_t ItemsCount)>;

  explicit TExDragDrop(QObject* owner = nullptr);
  ~TExDragDrop() override;

  // The full names of the last drop, in the order the file manager sent them.
  [[nodiscard]] const QStringList& Items() const { return items_; }
  // The control that accepts drops; nullptr when none.
  [[nodiscard]] QWidget* Control() const { return control_; }
  // Attaches `value` (detaching the previous control first); the same control
  // again does nothing; nullptr detaches. A control destroyed while attached
  // is forgotten.
  void SetControl(QWidget* value);

  // Raised after every drop that brought at least one local name.
  TDroppedEvent OnDropped;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void Detach();

  QStringList items_;
  QPointer<QWidget> control_;
  QPointer<QWidget> viewport_;
  bool controlAcceptedDrops_ = false;
  bool viewportAcceptedDrops_ = false;
};

// Local file names of `urls` in their order; other URLs are left out.
[[nodiscard]] QStringList LocalFileNames(const QList<QUrl>& urls);

// Delivers `names` to `target` as the file manager's drop does (enter, move,
// drop, on the viewport of a scroll area): for "Open with" arguments and for
// tools that fill a window without a person. True when the drop was accepted.
bool DeliverFileDrop(QWidget* target, const QStringList& names);

} // namespace qnzb::app
