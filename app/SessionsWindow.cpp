#include "app/SessionsWindow.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdint>

#include "app/Prompts.h"
#include "app/SessionViewer.h"
#include "engine/image/qnCDBC.h"

namespace qnzb::app {

TfrmSessions::TfrmSessions(TQNZBurner& burner, QWidget* parent) : QDialog(parent), burner_(burner) {
  setObjectName("frmSessions");
  setWindowTitle("Disc & Sessions Information");
  setModal(true);
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

  auto* top = new QWidget(this);
  top->setObjectName("pTop");
  auto* grid = new QGridLayout(top);
  grid->setContentsMargins(4, 4, 4, 4);
  grid->setVerticalSpacing(2);
  QLabel** values[] = {&lMedium, &lDiscSize, &lUsedSpace, &lFreeSpace};
  const char* names[] = {"lMedium", "lDiscSize", "lUsedSpace", "lFreeSpace"};
  const char* captions[] = {"Medium  :", "Disc Size  :", "Used Space  :", "Free Space  :"};
  for (int row = 0; row < 4; ++row) {
    auto* caption = new QLabel(captions[row], top);
    caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(caption, row, 0);
    QLabel* value = *values[row] = new QLabel(top);
    value->setObjectName(names[row]);
    QFont bold = value->font();
    bold.setBold(true);
    value->setFont(bold);
    grid->addWidget(value, row, 1);
  }
  grid->setColumnStretch(1, 1);

  auto* strip = new QWidget(this);
  strip->setObjectName("pHeader");
  auto* header = new QHBoxLayout(strip);
  header->setContentsMargins(4, 0, 0, 0);
  auto* caption = new QLabel(SessionHeader, strip);
  caption->setObjectName("lHeader");
  caption->setFont(fixed);
  header->addWidget(caption);
  header->addStretch();
  bShowFiles = new QPushButton("Show Files", strip);
  bShowFiles->setObjectName("bShowFiles");
  bShowFiles->setFlat(true);
  bShowFiles->setAutoDefault(false);
  header->addWidget(bShowFiles);

  lb = new QListWidget(this);
  lb->setObjectName("lb");
  lb->setFont(fixed);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(top);
  layout->addWidget(strip);
  layout->addWidget(lb, 1);

  // The window sees keys before its controls: Enter closes it whichever
  // control has the focus (Esc reaches the dialog itself).
  for (QWidget* control : findChildren<QWidget*>())
    control->installEventFilter(this);
  connect(bShowFiles, &QPushButton::clicked, this, &TfrmSessions::ShowFiles);
  connect(lb, &QListWidget::itemClicked, this, &TfrmSessions::ShowFiles);
  connect(lb, &QListWidget::itemDoubleClicked, this, &QDialog::accept);

  summary_ = ReadDiscSummary(burner_);
  for (const std::string& line : summary_.Sessions)
    lb->addItem(QString::fromStdString(line));
  if (summary_.Valid) {
    lMedium->setText(QString::fromStdString(summary_.Medium));
    lDiscSize->setText(QString::fromStdString(summary_.DiscSize));
    lUsedSpace->setText(QString::fromStdString(summary_.UsedSpace));
    lFreeSpace->setText(QString::fromStdString(summary_.FreeSpace));
  }

  resize(334, 202);
  setFixedSize(size().expandedTo(minimumSizeHint()));
}

bool TfrmSessions::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      accept();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmSessions::ShowFiles() {
  const QList<QListWidgetItem*> chosen = lb->selectedItems();
  if (chosen.isEmpty()) {
    Prompts().Message(this, windowTitle(), "Select session from list");
    return;
  }
  // The error line stands for no session.
  if (!summary_.Valid)
    return;
  const int session = lb->row(chosen.first()) + 1;
  // The last line may be a session a burn left unfinished: the drive does
  // not count it, and the import would read the last complete one instead.
  if (session > summary_.SessionCount) {
    Prompts().Message(this, windowTitle(),
                      QString("Session %1 was left unfinished by a burn that did not end: its files can't be read. "
                              "Choose one of the sessions before it.")
                          .arg(session, 3, 10, QChar('0')));
    return;
  }
  // The import takes a signed byte: a number past it would name the last session.
  if (session > INT8_MAX) {
    Prompts().Message(
        this, windowTitle(),
        QString("Session %1 can't be read: only sessions 1 to %2 can be shown.").arg(session).arg(INT8_MAX));
    return;
  }
  burner_.ResetLayout(65535, 8191);
  // A session that can't be read is logged by the import; the viewer then
  // shows an empty root.
  burner_.ImportPreviousSession(static_cast<int8_t>(session), burner_.RootDir());
  TfrmTree viewer(burner_, this);
  viewer.exec();
}

} // namespace qnzb::app
