#include "app/ShellDropTarget.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <algorithm>

namespace qnzb::app {

namespace {

bool HasLocalFile(const QMimeData* data) {
  if (!data || !data->hasUrls())
    return false;
  const QList<QUrl> urls = data->urls();
  return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

// A scroll area takes drops on its viewport, not on itself.
QWidget* DropSurface(QWidget* control) {
  if (auto* area = qobject_cast<QAbstractScrollArea*>(control); area && area->viewport())
    return area->viewport();
  return control;
}

} // namespace

QStringList LocalFileNames(const QList<QUrl>& urls) {
  QStringList names;
  for (const QUrl& url : urls)
    if (url.isLocalFile())
      names.append(url.toLocalFile());
  return names;
}

TExDragDrop::TExDragDrop(QObject* owner) : QObject(owner) {}

TExDragDrop::~TExDragDrop() { Detach(); }

void TExDragDrop::SetControl(QWidget* value) {
  if (value == control_)
    return;
  Detach();
  if (!value)
    return;
  control_ = value;
  controlAcceptedDrops_ = value->acceptDrops();
  value->setAcceptDrops(true);
  value->installEventFilter(this);
  if (QWidget* surface = DropSurface(value); surface != value) {
    viewport_ = surface;
    viewportAcceptedDrops_ = surface->acceptDrops();
    surface->setAcceptDrops(true);
    surface->installEventFilter(this);
  }
}

void TExDragDrop::Detach() {
  // The control's own drop setting comes back, so it ignores drops again as
  // it did before (or handles them itself, if it did).
  if (viewport_) {
    viewport_->removeEventFilter(this);
    viewport_->setAcceptDrops(viewportAcceptedDrops_);
  }
  if (control_) {
    control_->removeEventFilter(this);
    control_->setAcceptDrops(controlAcceptedDrops_);
  }
  viewport_.clear();
  control_.clear();
}

bool TExDragDrop::eventFilter(QObject* watched, QEvent* event) {
  if (watched != control_.data() && watched != viewport_.data())
    return QObject::eventFilter(watched, event);
  switch (event->type()) {
  case QEvent::DragEnter:
  case QEvent::DragMove: {
    auto* drag = static_cast<QDragMoveEvent*>(event);
    if (!HasLocalFile(drag->mimeData()))
      return false;
    drag->acceptProposedAction();
    return true;
  }
  case QEvent::Drop: {
    auto* drop = static_cast<QDropEvent*>(event);
    if (!HasLocalFile(drop->mimeData()))
      return false;
    items_ = LocalFileNames(drop->mimeData()->urls());
    drop->acceptProposedAction();
    if (OnDropped)
      OnDropped(this, static_cast<int32_t>(items_.size()));
    return true;
  }
  default:
    return QObject::eventFilter(watched, event);
  }
}

bool DeliverFileDrop(QWidget* target, const QStringList& names) {
  if (!target || names.isEmpty())
    return false;
  QWidget* surface = DropSurface(target);
  QList<QUrl> urls;
  for (const QString& name : names)
    urls.append(QUrl::fromLocalFile(QFileInfo(name).absoluteFilePath()));
  QMimeData data;
  data.setUrls(urls);
  const QPointF at = QRectF(surface->rect()).center();
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(surface, &enter);
  if (!enter.isAccepted())
    return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(surface, &drop);
  return drop.isAccepted();
}

} // namespace qnzb::app
